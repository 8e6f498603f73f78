// zelkctl run as a child process, without printers: the optimize
// subcommand's output, summary, exit status and failures (no output file
// appears unless it is complete, nothing but a regular file is replaced), the
// info subcommand on a print and on odd files, the
// subcommand table's usage and help, the local file errors of the printer
// subcommands (said before any printer is looked for), and the printer log.
#include "Zelkctl.h"
#include "TestFiles.h"
#include "WorkedExample.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <signal.h>
#include <sys/stat.h>

using namespace zelktest;

namespace {

// zelkctl started by a shell after `shellPrefix` (limits, traps).
Run zelkctlIn(const QString& shellPrefix, const QStringList& arguments)
{
    QStringList quoted;
    for (const QString& a : arguments)
        quoted << QLatin1Char('\'') + a + QLatin1Char('\'');
    QProcess p;
    p.start(QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), shellPrefix + QStringLiteral(" exec '") +
                                       QStringLiteral(ZELKCTL) + QStringLiteral("' ") +
                                       quoted.join(QLatin1Char(' '))});
    return finish(p);
}

} // namespace

class ZelkctlTest : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        dir.reset(new QTemporaryDir); // each test starts in an empty directory
        QVERIFY(dir->isValid());
    }
    void optimizesWorkedExample();
    void replacesExistingOutput();
    void failures_data();
    void failures();
    void writeFailureLeavesNoFile();
    void refusesNonRegularOutput();
    void usage_data();
    void usage();
    void localFileErrors_data();
    void localFileErrors();
    void logsOfADay_data();
    void logsOfADay();
    void logsFollowTheCurrentLog();
    void followEndsOnEachSignal_data();
    void followEndsOnEachSignal();
    void infoOfAPrint();
    void infoOfOddFiles_data();
    void infoOfOddFiles();

private:
    QString path(const QString& name) const { return dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> dir;
};

void ZelkctlTest::optimizesWorkedExample()
{
    QVERIFY(writeFile(path(QStringLiteral("in.gcode")), zelktest::workedExampleInput));
    const Run r = zelkctl({QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                           path(QStringLiteral("out.gcode"))});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(path(QStringLiteral("out.gcode"))),
             "; Optimized with Corvane optimizer (c++)\n" + zelktest::workedExampleOutput);
    QVERIFY(r.out.isEmpty());
    // One summary line: bytes and moves in and out, time, rate.
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^zelkctl optimize: 127 -> 117 bytes, 6 -> 3 moves \\(50.0% "
                                "removed\\), [0-9.]+ s, [0-9.]+ MB/s\n$"))
                 .match(QString::fromUtf8(r.err))
                 .hasMatch(),
             r.err.constData());
    // Nothing else is left in the directory.
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void ZelkctlTest::replacesExistingOutput()
{
    QVERIFY(writeFile(path(QStringLiteral("in.gcode")), "M107\n"));
    QVERIFY(writeFile(path(QStringLiteral("out.gcode")), "old"));
    const Run r = zelkctl({QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                           path(QStringLiteral("out.gcode"))});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(readFile(path(QStringLiteral("out.gcode"))),
             QByteArray("; Optimized with Corvane optimizer (c++)\nM107\n"));
}

void ZelkctlTest::failures_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing input") << "missing.gcode"
                                   << "out.gcode"
                                   << "cannot read";
    QTest::newRow("input is a directory") << "."
                                          << "out.gcode"
                                          << "cannot read";
    QTest::newRow("output directory missing") << "in.gcode"
                                              << "no/such/dir/out.gcode"
                                              << "cannot write";
    QTest::newRow("output under a file") << "in.gcode"
                                         << "in.gcode/out.gcode"
                                         << "cannot write";
    QTest::newRow("output is a directory") << "in.gcode"
                                           << "."
                                           << "not a regular file";
}

