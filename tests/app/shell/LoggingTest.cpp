#include "Logging.h"
#include "LogCategories.h"
#include "Logging_p.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QThread>

#include <memory>
#include <vector>

namespace {

const QString TimestampFormat = QStringLiteral("yyyy.MM.dd hh:mm:ss:zzz");

// What reached the handler that was installed before ours (the console in the
// program): "category|text" per message.
// Guards captured: the file handler passes lines on from every writer thread.
QMutex capturedMutex;
QStringList captured;

void captureHandler(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    QMutexLocker lock(&capturedMutex);
    captured << QString::fromLatin1(context.category ? context.category : "") + QLatin1Char('|') +
                    message;
}

QStringList takeCaptured()
{
    QMutexLocker lock(&capturedMutex);
    return std::exchange(captured, {});
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QDateTime timestampOf(const QString& line)
{
    return QDateTime::fromString(line.left(TimestampFormat.size()), TimestampFormat);
}

// Waits until the clock has moved past t, so that two moments can be told apart
// by their millisecond timestamps.
void passMillisecond(const QDateTime& t)
{
    while (QDateTime::currentDateTime() <= t)
        QThread::msleep(1);
}

void touch(const QString& path, const QDate& modified, const QByteArray& content = "x\n")
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    // Written out first: a later flush would set the time again.
    QVERIFY(file.flush());
    QVERIFY(file.setFileTime(QDateTime(modified, QTime(12, 0)), QFileDevice::FileModificationTime));
}

} // namespace

class LoggingTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void masking_data();
    void masking();
    void lineFormat_data();
    void lineFormat();
    void maskedInFileAndConsole();
    void bootMessagesComeFirstWithTheirOwnTimes();
    void flushBootWithoutFileHandler();
    void printerLog();
    void concurrentLinesNeverInterleave();
    void rotation_data();
    void rotation();
    void rotateLogsKeepsTheLastSevenDays();
    void rotationOfOpenLogsInAFolderOfOurOwn();

private:
    QString applicationLog() const { return m_logDir + QStringLiteral("/RMConfig.log"); }
    QString printerLogPath() const { return m_logDir + QStringLiteral("/RMPrinter.log"); }
    QStringList applicationLines() const
    {
        return QString::fromUtf8(readAll(applicationLog())).split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir m_home;
    QString m_logDir;
    QtMessageHandler m_testHandler = nullptr;
};

void LoggingTest::initTestCase()
{
    // Never the real user's directories: a throw-away home, and Qt's test
    // locations inside it.
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationName(QStringLiteral("Zelk"));
    m_logDir = Logging::logDirectory();
    QVERIFY2(m_logDir.startsWith(m_home.path()), qPrintable(m_logDir));
    QVERIFY(m_logDir.endsWith(QStringLiteral("/Corvane/Zelk/log")));

    m_testHandler = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(m_testHandler);
}

void LoggingTest::init()
{
    QDir(m_logDir).removeRecursively();
    takeCaptured();
    // Logging passes its lines on to whatever was installed before it.
    qInstallMessageHandler(captureHandler);
}

void LoggingTest::cleanup()
{
    Logging::unsetup();
    qInstallMessageHandler(m_testHandler);
}

