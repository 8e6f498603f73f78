// The main window's status line and buttons for every state a printer
// reports, driven by a printer whose status answers the test writes.
#include "CannedPrinter.h"
#include "MainWindowTestSupport.h"
#include "NodeHolderProcess.h"

#include <MainWindow.h>
#include <OutOfFilamentDialog.h>
#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>
#include <VirtualPrinter.h>

#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTranslator>

#include <memory>

using namespace zelktest;

namespace {

const TrelDeviceAddress PORT(1, 5);

enum Button { Print = 1, Test = 2, Load = 4, Retract = 8, Update = 16 };

// The device registry's warnings, as the window's log receives them.
QStringList g_registryWarnings;
QtMessageHandler g_previousHandler = nullptr;
void keepRegistryWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg && context.category &&
        qstrcmp(context.category, "RMDeviceRegistry") == 0)
        g_registryWarnings << text;
    g_previousHandler(type, context, text);
}

} // namespace

class MainWindowStatusTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void statusLineAndButtons_data();
    void statusLineAndButtons();
    void buildingShowsMinutesOnceThereIsAnEstimate();
    void minutesArePluralAware();
    void unpluggedPrinterLeavesTheWindowDisconnected();
    void aPrinterNotOpenedIsSaidSo_data();
    void aPrinterNotOpenedIsSaidSo();

private:
    void show(const CannedStatus& s, RMDevice::State expected);
    QString statusText() const { return window->findChild<QLabel*>("statusLabel")->text(); }
    int enabledButtons() const;

    std::unique_ptr<CannedPrinter> printer;
    std::unique_ptr<MainWindow> window;
    QTranslator translator;
    QTimer recoveryCloser;
};

void MainWindowStatusTest::initTestCase()
{
    QVERIFY(translator.load(QLocale(QLocale::English), "rmapp", ".", ":/translations", ".qm"));
    QCoreApplication::installTranslator(&translator);
    // A printer that runs out of filament gets the recovery dialog, which
    // runs its own event loop: closed at once, the rows go on.
    recoveryCloser.callOnTimeout([] {
        if (auto* dialog = qobject_cast<OutOfFilamentDialog*>(QApplication::activeModalWidget()))
            dialog->reject();
    });
    recoveryCloser.start(10);
    printer = std::make_unique<CannedPrinter>();
    window = std::make_unique<MainWindow>();
    QCOMPARE(statusText(), QString("Disconnected"));
    QVERIFY(!window->findChild<QPushButton*>("printFileButton")->isEnabled());
    printer->plug();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 10000);
}

void MainWindowStatusTest::cleanupTestCase()
{
    window.reset();
    RMDeviceRegistry::shutdown();
    printer.reset();
}

int MainWindowStatusTest::enabledButtons() const
{
    const std::pair<const char*, Button> buttons[] = {{"printFileButton", Print},
                                                      {"testPrintButton", Test},
                                                      {"filamentLoadButton", Load},
                                                      {"filamentRetractButton", Retract},
                                                      {"updateFirmwareButton", Update}};
    int mask = 0;
    for (const auto& [name, bit] : buttons)
        if (window->findChild<QPushButton*>(name)->isEnabled())
            mask |= bit;
    return mask;
}