void ZelkctlTest::failures()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, message);
    QVERIFY(writeFile(path(QStringLiteral("in.gcode")), zelktest::workedExampleInput));
    QVERIFY(writeFile(path(QStringLiteral("out.gcode")), "old"));
    const Run r = zelkctl({QStringLiteral("optimize"), path(input), path(output)});
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.startsWith("zelkctl optimize: ") && r.err.contains(message.toUtf8()),
             r.err.constData());
    // The existing output is untouched and no temporary file is left.
    QCOMPARE(readFile(path(QStringLiteral("out.gcode"))), QByteArray("old"));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void ZelkctlTest::writeFailureLeavesNoFile()
{
    // A file size limit makes writes fail part-way, as a full disk does.
    QByteArray input;
    while (input.size() < 4 * 1024 * 1024)
        input += "M117 a line of text that the optimizer copies as it stands\n";
    QVERIFY(writeFile(path(QStringLiteral("in.gcode")), input));
    const Run r = zelkctlIn(QStringLiteral("trap '' XFSZ; ulimit -f 2048;"),
                            {QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                             path(QStringLiteral("out.gcode"))});
    QCOMPARE(r.exitCode, 4);
    QVERIFY2(r.err.contains("Could not write the optimized G-code") ||
                 r.err.contains("cannot write"),
             r.err.constData());
    QVERIFY(!QFile::exists(path(QStringLiteral("out.gcode"))));
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

void ZelkctlTest::refusesNonRegularOutput()
{
    // Renaming over a pipe (or, as root, over /dev/null) would replace it.
    QVERIFY(writeFile(path(QStringLiteral("in.gcode")), zelktest::workedExampleInput));
    const QByteArray fifo = QFile::encodeName(path(QStringLiteral("fifo")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const Run r = zelkctl({QStringLiteral("optimize"), path(QStringLiteral("in.gcode")),
                           path(QStringLiteral("fifo"))});
    QCOMPARE(r.exitCode, 4);
    QVERIFY(r.err.contains("not a regular file"));
    struct stat st;
    QCOMPARE(::stat(fifo.constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
}

void ZelkctlTest::usage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stdoutHas");
    QTest::addColumn<QString>("stderrHas");
    QTest::newRow("no arguments") << QStringList() << 2 << ""
                                  << "Usage: zelkctl SUBCOMMAND";
    QTest::newRow("--help") << QStringList{"--help"} << 0 << "optimize INPUT OUTPUT"
                            << "";
    QTest::newRow("help optimize")
        << QStringList{"help", "optimize"} << 0 << "usage: zelkctl optimize INPUT OUTPUT"
        << "";
    QTest::newRow("optimize --help") << QStringList{"optimize", "--help"} << 0 << "temporary file"
                                     << "";
    QTest::newRow("unknown subcommand") << QStringList{"frobnicate"} << 2 << ""
                                        << "unknown subcommand 'frobnicate'";
    QTest::newRow("too few arguments") << QStringList{"optimize", "a"} << 2 << ""
                                       << "usage: zelkctl optimize INPUT OUTPUT";
    QTest::newRow("too many arguments") << QStringList{"optimize", "a", "b", "c"} << 2 << ""
                                        << "optimize takes INPUT OUTPUT";
    QTest::newRow("unknown option") << QStringList{"optimize", "--fast", "a", "b"} << 2 << ""
                                    << "unknown option '--fast'";
    QTest::newRow("print --help") << QStringList{"print", "--help"} << 0
                                  << "usage: zelkctl print [--printer BUS:ADDRESS] [--optimize] "
                                     "[--wait] FILE"
                                  << "";
    QTest::newRow("help dfu flash") << QStringList{"help", "dfu", "flash"} << 0
                                    << "usage: zelkctl dfu flash [--printer BUS:ADDRESS] [FILE]"
                                    << "";
    QTest::newRow("dfu --help") << QStringList{"dfu", "--help"} << 0 << "zelkctl dfu list"
                                << "";
    QTest::newRow("dfu alone") << QStringList{"dfu"} << 2 << ""
                               << "zelkctl dfu flash";
    QTest::newRow("unknown dfu subcommand") << QStringList{"dfu", "erase"} << 2 << ""
                                            << "unknown subcommand 'dfu erase'";
    QTest::newRow("print without a file") << QStringList{"print", "--wait"} << 2 << ""
                                          << "print takes FILE";
    QTest::newRow("status with an argument") << QStringList{"status", "now"} << 2 << ""
                                             << "status takes no arguments";
    QTest::newRow("flag with a value") << QStringList{"status", "--json=yes"} << 2 << ""
                                       << "--json takes no value";
    QTest::newRow("option of another subcommand") << QStringList{"status", "--optimize"} << 2 << ""
                                                  << "unknown option '--optimize'";
    QTest::newRow("--printer without a value") << QStringList{"status", "--printer"} << 2 << ""
                                               << "--printer needs a value";
    QTest::newRow("--printer not an address") << QStringList{"status", "--printer", "5"} << 2 << ""
                                              << "bad --printer '5'";
    QTest::newRow("--printer out of range") << QStringList{"status", "--printer=1:128"} << 2 << ""
                                            << "bad --printer '1:128'";
    QTest::newRow("--printer for a file command")
        << QStringList{"--printer", "1:5", "optimize", "a", "b"} << 2 << ""
        << "optimize takes no --printer";
    QTest::newRow("--day not a date") << QStringList{"logs", "--day", "2024-02-30"} << 2 << ""
                                      << "bad --day '2024-02-30'";
    QTest::newRow("--day not in ISO form") << QStringList{"logs", "--day=1.2.2024"} << 2 << ""
                                           << "bad --day '1.2.2024'";
    QTest::newRow("info --help") << QStringList{"info", "--help"} << 0
                                 << "usage: zelkctl info [--json] [--density G_PER_CM3] FILE"
                                 << "";
    QTest::newRow("info without a file") << QStringList{"info", "--json"} << 2 << ""
                                         << "info takes FILE";
    QTest::newRow("info, bad density")
        << QStringList{"info", "--density=heavy", "x.gcode"} << 2 << ""
        << "bad --density 'heavy'";
    QTest::newRow("--follow on another day")
        << QStringList{"logs", "--follow", "--day", "2020-01-01"} << 2 << ""
        << "--follow follows today's log";
}

void ZelkctlTest::localFileErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("print a missing file")
        << QStringList{"print", "missing.gcode"} << "zelkctl print: cannot read missing.gcode: ";
    QTest::newRow("print a directory")
        << QStringList{"print", "--wait", "."} << "zelkctl print: cannot read .: a directory";
    QTest::newRow("flash a missing file")
        << QStringList{"dfu", "flash", "missing.dfu"}
        << "zelkctl dfu flash: cannot read the firmware missing.dfu: no such file";
}

void ZelkctlTest::localFileErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QProcess p;
    p.setWorkingDirectory(dir->path());
    p.start(QStringLiteral(ZELKCTL), arguments);
    const Run r = finish(p);
    QCOMPARE(r.exitCode, 4);
    QVERIFY(r.out.isEmpty());
    QVERIFY2(r.err.startsWith(message.toUtf8()), r.err.constData());
}

void ZelkctlTest::usage()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, stdoutHas);
    QFETCH(QString, stderrHas);
    const Run r = zelkctl(arguments);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.out.contains(stdoutHas.toUtf8()), r.out.constData());
    QVERIFY2(r.err.contains(stderrHas.toUtf8()), r.err.constData());
}

