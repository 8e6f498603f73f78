// zelkctl against virtual printers: each test starts the zelk-sim launcher
// with its printers and a control socket, runs zelkctl on the launcher's
// simulated bus as often as it needs, and drives the printers (button, cable,
// faults, clock) through the socket as a second terminal would. Exit codes,
// what zelkctl prints, and what the printer ends up doing are checked.
#include "Zelkctl.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

#include <signal.h>

using namespace zelktest;

namespace {

const QString Square = QStringLiteral(SIM_DATA "/calibration-square.gcode");

// The launcher, holding its printers while a test runs zelkctl on them.
class VirtualPrinters
{
public:
    explicit VirtualPrinters(const QStringList& options)
    {
        static int count = 0;
        socket = QStringLiteral("/tmp/zelkctl-%1-%2.sock")
                     .arg(QCoreApplication::applicationPid())
                     .arg(++count);
        QFile::remove(socket);
        // The launcher's program reports the bus that it runs on (what a
        // program needs to see the printers), then waits for its input to
        // end.
        launcher.start(QStringLiteral(ZELK_SIM),
                       QStringList{"--control", socket, "--announce"} + options +
                           QStringList{"--", "/bin/sh", "-c",
                                       "printf '%s\\n%s\\n' \"$UMOCKDEV_DIR\" \"$LD_PRELOAD\"; "
                                       "exec cat"});
        QString bus, preload;
        if (launcher.waitForStarted()) {
            auto line = [this] {
                QElapsedTimer clock;
                clock.start();
                while (!launcher.canReadLine() && clock.elapsed() < 20000)
                    launcher.waitForReadyRead(1000);
                return QString::fromUtf8(launcher.readLine()).trimmed();
            };
            bus = line();
            preload = line();
        }
        valid = !bus.isEmpty() && !preload.isEmpty() && home.isValid();
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("UMOCKDEV_DIR"), bus);
        environment.insert(QStringLiteral("LD_PRELOAD"), preload);
        environment.insert(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"));
        // Never the user's own log folder.
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    }
    ~VirtualPrinters()
    {
        launcher.closeWriteChannel();
        if (!launcher.waitForFinished(20000)) {
            launcher.kill();
            launcher.waitForFinished();
        }
    }

    bool isValid() const { return valid; }
    const QProcessEnvironment& env() const { return environment; }

    Run run(const QStringList& arguments) const { return zelkctl(arguments, environment); }
    std::unique_ptr<QProcess> start(const QStringList& arguments) const
    {
        return startZelkctl(arguments, environment);
    }