void LoggingTest::masking_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");

    const QString masked = QStringLiteral(R"({"key":"********"})");
    QTest::newRow("space after colon") << R"({"key": "s3cret"})" << masked;
    QTest::newRow("compact, as this program writes it") << R"({"key":"s3cret"})" << masked;
    QTest::newRow("blanks around the colon") << "{\"key\" :\n\t\"s3cret\"}" << masked;
    QTest::newRow("password") << R"({"password":"s3cret"})"
                              << R"({"password":"********"})";
    QTest::newRow("name ending in key") << R"({"ssid":"home","wifikey":"s3cret"})"
                                        << R"({"ssid":"home","wifikey":"********"})";
    QTest::newRow("capitalised name") << R"({"WifiKey": "s3cret"})"
                                      << R"({"WifiKey":"********"})";
    QTest::newRow("passphrase is no key") << R"({"passphrase":"open"})"
                                          << R"({"passphrase":"open"})";
    QTest::newRow("several members")
        << R"({"key":"a","ssid":"net","password":"b","auto_connect_key": "c"})"
        << R"({"key":"********","ssid":"net","password":"********","auto_connect_key":"********"})";
    QTest::newRow("escaped quote inside the value") << R"({"key":"ab\"cd\\","ssid":"net"})"
                                                    << R"({"key":"********","ssid":"net"})";
    QTest::newRow("key as character codes")
        << R"({"key":[115,51,99,114,101,116,0],"timeout":15000})"
        << R"({"key":"********","timeout":15000})";
    // An array ends at its own closing bracket: one inside a string of it, or
    // of an inner array, once let the rest of the secret through.
    QTest::newRow("bracket inside a string of the array")
        << R"({"wifi_key":["pa]ss phrase"],"ssid":"net"})"
        << R"({"wifi_key":"********","ssid":"net"})";
    QTest::newRow("nested arrays") << R"({"key":[[1,2],[3]],"timeout":5})"
                                   << R"({"key":"********","timeout":5})";
    // Broken JSON can end a masked value inside the next secret's member:
    // that secret's value is masked all the same.
    QTest::newRow("member inside a masked value") << R"({"x_key":["a","b{"password":"p]ss word"})"
                                                  << R"({"x_key":"********"})";
    QTest::newRow("number left alone") << R"({"key":5})"
                                       << R"({"key":5})";
    QTest::newRow("value cut off by the end of the text") << R"(sent {"password":"s3cr)"
                                                          << R"(sent {"password":"********")";
    QTest::newRow("the word alone") << "Master key: none configured"
                                    << "Master key: none configured";
    // qDebug() << QString puts the text in quotes and escapes every quote.
    QTest::newRow("debug-quoted JSON") << R"("{\"key\":\"s3cret\",\"ssid\":\"net\"}")"
                                       << R"("{\"key\":\"********\",\"ssid\":\"net\"}")";
    QTest::newRow("debug-quoted, escaped quote inside the value")
        << R"("{\"password\": \"a\\\"b\",\"ssid\":\"net\"}")"
        << R"("{\"password\":\"********\",\"ssid\":\"net\"}")";
    QTest::newRow("debug-quoted, bracket inside a string of the array")
        << R"("{\"wifi_key\":[\"pa]ss\",\"x]\"],\"ssid\":\"net\"}")"
        << R"("{\"wifi_key\":\"********\",\"ssid\":\"net\"}")";
}

void LoggingTest::masking()
{
    QFETCH(QString, message);
    QFETCH(QString, expected);
    QCOMPARE(Logging::maskSecrets(message), expected);
}

void LoggingTest::lineFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("expected");

    QTest::newRow("debug") << int(QtDebugMsg) << QByteArray("DFUUpdate")
                           << "2017.03.14 09:26:53:058 - DFUUpdate Debug: Querying DFU devices\n";
    QTest::newRow("info") << int(QtInfoMsg) << QByteArray("RMDevice")
                          << "2017.03.14 09:26:53:058 - RMDevice Info: Querying DFU devices\n";
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray("cerr")
                             << "2017.03.14 09:26:53:058 - cerr Warning: Querying DFU devices\n";
    QTest::newRow("critical")
        << int(QtCriticalMsg) << QByteArray("default")
        << "2017.03.14 09:26:53:058 - default Critical: Querying DFU devices\n";
    QTest::newRow("fatal") << int(QtFatalMsg) << QByteArray("default")
                           << "2017.03.14 09:26:53:058 - default Fatal: Querying DFU devices\n";
    QTest::newRow("no category")
        << int(QtDebugMsg) << QByteArray()
        << "2017.03.14 09:26:53:058 - default Debug: Querying DFU devices\n";
    // A type a later Qt might add (within the enumeration's range: any
    // other value could not be held by a QtMsgType at all).
    QTest::newRow("unknown type") << 7 << QByteArray("default") << QString();
}

void LoggingTest::lineFormat()
{
    QFETCH(int, type);
    QFETCH(QByteArray, category);
    QFETCH(QString, expected);

    QString text;
    QTextStream out(&text);
    const QMessageLogContext context(nullptr, 0, nullptr,
                                     category.isNull() ? nullptr : category.constData());
    Logging::writeLine(&out, QDateTime(QDate(2017, 3, 14), QTime(9, 26, 53, 58)), QtMsgType(type),
                       context, QStringLiteral("Querying DFU devices"), captureHandler);
    out.flush();
    QCOMPARE(text, expected);
    // Whatever the type, the message goes on to the previous handler.
    QCOMPARE(takeCaptured(), QStringList{QString::fromLatin1(category) + "|Querying DFU devices"});
}

