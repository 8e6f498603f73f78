// Start-up as processes: the program's own main() (startup_probe links it
// with a probe that reports the windows it creates) in a private environment:
// its own runtime, temporary, data and settings directories, so that the
// single-instance channel and the logs are the test's alone.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {

const int WaitMs = 30000;

struct Run
{
    QStringList windows; // "window" lines
    QString firstState;  // the first "state" line
    QString end;         // the "end" line
    int exitCode = -2;
};

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstWindowPlacementAndVisibility_data();
    void firstWindowPlacementAndVisibility();
    void secondStartRaisesTheFirstAndLeaves();
    void signalEndsItAsQuitDoes_data();
    void signalEndsItAsQuitDoes();

private:
    // The probe, or the probe behind `launcher` (a program and its options).
    std::unique_ptr<QProcess> start(const QStringList& arguments, const QStringList& launcher = {});
    QString readLine(QProcess& process);
    QString waitFor(QProcess& process, const QString& prefix);
    Run runAndQuit(const QStringList& arguments);
    QString log() const;

    std::unique_ptr<QTemporaryDir> home;
};

void StartupTest::init()
{
    home = std::make_unique<QTemporaryDir>();
    QVERIFY(home->isValid());
}

std::unique_ptr<QProcess> StartupTest::start(const QStringList& arguments,
                                             const QStringList& launcher)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::SeparateChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", home->filePath("run"));
    env.insert("TMPDIR", home->filePath("tmp"));
    env.insert("XDG_DATA_HOME", home->filePath("data"));
    env.insert("XDG_CONFIG_HOME", home->filePath("config"));
    QDir(home->path()).mkpath("run");
    QFile::setPermissions(home->filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(home->path()).mkpath("tmp");
    process->setProcessEnvironment(env);
    if (launcher.isEmpty())
        process->start(STARTUP_PROBE, arguments);
    else
        process->start(launcher.first(), launcher.mid(1) + QStringList{STARTUP_PROBE} + arguments);
    return process;
}