// Reports `s` after a status of another state, so that every row starts from
// a change the window has to follow.
void MainWindowStatusTest::show(const CannedStatus& s, RMDevice::State expected)
{
    const QSharedPointer<RMDevice> device = RMDeviceRegistry::instance()->getDevice(PORT);
    CannedStatus between;
    between.state = expected == RMDevice::HomingXY ? "HOMING_INIT" : "HOMING_XY";
    printer->report(between);
    QTRY_VERIFY_WITH_TIMEOUT(device->state() != expected && device->fwVersion() == "1.2.0", 5000);
    printer->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(device->state(), expected, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(device->fwVersion(), s.firmware, 5000);
}

void MainWindowStatusTest::statusLineAndButtons_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<double>("celsius");
    QTest::addColumn<int>("progress");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<int>("expectedState");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("buttons");

    const QString fw = "1.2.0";
    auto row = [&](const char* name, const char* state, double celsius, int progress,
                   const QString& firmware, RMDevice::State expected, const char* text,
                   int buttons) {
        QTest::newRow(name) << QString(state) << celsius << progress << firmware << int(expected)
                            << QString::fromUtf8(text) << buttons;
    };
    row("pre-init", "PRE_INIT", 24, 0, fw, RMDevice::PreInit,
        "Press the button to start calibration", 0);
    row("init", "INIT_MECH", 24, 0, fw, RMDevice::Initializing, "Calibrating", 0);
    row("idle", "IDLE", 24.4, 0, fw, RMDevice::Idle, "Idle",
        Print | Test | Load | Retract | Update);
    row("idle first firmware", "IDLE", 24, 0, "1.0.0", RMDevice::Idle, "Idle",
        Print | Test | Load | Retract);
    row("idle outdated firmware", "IDLE", 24, 0, "0.8.9", RMDevice::Idle, "Idle", Update);
    row("pausing", "EXEC_PAUSE_CMD", 200, 40, fw, RMDevice::Pausing, "Pausing", 0);
    row("paused", "PAUSED", 180, 40, fw, RMDevice::Paused, "Paused", Load | Retract);
    row("paused outdated firmware", "PAUSED", 180, 40, "0.8.9", RMDevice::Paused, "Paused", 0);
    row("unpaused", "UNPAUSED", 190, 40, fw, RMDevice::Unpaused, "Restarting", 0);
    row("file rx", "FILE_RX", 24, 0, fw, RMDevice::FileRx, "Sending print job", 0);
    row("job queued", "JOB_QUEUED", 24, 0, fw, RMDevice::JobQueued,
        "Press button to start printing", 0);
    row("job prep", "JOB_PREP", 150, 0, fw, RMDevice::PreparingBuild, "Calibrating", 0);
    row("building rounds up", "BUILDING", 214.5, 37, fw, RMDevice::Building,
        "Printing at 215°C (37%)", 0);
    row("building rounds down", "BUILDING", 209.4, 3, fw, RMDevice::Building,
        "Printing at 209°C (3%)", 0);
    row("load heating", "LOADFIL_HEATING", 180.2, 0, fw, RMDevice::LoadHeating,
        "Loading filament - 180°C", Load);
    row("load extruding", "LOADFIL_EXTRUDING", 209.6, 0, fw, RMDevice::LoadExtruding,
        "Loading filament - 210°C", Load);
    row("unload heating", "REMFIL_HEATING", 120, 0, fw, RMDevice::UnloadHeating,
        "Unloading filament - 120°C", Retract);
    row("unload retracting", "REMFIL_RETRACTING", 210, 0, fw, RMDevice::UnloadRetracting,
        "Unloading filament - 210°C", Retract);
    row("unload outdated firmware", "REMFIL_RETRACTING", 210, 0, "0.8.9",
        RMDevice::UnloadRetracting, "Unloading filament - 210°C", 0);
    row("homing init", "HOMING_INIT", 24, 0, fw, RMDevice::HomingInit, "Calibration started", 0);
    row("homing heating", "HOMING_HEATING", 149.6, 0, fw, RMDevice::HomingHeating,
        "Adjusting hot-end temperature - 150°C", 0);
    row("homing cooling", "HOMING_COOLING", 160.4, 0, fw, RMDevice::HomingCooling,
        "Adjusting hot-end temperature - 160°C", 0);
    row("homing xy", "HOMING_XY", 150, 0, fw, RMDevice::HomingXY, "Calibrating build plate", 0);
    row("homing z rough", "HOMING_Z_ROUGH", 150, 0, fw, RMDevice::HomingZRough,
        "Calibrating carriage - 150°C", 0);
    row("homing z fine", "HOMING_Z_FINE", 151, 0, fw, RMDevice::HomingZFine,
        "Calibrating carriage - 151°C", 0);
    row("homing complete", "HOMING_COMPLETE", 150, 0, fw, RMDevice::HomingComplete,
        "Calibration complete - 150°C", 0);
    row("filament out", "FILAMENT_OUT", 210, 55, fw, RMDevice::OutOfFilament,
        "Filament broken or run out", 0);
}

void MainWindowStatusTest::statusLineAndButtons()
{
    QFETCH(QString, state);
    QFETCH(double, celsius);
    QFETCH(int, progress);
    QFETCH(QString, firmware);
    QFETCH(int, expectedState);
    QFETCH(QString, text);
    QFETCH(int, buttons);

    show({state, celsius, progress, 0, firmware}, RMDevice::State(expectedState));
    QCOMPARE(statusText(), text);
    QCOMPARE(enabledButtons(), buttons);
}

void MainWindowStatusTest::buildingShowsMinutesOnceThereIsAnEstimate()
{
    auto* estimator = window->findChild<RMPrintTimeEstimator*>();
    QVERIFY(estimator);
    show({"BUILDING", 215, 10, 0, "1.2.0"}, RMDevice::Building);
    // A print that just began has gained nothing yet: no estimate.
    QCOMPARE(statusText(), QString("Printing at 215°C (10%)"));

    // Some wall-clock time has to pass for a rate to exist.
    QTest::qWait(30);
    QSignalSpy estimated(estimator, &RMPrintTimeEstimator::timeRemainingChanged);
    printer->report({"BUILDING", 215, 11, 0, "1.2.0"});
    QVERIFY(estimated.wait(5000));
    const qint64 remaining = estimator->timeRemaining();
    QVERIFY(remaining >= 1);
    const int minutes = int(remaining / 60000);
    QCOMPARE(statusText(), QString("Printing at 215°C (11% - %1 %2 left)")
                               .arg(minutes)
                               .arg(minutes == 1 ? "minute" : "minutes"));
}