void LoggingTest::maskedInFileAndConsole()
{
    Logging::setupBoot();
    Logging::setupFile();
    const QString json = QStringLiteral(R"({"ssid":"home","key":"s3cret","password":"pa55"})");
    qCDebug(Device).noquote() << "wifi_client_connect" << json;
    qCDebug(Device) << "as a quoted string:" << json;
    Logging::unsetup();

    const QByteArray file = readAll(applicationLog());
    QVERIFY(!file.isEmpty());
    QVERIFY2(!file.contains("s3cret") && !file.contains("pa55"), file.constData());
    QVERIFY(file.contains(
        R"(wifi_client_connect {"ssid":"home","key":"********","password":"********"})"));
    QVERIFY(
        file.contains(R"("{\"ssid\":\"home\",\"key\":\"********\",\"password\":\"********\"}")"));
    const QStringList console = takeCaptured();
    QCOMPARE(console.size(), 2);
    for (const QString& line : console)
        QVERIFY2(!line.contains("s3cret") && !line.contains("pa55"), qPrintable(line));
}

void LoggingTest::bootMessagesComeFirstWithTheirOwnTimes()
{
    Logging::setupBoot();
    const QDateTime beforeBoot = QDateTime::currentDateTime();
    qCDebug(DFU) << "boot one";
    qWarning() << "boot two";
    const QDateTime afterBoot = QDateTime::currentDateTime();
    // Kept in memory: not on the console, not in a file.
    QVERIFY(takeCaptured().isEmpty());
    QVERIFY(!QFile::exists(applicationLog()));

    passMillisecond(afterBoot);
    const QDateTime beforeFile = QDateTime::currentDateTime();
    Logging::setupFile();
    qCInfo(Device) << "after setupFile";
    Logging::unsetup();

    const QStringList lines = applicationLines();
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].endsWith(" - DFUUpdate Debug: boot one"), qPrintable(lines[0]));
    QVERIFY2(lines[1].endsWith(" - default Warning: boot two"), qPrintable(lines[1]));
    QVERIFY2(lines[2].endsWith(" - RMDevice Info: after setupFile"), qPrintable(lines[2]));
    // Compared at the log's millisecond resolution.
    const auto ms = [](const QDateTime& t) { return t.toMSecsSinceEpoch(); };
    for (int i = 0; i < 2; ++i) {
        const QDateTime t = timestampOf(lines[i]);
        QVERIFY2(ms(t) >= ms(beforeBoot) && ms(t) <= ms(afterBoot), qPrintable(lines[i]));
    }
    QVERIFY2(ms(timestampOf(lines[2])) >= ms(beforeFile), qPrintable(lines[2]));
    QCOMPARE(takeCaptured(),
             (QStringList{"DFUUpdate|boot one", "default|boot two", "RMDevice|after setupFile"}));
}

void LoggingTest::flushBootWithoutFileHandler()
{
    // A second instance: boot handler only; flushBoot() before each exit path.
    Logging::setupBoot();
    qDebug() << "Second instance; raising master.";
    Logging::flushBoot();
    qDebug() << "Exiting";
    Logging::flushBoot();
    Logging::flushBoot();

    const QStringList lines = applicationLines();
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith("default Debug: Second instance; raising master."));
    QVERIFY(lines[1].endsWith("default Debug: Exiting"));
}

void LoggingTest::printerLog()
{
    Logging::setupBoot();
    Logging::setupFile();
    qCDebug(Device) << "before";
    qCInfo(PrinterLog).noquote() << "T:210.0 /210.0 B:0\nok";
    qCInfo(PrinterLog).noquote() << "key\": \"not masked here\"";
    qCDebug(Device) << "after";
    Logging::unsetup();

    QCOMPARE(readAll(printerLogPath()),
             QByteArray("T:210.0 /210.0 B:0\nok\n\nkey\": \"not masked here\"\n\n"));
    const QByteArray application = readAll(applicationLog());
    QVERIFY(!application.contains("T:210") && !application.contains("not masked"));
    QCOMPARE(takeCaptured(), (QStringList{"RMDevice|before", "RMDevice|after"}));
}