namespace {

// The printer logs of a user whose data location is under `home`.
class LogFolder
{
public:
    explicit LogFolder(const QString& home)
        : path(home + QStringLiteral("/data/Zelk printer tool/log"))
    {
        env.insert(QStringLiteral("HOME"), home);
        env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
        QDir().mkpath(path);
    }
    // A log file last written on `day`.
    void write(const QString& name, const QByteArray& text, const QDate& day)
    {
        QFile f(path + QLatin1Char('/') + name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.flush(); // or closing the file would write, and date it today
        QVERIFY(f.setFileTime(QDateTime(day, QTime(12, 0)), QFileDevice::FileModificationTime));
    }
    void append(const QString& name, const QByteArray& text)
    {
        QFile f(path + QLatin1Char('/') + name);
        QVERIFY(f.open(QIODevice::Append));
        f.write(text);
    }

    const QString path;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

} // namespace

void ZelkctlTest::logsOfADay_data()
{
    const QDate today = QDate::currentDate();
    const QDate earlier(2020, 1, 2);
    QTest::addColumn<QDate>("currentWritten"); // null: no current log
    QTest::addColumn<QList<QDate>>("rotated");
    QTest::addColumn<QDate>("day");           // null: no --day
    QTest::addColumn<QByteArray>("expected"); // null: no log for the day
    QTest::newRow("today") << today << QList<QDate>{QDate(2020, 1, 1)} << QDate()
                           << QByteArray("current\n");
    QTest::newRow("today by date") << today << QList<QDate>{} << today << QByteArray("current\n");
    QTest::newRow("a rotated day") << today << QList<QDate>{QDate(2020, 1, 1), earlier}
                                   << QDate(2020, 1, 1) << QByteArray("rotated 2020-01-01\n");
    QTest::newRow("current log of an earlier day, not yet rotated")
        << earlier << QList<QDate>{} << earlier << QByteArray("current\n");
    QTest::newRow("a day rotated, then appended to again")
        << earlier << QList<QDate>{earlier} << earlier
        << QByteArray("rotated 2020-01-02\ncurrent\n");
    QTest::newRow("nothing today")
        << earlier << QList<QDate>{QDate(2020, 1, 1)} << QDate() << QByteArray();
    QTest::newRow("no log at all") << QDate() << QList<QDate>{} << earlier << QByteArray();
}

void ZelkctlTest::logsOfADay()
{
    QFETCH(QDate, currentWritten);
    QFETCH(QList<QDate>, rotated);
    QFETCH(QDate, day);
    QFETCH(QByteArray, expected);
    LogFolder logs(dir->path());
    if (currentWritten.isValid())
        logs.write(QStringLiteral("RMPrinter.log"), "current\n", currentWritten);
    for (const QDate& d : rotated) {
        const QString date = d.toString(Qt::ISODate);
        logs.write("RMPrinter-" + date + ".log", "rotated " + date.toUtf8() + "\n", d);
    }
    // The program's own log is not the printer's.
    logs.write(QStringLiteral("RMConfig.log"), "program\n", QDate::currentDate());

    QStringList arguments{"logs"};
    if (day.isValid())
        arguments << "--day" << day.toString(Qt::ISODate);
    const Run r = zelkctl(arguments, logs.env);
    if (expected.isNull()) {
        QCOMPARE(r.exitCode, 4);
        QCOMPARE(QString::fromUtf8(r.err),
                 QStringLiteral("zelkctl logs: no printer log for %1 in %2\n")
                     .arg((day.isValid() ? day : QDate::currentDate()).toString(Qt::ISODate),
                          logs.path));
    } else {
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, expected);
        QVERIFY(r.err.isEmpty());
    }
}

void ZelkctlTest::logsFollowTheCurrentLog()
{
    LogFolder logs(dir->path());
    QByteArray text;
    for (int i = 1; i <= 15; ++i)
        text += "line " + QByteArray::number(i) + "\n";
    logs.write(QStringLiteral("RMPrinter.log"), text, QDate::currentDate());

    auto follow = startZelkctl({"logs", "--follow"}, logs.env);
    QTRY_VERIFY_WITH_TIMEOUT(follow->bytesAvailable() > 0, 10000);
    QTest::qWait(300);
    logs.append(QStringLiteral("RMPrinter.log"), "appended\n");
    QTRY_VERIFY_WITH_TIMEOUT(follow->peek(4096).contains("appended"), 10000);
    // The desktop program rotates the log at its start on a new day.
    QVERIFY(QFile::rename(logs.path + "/RMPrinter.log", logs.path + "/RMPrinter-2020-01-01.log"));
    logs.write(QStringLiteral("RMPrinter.log"), "after rotation\n", QDate::currentDate());
    QTRY_VERIFY_WITH_TIMEOUT(follow->peek(4096).contains("after rotation"), 10000);
    ::kill(static_cast<pid_t>(follow->processId()), SIGINT);
    const Run r = finish(*follow);
    QCOMPARE(r.exitCode, 0);
    QByteArray expected;
    for (int i = 6; i <= 15; ++i)
        expected += "line " + QByteArray::number(i) + "\n";
    QCOMPARE(r.out, expected + "appended\nafter rotation\n");
}

void ZelkctlTest::followEndsOnEachSignal_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP: the terminal closed") << int(SIGHUP);
}