void MainWindowStatusTest::minutesArePluralAware()
{
    const char* source = "Printing at %1°C (%2% - %n minutes left)";
    QCOMPARE(QCoreApplication::translate("MainWindow", source, nullptr, 1),
             QString("Printing at %1°C (%2% - 1 minute left)"));
    QCOMPARE(QCoreApplication::translate("MainWindow", source, nullptr, 0),
             QString("Printing at %1°C (%2% - 0 minutes left)"));
    QCOMPARE(QCoreApplication::translate("MainWindow", source, nullptr, 42),
             QString("Printing at %1°C (%2% - 42 minutes left)"));
}

void MainWindowStatusTest::unpluggedPrinterLeavesTheWindowDisconnected()
{
    show(CannedStatus(), RMDevice::Idle);
    auto* icon = window->findChild<QLabel*>("statusIcon");
    const QImage connected = icon->pixmap(Qt::ReturnByValue).toImage();
    printer->unplug();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Disconnected"), 5000);
    QCOMPARE(enabledButtons(), 0);
    QVERIFY(icon->pixmap(Qt::ReturnByValue).toImage() != connected);
    printer->plug();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 10000);
    QCOMPARE(icon->pixmap(Qt::ReturnByValue).toImage(), connected);
}

void MainWindowStatusTest::aPrinterNotOpenedIsSaidSo_data()
{
    QTest::addColumn<bool>("held");
    QTest::addColumn<bool>("followedActive"); // the window's own printer stays
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip"); // %1: the holder's PID
    const QString heldTip = "zelkd (PID %1) has the printer open (/dev/bus/usb/001/006). A "
                            "printer talks to one program at a time.";
    QTest::newRow("held by zelkd") << true << false << "Held by zelkd" << heldTip;
    QTest::newRow("no permission")
        << false << false << "No permission to use the printer"
        << "This user may not open the printer (/dev/bus/usb/001/006). Install the program's "
           ".deb package (its udev rule gives access) or join the group zelkd, then plug the "
           "printer in again.";
    // The status line keeps the printer it follows; the log tells of the other.
    QTest::newRow("held beside an active printer") << true << true << "Held by zelkd" << heldTip;
}

void MainWindowStatusTest::aPrinterNotOpenedIsSaidSo()
{
    QFETCH(bool, held);
    QFETCH(bool, followedActive);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    auto* label = window->findChild<QLabel*>("statusLabel");
    if (!followedActive) {
        printer->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Disconnected"), 5000);
        QCOMPARE(label->toolTip(), QString());
    }

    zelksim::VirtualPrinter::Options at;
    at.address = 6;
    zelksim::VirtualPrinter other(simBus(), at);
    std::unique_ptr<NodeHolderProcess> holder;
    if (held) {
        // zelkd's system service: a process of another user whose open
        // descriptors this one cannot see. Named before the printer appears,
        // so that the first look already finds it.
        other.failClaims(0, 1000000);
        holder = std::make_unique<NodeHolderProcess>(std::string(), "zelkd", 65534);
        QVERIFY(holder->waitUntilNamed("zelkd"));
        toolTip = toolTip.arg(holder->pid);
    } else {
        other.denyAccess(true);
    }
    g_registryWarnings.clear();
    g_previousHandler = qInstallMessageHandler(keepRegistryWarnings);
    other.plug();
    const QStringList logged(QStringLiteral("Printer 1:6 not opened: %1 - %2").arg(text, toolTip));
    QTRY_COMPARE_WITH_TIMEOUT(g_registryWarnings, logged, 10000);
    QCOMPARE(statusText(), followedActive ? QString("Idle") : text);
    QCOMPARE(label->toolTip(), followedActive ? QString() : toolTip);
    if (!followedActive)
        QCOMPARE(enabledButtons(), 0);
    // Logged once: redrawing the same state adds nothing.
    const RMDevice::State shown = followedActive ? RMDevice::Idle : RMDevice::Disconnected;
    window->deviceStatusChanged(shown, shown);
    QTest::qWait(2 * RMDeviceRegistry::UnopenedPollMs);
    qInstallMessageHandler(g_previousHandler);
    QCOMPARE(g_registryWarnings, logged);

    other.unplug();
    if (!followedActive) {
        QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Disconnected"), 5000);
        QCOMPARE(label->toolTip(), QString());
        printer->plug();
    }
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 10000);
}

ZELK_SIM_WIDGETS_TEST_MAIN(MainWindowStatusTest)
#include "MainWindowStatusTest.moc"