void LoggingTest::concurrentLinesNeverInterleave()
{
    // The console would get every line too; not wanted here.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    Logging::setupBoot();
    Logging::setupFile();

    const int writers = 8;
    const int messages = 400;
    const QString padding(300, QLatin1Char('x'));
    std::vector<std::unique_ptr<QThread>> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back(QThread::create([w, padding] {
            for (int m = 0; m < messages; ++m) {
                // Warnings take the flushing path, debug lines the buffered one.
                if (m % 3 == 0)
                    qCWarning(Device).noquote() << "writer" << w << "message" << m << padding;
                else
                    qCDebug(Device).noquote() << "writer" << w << "message" << m << padding;
            }
        }));
        threads.back()->setObjectName(QStringLiteral("log-writer-%1").arg(w));
        threads.back()->start();
    }
    for (auto& thread : threads)
        QVERIFY(thread->wait(60000));
    Logging::unsetup();

    const QRegularExpression line(
        QStringLiteral(R"(^\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d:\d{3} - RMDevice (Debug|Warning): )"
                       R"(writer (\d+) message (\d+) x{300}$)"));
    QVector<int> next(writers, 0);
    const QStringList lines = applicationLines();
    QCOMPARE(lines.size(), writers * messages);
    for (const QString& text : lines) {
        const QRegularExpressionMatch match = line.match(text);
        QVERIFY2(match.hasMatch(), qPrintable(text.left(200)));
        const int w = match.captured(2).toInt();
        const int m = match.captured(3).toInt();
        QCOMPARE(m, next[w]);
        QCOMPARE(match.captured(1), QString::fromLatin1(m % 3 == 0 ? "Warning" : "Debug"));
        ++next[w];
    }
}

void LoggingTest::rotation_data()
{
    QTest::addColumn<QDate>("today");
    QTest::addColumn<QDate>("lastWritten");    // of the current log; null: there is none
    QTest::addColumn<QStringList>("rotated");  // names after the prefix and its dash
    QTest::addColumn<QStringList>("expected"); // every file afterwards, ditto; "" = current log

    const QDate march14(2017, 3, 14);
    QTest::newRow("yesterday's log rotated; 8 days ago deleted, 7 kept")
        << march14 << QDate(2017, 3, 13) << QStringList{"2017-03-06.log", "2017-03-07.log"}
        << QStringList{"2017-03-07.log", "2017-03-13.log"};
    QTest::newRow("written today: stays current")
        << march14 << march14 << QStringList{"2017-03-13.log"} << QStringList{"", "2017-03-13.log"};
    QTest::newRow("written long ago: rotated under its own date, then deleted")
        << march14 << QDate(2017, 2, 1) << QStringList{} << QStringList{};
    QTest::newRow("no current log")
        << march14 << QDate() << QStringList{"2017-03-10.log"} << QStringList{"2017-03-10.log"};
    QTest::newRow("across a month end") << QDate(2017, 3, 1) << QDate(2017, 2, 28)
                                        << QStringList{"2017-02-21.log", "2017-02-22.log"}
                                        << QStringList{"2017-02-22.log", "2017-02-28.log"};
    QTest::newRow("across a year end") << QDate(2021, 1, 2) << QDate(2020, 12, 31)
                                       << QStringList{"2020-12-25.log", "2020-12-26.log"}
                                       << QStringList{"2020-12-26.log", "2020-12-31.log"};
    QTest::newRow("names without a date, and future dates, are kept")
        << march14 << QDate() << QStringList{"old.log", "2017-13-01.log", "2017-03-20.log"}
        << QStringList{"2017-03-20.log", "2017-13-01.log", "old.log"};
}

void LoggingTest::rotation()
{
    QFETCH(QDate, today);
    QFETCH(QDate, lastWritten);
    QFETCH(QStringList, rotated);
    QFETCH(QStringList, expected);

    QVERIFY(QDir().mkpath(m_logDir));
    const QDir dir(m_logDir);
    for (const QString& prefix : {QStringLiteral("RMConfig"), QStringLiteral("RMPrinter")}) {
        if (lastWritten.isValid())
            touch(dir.filePath(prefix + ".log"), lastWritten);
        for (const QString& name : rotated)
            touch(dir.filePath(prefix + "-" + name), today.addDays(-1));
    }

    Logging::rotateLogsIn(m_logDir, today);

    QStringList want;
    for (const QString& prefix : {QStringLiteral("RMConfig"), QStringLiteral("RMPrinter")})
        for (const QString& name : expected)
            want << (name.isEmpty() ? prefix + ".log" : prefix + "-" + name);
    want.sort();
    QCOMPARE(dir.entryList(QDir::Files, QDir::Name), want);
}