void ZelkctlTest::followEndsOnEachSignal()
{
    QFETCH(int, number);
    LogFolder logs(dir->path());
    logs.write(QStringLiteral("RMPrinter.log"), "line\n", QDate::currentDate());
    auto follow = startZelkctl({"logs", "--follow"}, logs.env);
    QTRY_VERIFY_WITH_TIMEOUT(follow->bytesAvailable() > 0, 10000);
    ::kill(static_cast<pid_t>(follow->processId()), number);
    const Run r = finish(*follow);
    QCOMPARE(r.exitCode, 0); // -1 when the signal killed it
    QCOMPARE(r.out, QByteArray("line\n"));
}

namespace {

// A lift of 0.2 mm at 10 mm/s (0.03 s), then 100 mm at 100 mm/s, from rest
// to rest (1.1 s).
const QByteArray SmallPrint = "; generated by TestSlicer 1.0 on 2024-01-01\n"
                              "M201 X1000 Y1000 Z1000 E1000\n"
                              "M203 X1000 Y1000 Z1000 E1000\n"
                              "M204 P1000 R1000 T1000\n"
                              "M205 X0.000001 Y0.000001 Z0.000001 E0.000001\n"
                              "M140 S60\n"
                              "M104 S200\n"
                              ";LAYER:0\n"
                              "G1 Z0.2 F600\n"
                              "G1 X100 E5 F6000\n"
                              ";TIME:12\n";

} // namespace