QString StartupTest::readLine(QProcess& process)
{
    while (!process.canReadLine()) {
        if (process.state() == QProcess::NotRunning && !process.waitForReadyRead(0))
            return QString();
        if (!process.waitForReadyRead(WaitMs) && !process.canReadLine())
            return QString();
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

QString StartupTest::waitFor(QProcess& process, const QString& prefix)
{
    for (QString line = readLine(process); !line.isNull(); line = readLine(process))
        if (line.startsWith(prefix))
            return line;
    return QString();
}

Run StartupTest::runAndQuit(const QStringList& arguments)
{
    Run run;
    std::unique_ptr<QProcess> p = start(arguments);
    for (QString line = readLine(*p); !line.isNull(); line = readLine(*p)) {
        if (line.startsWith("window "))
            run.windows << line.mid(7);
        if (line.startsWith("state ") && run.firstState.isNull()) {
            run.firstState = line.mid(6);
            p->write("quit\n");
        }
        if (line.startsWith("end "))
            run.end = line.mid(4);
    }
    // waitForFinished() is false for a process that has already ended.
    if (p->state() != QProcess::NotRunning)
        p->waitForFinished(WaitMs);
    if (p->state() == QProcess::NotRunning && p->exitStatus() == QProcess::NormalExit)
        run.exitCode = p->exitCode();
    return run;
}

QString StartupTest::log() const
{
    QFile file(home->filePath("data/Zelk printer tool/log/RMConfig.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void StartupTest::firstWindowPlacementAndVisibility_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("state"); // class x y visible minimized

    QTest::newRow("shown") << QStringList() << "MainWindow 0 0 1 0";
    QTest::newRow("negative position") << QStringList{"--pos=-10x20"} << "MainWindow -10 20 1 0";
    QTest::newRow("last position wins")
        << QStringList{"--pos=1x1", "--pos=5x5"} << "MainWindow 5 5 1 0";
    QTest::newRow("malformed positions ignored")
        << QStringList{"--pos=7x8", "--pos=10", "--pos=3x", "--pos=1x2y"} << "MainWindow 7 8 1 0";
    QTest::newRow("silent: minimised")
        << QStringList{"--silent", "--pos=30x40"} << "MainWindow 30 40 1 1";
    // Options are compared case-sensitively; "--update=" needs a target.
    QTest::newRow("unknown options ignored")
        << QStringList{"--SILENT", "--update=", "--INSTALL"} << "MainWindow 0 0 1 0";
    QTest::newRow("installation mode")
        << QStringList{"--install", "--pos=3x4"} << "MacInstallWindow 3 4 1 0";
}

void StartupTest::firstWindowPlacementAndVisibility()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, state);

    const Run run = runAndQuit(arguments);
    QCOMPARE(run.windows, QStringList{state.section(' ', 0, 0)});
    QCOMPARE(run.firstState, state);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.end, QString("1"));

    const QString written = log();
    for (const char* line :
         {"Debug: Started", "Debug: Application: \"Zelk printer tool\" \"1.5.5-1.5.4-42-gdec7a2d\"",
          "Debug: Commit version: dec7a2d",
          "Debug: Pid:", "Debug: CPU:", "Debug: Master instance; rotating logs.", "Debug: Exiting"})
        QVERIFY2(written.contains(line), line);
    QVERIFY(written.contains("Debug: Arguments: (\"" STARTUP_PROBE "\""));
}

void StartupTest::secondStartRaisesTheFirstAndLeaves()
{
    std::unique_ptr<QProcess> first = start({"--silent"});
    QCOMPARE(waitFor(*first, "state "), QString("state MainWindow 0 0 1 1"));

    std::unique_ptr<QProcess> second = start({"--pos=9x9"});
    // The first answers only from its event loop, which runs while this one
    // reads its lines.
    QString secondEnd = waitFor(*second, "end ");
    if (second->state() != QProcess::NotRunning)
        QVERIFY(second->waitForFinished(WaitMs));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(secondEnd, QString("end 0")); // not a single window

    // Brought to the front: no longer minimised.
    QCOMPARE(waitFor(*first, "state MainWindow 0 0 1 0"), QString("state MainWindow 0 0 1 0"));
    first->write("quit\n");
    QVERIFY(first->waitForFinished(WaitMs));
    QCOMPARE(first->exitCode(), 0);

    const QString written = log();
    QVERIFY(written.contains("Debug: Second instance; raising master."));
    QVERIFY(written.contains("Debug: Master raised; exiting"));
    QCOMPARE(written.count("Debug: Application:"), 2); // both banners
}

void StartupTest::signalEndsItAsQuitDoes_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("SIGTERM (logout, systemd, kill)") << int(SIGTERM);
    QTest::newRow("SIGINT (Ctrl-C)") << int(SIGINT);
    QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP);
}

// Killed where it stood, the program lost the debug lines still buffered
// (the printer it had found among them) and never let the printer go.
void StartupTest::signalEndsItAsQuitDoes()
{
    QFETCH(int, number);
    std::unique_ptr<QProcess> p = start({"--silent"}, {ZELK_SIM, "--printer", "1:5", "--"});
    // Its messages reach standard error too, unbuffered.
    QByteArray err;
    QElapsedTimer clock;
    clock.start();
    while (!err.contains("Printer port: 1:5\n") && clock.elapsed() < WaitMs &&
           p->state() != QProcess::NotRunning) {
        p->waitForReadyRead(100);
        err += p->readAllStandardError();
    }
    QVERIFY2(err.contains("Printer port: 1:5\n"), err.constData());
    const QRegularExpressionMatch pid =
        QRegularExpression("^Pid: ([0-9]+)$", QRegularExpression::MultilineOption)
            .match(QString::fromUtf8(err));
    QVERIFY(pid.hasMatch());

    // The program itself (the launcher passes on only two of the three).
    QCOMPARE(::kill(pid.captured(1).toInt(), number), 0);
    QVERIFY(p->waitForFinished(WaitMs));
    QCOMPARE(p->exitStatus(), QProcess::NormalExit);
    QCOMPARE(p->exitCode(), 0);
    QVERIFY(p->readAllStandardOutput().contains("end 1\n"));

    const QString written = log();
    QVERIFY2(written.contains("Debug: Printer port: 1:5\n"), qPrintable(written));
    QVERIFY(written.contains(QStringLiteral("Debug: Signal %1 received; quitting\n").arg(number)));
    QVERIFY(written.trimmed().endsWith("Debug: Exiting"));
}

QTEST_GUILESS_MAIN(StartupTest)
#include "StartupTest.moc"