    // One control command; the launcher's reply line.
    QString send(const QString& command) const
    {
        QProcess p;
        p.start(QStringLiteral(ZELK_SIM),
                QStringList{"--send", socket} + command.split(QLatin1Char(' ')));
        p.waitForFinished(20000);
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    // The printer's state as it names it ("JOB_QUEUED").
    QString state(const QString& printer = QStringLiteral("1:5")) const
    {
        const QRegularExpression word(QRegularExpression::escape(printer) +
                                      QStringLiteral("=([A-Z_a-z]+)"));
        return word.match(send(QStringLiteral("list"))).captured(1);
    }
    bool waitForState(const QString& wanted, int milliseconds = 60000) const
    {
        QElapsedTimer clock;
        clock.start();
        while (state() != wanted) {
            if (clock.elapsed() > milliseconds)
                return false;
            QThread::msleep(50);
        }
        return true;
    }
    QJsonObject status() const
    {
        const QString reply = send(QStringLiteral("status"));
        return QJsonDocument::fromJson(reply.mid(3).toUtf8()).object();
    }
    int progress() const { return status()["job"].toObject()["progress"].toInt(); }
    QString filament() const { return status()["status"].toObject()["filament"].toString(); }
    QString printerLog() const
    {
        QFile f(home.filePath(QStringLiteral("data/Zelk printer tool/log/RMPrinter.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    QProcess launcher;
    QString socket;
    QTemporaryDir home;
    QProcessEnvironment environment;
    bool valid = false;
};

QString text(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes);
}

// What zelkctl said on standard error, without the link library's own lines
// of failed exchanges.
QString said(const QByteArray& err)
{
    return text(err).remove(QRegularExpression(QStringLiteral("^TrelMessage: [^\n]*\n"),
                                               QRegularExpression::MultilineOption));
}

// A print big enough that its upload can be caught under way.
QString writeBigPrint(const QTemporaryDir& dir)
{
    const QString path = dir.filePath(QStringLiteral("big.gcode"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    QByteArray layer;
    for (int i = 0; i < 1000; ++i)
        layer += QByteArray("G1 X") + QByteArray::number(i % 200) + " Y10 E" +
                 QByteArray::number(i) + " F1800\n";
    for (int i = 0; i < 400; ++i)
        f.write(layer);
    return path;
}

} // namespace

class ZelkctlPrinterTest : public QObject
{
    Q_OBJECT

private slots:
    void withoutAPrinter_data();
    void withoutAPrinter();
    void severalPrinters();
    void wholePrintWithOptimizeAndWait();
    void printWithoutWaitThenAbort();
    void printEndings_data();
    void printEndings();
    void interruptedWaitLeavesThePrintGoing_data();
    void interruptedWaitLeavesThePrintGoing();
    void failedUpload();
    void pauseAndResume();
    void filament();
    void firmwareUpdate();
    void firmwareUpdateFailures();
    void watchFollowsThePrinterThroughAnUnplug();
    void deviceOperations();
};

void ZelkctlPrinterTest::withoutAPrinter_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("said");
    const QString none = QStringLiteral("no printer attached");
    QTest::newRow("list") << QStringList{"list"} << "list: " + none;
    QTest::newRow("status") << QStringList{"status", "--watch"} << "status: " + none;
    QTest::newRow("print") << QStringList{"print", "--wait", Square} << "print: " + none;
    QTest::newRow("pause") << QStringList{"pause"} << "pause: " + none;
    QTest::newRow("abort") << QStringList{"abort"} << "abort: " + none;
    QTest::newRow("load") << QStringList{"load"} << "load: " + none;
    QTest::newRow("unload") << QStringList{"unload"} << "unload: " + none;
    QTest::newRow("version") << QStringList{"version"} << "version: " + none;
    QTest::newRow("serial") << QStringList{"serial"} << "serial: " + none;
    QTest::newRow("dfu flash") << QStringList{"dfu", "flash"} << "dfu flash: " + none;
    QTest::newRow("dfu list") << QStringList{"dfu", "list"}
                              << QStringLiteral("dfu list: no printer in firmware-update mode");
    QTest::newRow("not that one") << QStringList{"status", "--printer", "1:5"}
                                  << QStringLiteral("status: no printer at 1:5");
}

void ZelkctlPrinterTest::withoutAPrinter()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, said);
    VirtualPrinters sim({"--no-printer"});
    QVERIFY(sim.isValid());
    const Run r = sim.run(arguments);
    QCOMPARE(r.exitCode, 3);
    QVERIFY(r.out.isEmpty());
    QCOMPARE(text(r.err), "zelkctl " + said + "\n");
}

void ZelkctlPrinterTest::severalPrinters()
{
    VirtualPrinters sim({"--printer", "1:5", "--printer", "1:7,serial=ZK1-000001", "--printer",
                         "2:3:dfu,serial=ZK1-000001"});
    QVERIFY(sim.isValid());

    Run r = sim.run({"list"});
    QCOMPARE(r.exitCode, 0);
    const QStringList table = lines(r.out);
    QCOMPARE(table.size(), 4);
    QVERIFY(table.at(0).startsWith("ADDRESS  MODE             MODEL  FIRMWARE  STATE"));
    QCOMPARE(table.at(1).simplified(), QStringLiteral("1:5 normal Zelk 1.2.0 Idle"));
    QCOMPARE(table.at(2).simplified(), QStringLiteral("1:7 normal Zelk 1.2.0 Idle"));
    QCOMPARE(table.at(3).simplified(),
             QStringLiteral("- firmware-update - - firmware-update mode, serial ZK1000001"));

    r = sim.run({"list", "--json"});
    QCOMPARE(r.exitCode, 0);
    const QJsonArray rows = QJsonDocument::fromJson(r.out).array();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(1)["printer"].toString(), QStringLiteral("1:7"));
    QCOMPARE(rows.at(1)["state"].toString(), QStringLiteral("Idle"));
    QCOMPARE(rows.at(2)["serial"].toString(), QStringLiteral("ZK1000001"));

    r = sim.run({"status"});
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(text(r.err), QStringLiteral("zelkctl status: several printers are attached (1:5, "
                                         "1:7): choose one with --printer BUS:ADDRESS\n"));
    r = sim.run({"status", "--printer", "1:9"});
    QCOMPARE(r.exitCode, 3);
    QCOMPARE(text(r.err),
             QStringLiteral("zelkctl status: no printer at 1:9 (attached: 1:5, 1:7)\n"));

    // Before or after the subcommand, with or without '='.
    for (const QStringList& arguments :
         {QStringList{"status", "--printer", "1:7"}, QStringList{"--printer", "1:7", "status"},
          QStringList{"status", "--printer=1:7"}}) {
        r = sim.run(arguments);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(text(r.out), QStringLiteral("Idle\n"));
    }

    r = sim.run({"status", "--json", "--printer", "1:5"});
    QCOMPARE(r.exitCode, 0);
    const QJsonObject status = QJsonDocument::fromJson(r.out).object();
    QCOMPARE(status["printer"].toString(), QStringLiteral("1:5"));
    QCOMPARE(status["state"].toString(), QStringLiteral("Idle"));
    QCOMPARE(status["text"].toString(), QStringLiteral("Idle"));
    QCOMPARE(status["progress"].toInt(), 0);
    QVERIFY(status["minutes_left"].isNull());
    QCOMPARE(status["model"].toString(), QStringLiteral("Zelk"));
    QCOMPARE(status["firmware"].toString(), QStringLiteral("1.2.0"));
    QCOMPARE(status["error"].toString(), QStringLiteral("NoError"));
    QVERIFY(status["temperature"].isDouble());

    r = sim.run({"version", "--printer", "1:7"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(text(r.out), QStringLiteral("1.2.0\n"));
    r = sim.run({"serial", "--printer", "1:7"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(text(r.out), QStringLiteral("ZK1-000001\n"));

    r = sim.run({"dfu", "list"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(text(r.out), QStringLiteral("2b75:0003  serial ZK1000001\n"));
}

void ZelkctlPrinterTest::wholePrintWithOptimizeAndWait()
{
    VirtualPrinters sim({"--time-scale", "100"});
    QVERIFY(sim.isValid());
    auto print = sim.start({"print", "--optimize", "--wait", Square});
    // The printer waits for its button, as a real one does.
    QVERIFY(waitForOutput(*print, "Press button to start printing\n"));
    QCOMPARE(sim.send("hold BUILDING 0"), QStringLiteral("ok"));
    QCOMPARE(sim.send("press-button"), QStringLiteral("ok"));
    // Before the printer's progress gives an estimate, the file's stands in.
    QVERIFY(waitForOutput(*print, "(0% - 1 minute left)\n"));
    QCOMPARE(sim.send("release"), QStringLiteral("ok"));
    const Run r = finish(*print);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    const QStringList out = lines(r.out);
    QVERIFY2(inOrder(out, {"Optimized calibration-square.gcode: 5404 -> ",
                           "Uploading calibration-square.gcode 0%",
                           "Uploading calibration-square.gcode 100%",
                           "Estimated print time: 1 min 9 s (from the file)",
                           "Press button to start printing", "Calibration started",
                           "Calibrating build plate", "Printing at 20", "Idle", "Print finished."}),
             r.out.constData());
    QCOMPARE(out.last(), QStringLiteral("Print finished."));
    // One line per change: no line twice in a row.
    for (int i = 1; i < out.size(); ++i)
        QVERIFY2(out.at(i) != out.at(i - 1), qPrintable(out.at(i)));
    QCOMPARE(sim.state(), QStringLiteral("IDLE"));
    QCOMPARE(sim.progress(), 100);

    // The printer's own words went to the printer log; the file it got was
    // the optimized one, smaller than the original.
    const QString log = sim.printerLog();
    QVERIFY2(log.contains("echo:Done printing job-1.gcode"), qPrintable(log));
    const QRegularExpressionMatch received =
        QRegularExpression("File received: job-1.gcode, ([0-9]+) bytes").match(log);
    QVERIFY(received.hasMatch());
    QVERIFY(received.captured(1).toInt() < 5404);
    const Run logs = sim.run({"logs"});
    QCOMPARE(logs.exitCode, 0);
    QCOMPARE(text(logs.out), log);
}

void ZelkctlPrinterTest::printWithoutWaitThenAbort()
{
    VirtualPrinters sim({});
    QVERIFY(sim.isValid());
    // A name with a percent sign, as the progress line repeats it.
    QTemporaryDir dir;
    const QString odd = dir.filePath(QStringLiteral("square %2.gcode"));
    QVERIFY(QFile::copy(Square, odd));
    Run r = sim.run({"print", odd});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(lines(r.out).first(), QStringLiteral("Uploading square %2.gcode 0%"));
    QCOMPARE(lines(r.out).last(), QStringLiteral("Press button to start printing"));
    QCOMPARE(sim.state(), QStringLiteral("JOB_QUEUED"));
    // The untouched file went over.
    QVERIFY(sim.printerLog().contains("File received: job-1.gcode, 5404 bytes"));

    r = sim.run({"print", Square});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(text(r.err), QStringLiteral("zelkctl print: the printer is busy: it says \"Press "
                                         "button to start printing\"\n"));
    r = sim.run({"abort"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(text(r.out), QStringLiteral("Idle\n"));
    QCOMPARE(sim.state(), QStringLiteral("IDLE"));
    r = sim.run({"abort"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(text(r.err), QStringLiteral("zelkctl abort: nothing to abort: the printer says "
                                         "\"Idle\"\n"));
}

void ZelkctlPrinterTest::printEndings_data()
{
    // What happens once the file is queued, and what zelkctl then says.
    QTest::addColumn<QStringList>("commands");
    // Before the last command: the state the printer must be in, and the
    // progress that a hold (or a run-out) stops it at.
    QTest::addColumn<QString>("inState");
    QTest::addColumn<int>("atProgress");
    QTest::addColumn<QString>("said"); // standard error, a pattern
    QTest::newRow("aborted before the button")
        << QStringList{"abort"} << QString() << 0
        << "zelkctl print: the print was aborted before it started\n";
    QTest::newRow("aborted while printing")
        << QStringList{"hold BUILDING 30", "press-button", "abort"} << "BUILDING" << 30
        << "zelkctl print: the print was aborted at 3[0-9]%\n";
    QTest::newRow("hot end never heats")
        << QStringList{"heater-fault on", "time-scale 2000", "press-button"} << QString() << 0
        << "zelkctl print: the print failed: the printer reported an error\n";
    QTest::newRow("unplugged while printing")
        << QStringList{"hold BUILDING 10", "press-button", "unplug"} << "BUILDING" << 10
        << "zelkctl print: the printer went away during the print; it may still be printing "
           "\\(zelkctl status --watch\\)\n";
    // This command holds the printer: it says how to get at it.
    QTest::newRow("filament runs out, then aborted")
        << QStringList{"filament-out 20", "press-button", "abort"} << "FILAMENT_OUT" << 20
        << "zelkctl print: the print waits for filament: interrupt this command \\(the print "
           "goes on\\), then zelkctl unload, zelkctl load and zelkctl pause to resume\n"
           "zelkctl print: the print was aborted at 2[0-9]%\n";
}

void ZelkctlPrinterTest::printEndings()
{
    QFETCH(QStringList, commands);
    QFETCH(QString, inState);
    QFETCH(int, atProgress);
    QFETCH(QString, said);
    VirtualPrinters sim({"--time-scale", "200"});
    QVERIFY(sim.isValid());
    auto print = sim.start({"print", "--wait", Square});
    QVERIFY(waitForOutput(*print, "Press button to start printing\n"));
    for (int i = 0; i < commands.size(); ++i) {
        if (i == commands.size() - 1 && !inState.isEmpty()) {
            QVERIFY(sim.waitForState(inState));
            QTRY_VERIFY_WITH_TIMEOUT(sim.progress() >= atProgress, 30000);
        }
        QCOMPARE(sim.send(commands.at(i)), QStringLiteral("ok"));
    }
    const Run r = finish(*print);
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(QRegularExpression("^" + said + "$").match(text(r.err)).hasMatch(), r.err.constData());
}

void ZelkctlPrinterTest::interruptedWaitLeavesThePrintGoing_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP: the terminal closed") << int(SIGHUP);
}

void ZelkctlPrinterTest::interruptedWaitLeavesThePrintGoing()
{
    QFETCH(int, number);
    VirtualPrinters sim({});
    QVERIFY(sim.isValid());
    auto print = sim.start({"print", "--wait", Square});
    QVERIFY(waitForOutput(*print, "Press button to start printing\n"));
    ::kill(static_cast<pid_t>(print->processId()), number);
    const Run r = finish(*print);
    QCOMPARE(r.exitCode, 128 + number);
    QCOMPARE(
        text(r.err),
        QStringLiteral("zelkctl print: interrupted; the print goes on (zelkctl abort ends it)\n"));
    QCOMPARE(sim.state(), QStringLiteral("JOB_QUEUED"));
}

void ZelkctlPrinterTest::failedUpload()
{
    QTemporaryDir dir;
    const QString big = writeBigPrint(dir);
    QVERIFY(!big.isEmpty());
    VirtualPrinters sim({});
    QVERIFY(sim.isValid());
    auto print = sim.start({"print", big});
    QVERIFY(sim.waitForState("FILE_RX"));
    QCOMPARE(sim.send("unplug"), QStringLiteral("ok"));
    const Run r = finish(*print);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(said(r.err), QStringLiteral("zelkctl print: upload failed: the printer went away\n"));
    QVERIFY(r.out.startsWith("Uploading big.gcode 0%\n"));
}

void ZelkctlPrinterTest::pauseAndResume()
{
    VirtualPrinters sim({"--time-scale", "50"});
    QVERIFY(sim.isValid());
    Run r = sim.run({"pause"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(text(r.err),
             QStringLiteral("zelkctl pause: nothing to pause: the printer says \"Idle\"\n"));

    QCOMPARE(sim.run({"print", Square}).exitCode, 0);
    QCOMPARE(sim.send("hold BUILDING 10"), QStringLiteral("ok"));
    QCOMPARE(sim.send("press-button"), QStringLiteral("ok"));
    QVERIFY(sim.waitForState("BUILDING"));
    QTRY_VERIFY_WITH_TIMEOUT(sim.progress() >= 10, 30000);

    r = sim.run({"pause"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(QRegularExpression("^(Pausing|Paused)\n$").match(text(r.out)).hasMatch(),
             r.out.constData());
    QVERIFY(sim.waitForState("PAUSED"));
    r = sim.run({"status"});
    QCOMPARE(text(r.out), QStringLiteral("Paused\n"));

    // Again: the print goes on (until 60%, where it waits to be aborted).
    QCOMPARE(sim.send("hold BUILDING 60"), QStringLiteral("ok"));
    r = sim.run({"pause"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(QRegularExpression("^(Restarting|Printing at .*)\n$").match(text(r.out)).hasMatch(),
             r.out.constData());
    QVERIFY(sim.waitForState("BUILDING"));
    r = sim.run({"abort"});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(text(r.out), QStringLiteral("Idle\n"));
    QVERIFY(sim.progress() < 100);
}

void ZelkctlPrinterTest::filament()
{
    VirtualPrinters sim({"--time-scale", "50"});
    QVERIFY(sim.isValid());
    Run r = sim.run({"load"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(text(r.err), QStringLiteral("zelkctl load: filament is already loaded\n"));

    r = sim.run({"unload"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(inOrder(lines(r.out), {"Unloading filament - ", "Filament unloaded."}),
             r.out.constData());
    QCOMPARE(sim.filament(), QStringLiteral("unloaded"));
    r = sim.run({"unload"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(text(r.err), QStringLiteral("zelkctl unload: no filament is loaded\n"));

    // Loading ends with the button, once the filament comes out.
    auto load = sim.start({"load"});
    QVERIFY(sim.waitForState("LOADFIL_EXTRUDING"));
    QCOMPARE(sim.send("press-button"), QStringLiteral("ok"));
    r = finish(*load);
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(inOrder(lines(r.out),
                     {"Loading filament - ", "press the printer's button", "Filament loaded."}),
             r.out.constData());
    QCOMPARE(sim.filament(), QStringLiteral("loaded"));

    // Not while printing.
    QCOMPARE(sim.run({"print", Square}).exitCode, 0);
    r = sim.run({"unload"});
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(text(r.err), QStringLiteral("zelkctl unload: the printer is busy (\"Press button to "
                                         "start printing\"); filament is unloaded while it is "
                                         "idle or paused\n"));
}

void ZelkctlPrinterTest::firmwareUpdate()
{
    VirtualPrinters sim({"--printer", "1:5,serial=ZK1-000001"});
    QVERIFY(sim.isValid());
    Run r = sim.run({"dfu", "flash"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    const QStringList out = lines(r.out);
    QVERIFY2(
        inOrder(out, {"Printer 1:5 (firmware 1.2.0) goes into firmware-update mode",
                      "Resources/firmware.dfu on the printer with serial ZK1000001", "Flashing 0%",
                      "Flashing 100%", "Firmware written; waiting for the printer to start it"}),
        r.out.constData());
    QCOMPARE(out.last(), QStringLiteral("Printer 1:5 runs firmware 1.3.0 (was 1.2.0)"));
    r = sim.run({"version"});
    QCOMPARE(text(r.out), QStringLiteral("1.3.0\n"));
}

void ZelkctlPrinterTest::firmwareUpdateFailures()
{
    QTemporaryDir dir;
    // More than the bootloader's flash holds: dfu-util refuses to write it.
    const QString tooBig = dir.filePath(QStringLiteral("too-big.dfu"));
    QFile f(tooBig);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(300 * 1024, '\x5a'));
    f.close();

    VirtualPrinters sim({"--printer", "1:9:dfu,serial=ZK1-000001"});
    QVERIFY(sim.isValid());
    Run r = sim.run({"dfu", "flash", tooBig});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.endsWith("zelkctl dfu flash: flashing failed; the printer stays in "
                            "firmware-update mode (run zelkctl dfu flash again)\n"),
             r.err.constData());
    QCOMPARE(text(sim.run({"dfu", "list"}).out), QStringLiteral("2b75:0003  serial ZK1000001\n"));

    // Then the printer in firmware-update mode, flashed as it is.
    r = sim.run({"dfu", "flash"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(lines(r.out).last(), QStringLiteral("Printer 1:9 runs firmware 1.3.0"));

    VirtualPrinters two({"--printer", "1:9:dfu", "--printer", "1:10:dfu"});
    QVERIFY(two.isValid());
    r = two.run({"dfu", "flash"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.startsWith("zelkctl dfu flash: several printers are in firmware-update mode"),
             r.err.constData());
}

void ZelkctlPrinterTest::watchFollowsThePrinterThroughAnUnplug()
{
    VirtualPrinters sim({"--time-scale", "20"});
    QVERIFY(sim.isValid());
    auto watch = sim.start({"status", "--watch"});
    QTRY_VERIFY_WITH_TIMEOUT(watch->canReadLine(), 20000);
    QCOMPARE(sim.send("unload"), QStringLiteral("ok"));
    QTRY_VERIFY_WITH_TIMEOUT(watch->bytesAvailable() > 40, 20000);
    QCOMPARE(sim.send("unplug"), QStringLiteral("ok"));
    QThread::msleep(1500);
    QCOMPARE(sim.send("plug"), QStringLiteral("ok"));
    QVERIFY(sim.waitForState("IDLE"));
    QThread::msleep(2500);
    ::kill(static_cast<pid_t>(watch->processId()), SIGINT);
    const Run r = finish(*watch);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.err.isEmpty());
    const QStringList out = lines(r.out);
    QVERIFY2(inOrder(out, {"Idle", "Unloading filament - ", "Disconnected", "Idle"}),
             r.out.constData());
}

// gcode, wifi and head, one after the other on one printer: what each prints,
// its exit status, and a failed exchange named (a fault of the virtual
// printer spoils one command's answer before the step). The pass phrase
// shows nowhere.
void ZelkctlPrinterTest::deviceOperations()
{
    QTemporaryDir dir;
    const QString right = dir.filePath("right"), wrong = dir.filePath("wrong");
    for (const auto& [path, key] : {std::pair{right, "correct horse\n"}, {wrong, "wrong\n"}}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(key) > 0);
    }
    VirtualPrinters sim({"--time-scale", "50"});
    QVERIFY(sim.isValid());
    const QString noReturn = QStringLiteral("TREL_ERROR_NO_RETURN (Response without "
                                            "\"__return__\") in ");
    const struct
    {
        QString fault; // the command whose answer lacks "__return__"
        QStringList arguments;
        int exitCode;
        QString out;
        QString err;
    } steps[] = {
        {"", {"gcode", "G28", "M105"}, 0, "G28: ok\nM105: ok\n", ""},
        {"",
         {"gcode", "G28", "nonsense", "M105"},
         1,
         "G28: ok\n",
         "zelkctl gcode: the printer refused \"nonsense\": unknown command (code 2)\n"},
        {"gcode_process_command",
         {"gcode", "G28"},
         1,
         "",
         "zelkctl gcode: \"G28\": " + noReturn + "gcode_process_command\n"},
        {"",
         {"wifi", "connect", "--key-file", wrong, "ZelkLab"},
         1,
         "",
         "zelkctl wifi connect: the printer could not connect to \"ZelkLab\" (code -2)\n"},
        {"",
         {"wifi", "connect", "ZelkLab"},
         2,
         "",
         "zelkctl wifi connect: no terminal to ask for the pass phrase on: give it with "
         "--key-file FILE (- for standard input)\n"},
        {"",
         {"wifi", "connect", "--key-file", right, "ZelkLab"},
         0,
         "Connected to \"ZelkLab\".\n",
         ""},
        {"",
         {"wifi", "status"},
         0,
         "Connected to \"ZelkLab\"\nIP address:  192.168.1.57\nSubnet mask: 255.255.255.0\n"
         "Gateway:     192.168.1.1\nDHCP server: 192.168.1.1\nDNS server:  192.168.1.1\n"
         "MAC address: 0:1a:2b:3:4:5\n",
         ""},
        {"wifi_disconnect",
         {"wifi", "disconnect"},
         1,
         "",
         "zelkctl wifi disconnect: " + noReturn +
             "wifi_disconnect; whether the printer made the change is unknown; the printer now "
             "reports: not connected\n"},
        {"",
         {"wifi", "config", "set", "--key-file", right, "--auto-connect", "off", "ZelkLab"},
         0,
         "Stored \"ZelkLab\", automatic connection off.\n",
         ""},
        {"",
         {"wifi", "config", "show"},
         0,
         "Network:              \"ZelkLab\"\nPass phrase:          ********\n"
         "Automatic connection: off\n",
         ""},
        {"servo_dc_config_get",
         {"head", "raise"},
         1,
         "Raising the head...\n",
         "zelkctl head raise: " + noReturn + "servo_dc_config_get; nothing was changed\n"},
        {"", {"head", "raise"}, 0, "Raising the head...\nHead raised.\n", ""},
        {"",
         {"head", "ship"},
         0,
         "Lowering the head to its shipping position...\nHead lowered to its shipping "
         "position.\n",
         ""},
    };
    for (const auto& step : steps) {
        if (!step.fault.isEmpty())
            QCOMPARE(sim.send("command-fault 1:5 " + step.fault + " no-return"), QString("ok"));
        const Run r = sim.run(step.arguments);
        const QByteArray what = step.arguments.join(' ').toUtf8();
        QVERIFY2(r.exitCode == step.exitCode, what + ": " + r.err);
        QCOMPARE(text(r.out), step.out);
        QCOMPARE(said(r.err), step.err);
        QVERIFY(!r.out.contains("correct horse") && !r.err.contains("correct horse"));
    }

    const Run scan = sim.run({"wifi", "scan"});
    QCOMPARE(scan.exitCode, 0);
    QCOMPARE(lines(scan.out).value(0).simplified(), QString("SSID SIGNAL SECURITY"));
    QCOMPARE(lines(scan.out).value(1).simplified(), QString("ZelkLab 208 WPA"));
    QCOMPARE(lines(scan.out).value(5).simplified(), QString("Mesh-Node 201 unknown"));

    // Nor in the logs that the commands wrote.
    QDirIterator logs(sim.env().value("XDG_DATA_HOME"), QDir::Files, QDirIterator::Subdirectories);
    int read = 0;
    while (logs.hasNext()) {
        QFile f(logs.next());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY2(!f.readAll().contains("correct horse"), qPrintable(f.fileName()));
        ++read;
    }
    QVERIFY(read > 0);
}

QTEST_GUILESS_MAIN(ZelkctlPrinterTest)
#include "ZelkctlPrinterTest.moc"