void ZelkctlTest::infoOfAPrint()
{
    QVERIFY(writeFile(path(QStringLiteral("in.gcode")), SmallPrint));
    Run r = zelkctl({QStringLiteral("info"), path(QStringLiteral("in.gcode"))});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    QCOMPARE(QString::fromUtf8(r.out),
             QStringLiteral("in.gcode\n"
                            "  print time     1 s (slicer says 12 s)\n"
                            "  filament       5.0 mm, 0.01 cm³, 0.01 g at 1.24 g/cm³\n"
                            "  layers         1, from the slicer's comments; printing on 1 to 1, "
                            "top at 0.20 mm\n"
                            "  size           100.0 x 0.0 x 0.0 mm: X 0.0 to 100.0, Y 0.0 to 0.0, "
                            "Z 0.20 to 0.20\n"
                            "  temperatures   hot end 200 °C, bed 60 °C\n"
                            "  moves          2 (1 extruding), 11 lines, %1 bytes\n"
                            "  slicer         TestSlicer 1.0\n")
                 .arg(SmallPrint.size()));

    r = zelkctl({QStringLiteral("info"), QStringLiteral("--json"), QStringLiteral("--density"),
                 QStringLiteral("2"), path(QStringLiteral("in.gcode"))});
    QCOMPARE(r.exitCode, 0);
    QJsonParseError error;
    const QJsonObject o = QJsonDocument::fromJson(r.out, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(o["file"].toString(), path(QStringLiteral("in.gcode")));
    QCOMPARE(o["print_time"].toDouble(), 1.1); // 1.13
    QCOMPARE(o["filament"]["length_mm"].toDouble(), 5.0);
    QCOMPARE(o["filament"]["density_g_cm3"].toDouble(), 2.0);
    QCOMPARE(o["filament"]["weight_g"].toDouble(), 0.02);
    QCOMPARE(o["layers"]["count"].toInt(), 1);
    QCOMPARE(o["layers"]["first_extruding"].toInt(), 1);
    QCOMPARE(o["dimensions"]["width"].toDouble(), 100.0);
    QCOMPARE(o["slicer"]["print_time"].toDouble(), 12.0);
    QVERIFY(o["slicer"]["filament_mm"].isNull());
    QCOMPARE(o["warnings"].toArray().size(), 0);
}

void ZelkctlTest::infoOfOddFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("file"); // what FILE names: "in.gcode" holds content
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // on standard error
    QTest::newRow("empty") << QByteArray() << "in.gcode" << 0 << "The file is empty.";
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01\0\0\0G1 X",
                                          14)
                            << "in.gcode" << 0 << "binary data (a zero byte at byte 7)";
    QTest::newRow("a line of 10 MB") << "G1 X" + QByteArray(10 * 1024 * 1024, '5') + "\nG1 X1 E1\n"
                                     << "in.gcode" << 0 << "longer than 1 MiB were skipped: 1";
    QTest::newRow("coordinates of 1e30") << QByteArray("G1 X1e30 Y1e30 E1\nG1 X10 E1\n")
                                         << "in.gcode" << 0 << "beyond a printer's reach";
    QTest::newRow("no extrusion") << QByteArray("G28\nG1 X10 Y10\n") << "in.gcode" << 0
                                  << "Nothing is extruded";
    QTest::newRow("comments only")
        << QByteArray("; a comment\n;LAYER:0\n") << "in.gcode" << 0 << "no moves";
    QTest::newRow("missing") << QByteArray() << "missing.gcode" << 4 << "cannot read";
    QTest::newRow("a directory") << QByteArray() << "." << 4 << "is a directory";
    QTest::newRow("a device that never ends")
        << QByteArray() << "/dev/zero" << 4 << "is not a regular file";
}

void ZelkctlTest::infoOfOddFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, file);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QVERIFY(writeFile(path(QStringLiteral("in.gcode")), content));
    const Run r = zelkctl({QStringLiteral("info"), file.startsWith('/') ? file : path(file)});
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(r.err.startsWith("zelkctl info: ") && r.err.contains(said.toUtf8()),
             r.err.constData());
    // A readable file is reported all the same.
    QCOMPARE(r.out.startsWith("in.gcode\n  print time "), exitCode == 0);
}

QTEST_GUILESS_MAIN(ZelkctlTest)
#include "ZelkctlTest.moc"