void LoggingTest::rotateLogsKeepsTheLastSevenDays()
{
    // Through the entry point main() calls, on the real clock. A run that
    // straddles midnight would see two different todays: it starts over.
    for (;;) {
        QDir(m_logDir).removeRecursively();
        QVERIFY(QDir().mkpath(m_logDir));
        const QDir dir(m_logDir);
        const QDate today = QDate::currentDate();
        const QDate yesterday = today.addDays(-1);
        touch(dir.filePath("RMConfig.log"), yesterday, "from yesterday\n");
        touch(dir.filePath("RMPrinter.log"), today, "from today\n");
        for (const QString& prefix : {QStringLiteral("RMConfig"), QStringLiteral("RMPrinter")}) {
            touch(dir.filePath(prefix + "-" + today.addDays(-7).toString(Qt::ISODate) + ".log"),
                  today);
            touch(dir.filePath(prefix + "-" + today.addDays(-8).toString(Qt::ISODate) + ".log"),
                  today);
        }

        Logging::rotateLogs();
        if (QDate::currentDate() != today)
            continue;

        const QString seven = today.addDays(-7).toString(Qt::ISODate);
        const QString yday = yesterday.toString(Qt::ISODate);
        QStringList want{"RMConfig-" + seven + ".log", "RMConfig-" + yday + ".log",
                         "RMPrinter-" + seven + ".log", "RMPrinter.log"};
        want.sort();
        QCOMPARE(dir.entryList(QDir::Files, QDir::Name), want);
        QCOMPARE(readAll(dir.filePath("RMConfig-" + yday + ".log")),
                 QByteArray("from yesterday\n"));

        // The master then starts a fresh application log and appends to the
        // printer log of the day.
        Logging::setupBoot();
        Logging::setupFile();
        qCDebug(Device) << "first of the day";
        qCInfo(PrinterLog).noquote() << "more";
        Logging::unsetup();
        QVERIFY(applicationLines().constFirst().endsWith("RMDevice Debug: first of the day"));
        QCOMPARE(readAll(printerLogPath()), QByteArray("from today\nmore\n\n"));
        break;
    }
}

QTEST_GUILESS_MAIN(LoggingTest)
void LoggingTest::rotationOfOpenLogsInAFolderOfOurOwn()
{
    // A service names its own log folder and rotates at midnight while its
    // logs are open: what follows the rotation goes to a new file, not to
    // the renamed one.
    const QString folder = m_home.filePath(QStringLiteral("service/log"));
    Logging::setLogDirectory(folder);
    QCOMPARE(Logging::logDirectory(), folder);
    Logging::setupBoot();
    Logging::setupFile();
    qCInfo(PrinterLog).noquote() << "before midnight";
    qCInfo(Device) << "app before";
    const QDate yesterday = QDate::currentDate().addDays(-1);
    for (const char* name : {"RMPrinter.log", "RMConfig.log"}) {
        QFile file(folder + QLatin1Char('/') + QLatin1String(name));
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Append));
        QVERIFY(file.setFileTime(QDateTime(yesterday, QTime(23, 59)),
                                 QFileDevice::FileModificationTime));
    }
    Logging::rotateLogs();
    qCInfo(PrinterLog).noquote() << "after midnight";
    Logging::unsetup();
    Logging::setLogDirectory(QString());
    const QString day = yesterday.toString(Qt::ISODate);
    QCOMPARE(readAll(folder + QStringLiteral("/RMPrinter-") + day + QStringLiteral(".log")),
             QByteArray("before midnight\n\n"));
    QCOMPARE(readAll(folder + QStringLiteral("/RMPrinter.log")), QByteArray("after midnight\n\n"));
    QVERIFY(readAll(folder + QStringLiteral("/RMConfig-") + day + QStringLiteral(".log"))
                .contains("app before"));
    QCOMPARE(Logging::logDirectory(), m_logDir);
}

#include "LoggingTest.moc"
