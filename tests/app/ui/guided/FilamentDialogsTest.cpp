// The filament load and unload widgets and dialogs and the out-of-filament
// recovery: the pages and the temperature bar for exact states and
// temperatures (a printer whose status the test writes), and the procedures
// end to end on a simulated printer that heats, loads, unloads, prints and
// runs out of filament.
#include "CannedPrinter.h"
#include "MainWindowTestSupport.h"
#include "ModalScript.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <CircularGauge.h>
#include <FilamentDialogs.h>
#include <FilamentLoadWidget.h>
#include <FilamentUnloadWidget.h>
#include <OutOfFilamentDialog.h>
#include <RMDeviceRegistry.h>

#include <QPropertyAnimation>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

using namespace zelktest;
using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;

Q_DECLARE_METATYPE(RMDevice::State)

namespace {

const TrelDeviceAddress PORT(1, 5);

QSharedPointer<RMDevice> activeDevice()
{
    RMDeviceRegistry* registry = RMDeviceRegistry::instance();
    if (registry->activePorts().size() != 1)
        return {};
    return registry->getDevice(registry->activePorts().first());
}

QString page(const QWidget* widget, const char* stack)
{
    auto* pages = widget->findChild<QStackedWidget*>(QLatin1String(stack));
    return pages ? pages->currentWidget()->objectName() : QString();
}

bool entered(VirtualPrinter& printer, PrintJobModel::State state)
{
    const auto h = printer.printModel().history();
    return std::find(h.begin(), h.end(), state) != h.end();
}

bool requested(const VirtualPrinter& printer, const char* command)
{
    const std::vector<std::string> requests = printer.requests();
    return std::any_of(requests.begin(), requests.end(), [command](const std::string& r) {
        return r.find(command) != std::string::npos;
    });
}

// A print long enough to run out of filament in.
QByteArray squareGcode()
{
    return squareOutlineGcode(20);
}

} // namespace

class FilamentDialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    // Exact states and temperatures.
    void loadWidgetFollowsTheLoad_data();
    void loadWidgetFollowsTheLoad();
    void unloadWidgetFollowsTheUnload_data();
    void unloadWidgetFollowsTheUnload();
    void hiddenLoadWidgetIgnoresThePrinter();
    void barCreepsWhileColdAndFollowsReportsAbove106();
    void failedLoadIsReportedInsteadOfTheWipePage();

    // On the simulated printer.
    void loadWhilePrintingRejectsAtOnce();
    void loadEndingIdleShowsTheWipePageUntilClosed();
    void unloadEndingIdleClosesByItself();
    void everyRefusalIsExplainedAndRejected_data();
    void everyRefusalIsExplainedAndRejected();
    void outOfFilamentRecoveryRunsUnloadLoadAndResume();

private:
    QSharedPointer<RMDevice> plugCanned(const CannedStatus& first = CannedStatus());
    QSharedPointer<RMDevice> plugSimulated();
    void setFilament(bool loaded);
    void startPrint(const QSharedPointer<RMDevice>& device);

    std::unique_ptr<CannedPrinter> canned;
    std::unique_ptr<VirtualPrinter> printer;
    QTemporaryDir dir;
};

void FilamentDialogsTest::initTestCase()
{
    qRegisterMetaType<RMDevice::State>();
    QVERIFY(dir.isValid());
}

void FilamentDialogsTest::cleanup()
{
    while (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
    RMDeviceRegistry::shutdown();
    canned.reset();
    printer.reset();
}

QSharedPointer<RMDevice> FilamentDialogsTest::plugCanned(const CannedStatus& first)
{
    canned = std::make_unique<CannedPrinter>();
    canned->answerWith(first);
    RMDeviceRegistry::instance();
    canned->plug();
    QSharedPointer<RMDevice> device;
    if (!QTest::qWaitFor(
            [&] { return (device = activeDevice()) && device->fwVersion() == "1.2.0"; }, 10000))
        return {};
    return device;
}

QSharedPointer<RMDevice> FilamentDialogsTest::plugSimulated()
{
    printer = std::make_unique<VirtualPrinter>(simBus());
    printer->printModel().setAnnounceChanges(true);
    // Heating takes simulated minutes.
    printer->setTimeScale(100);
    RMDeviceRegistry::instance();
    printer->plug();
    QSharedPointer<RMDevice> device;
    if (!QTest::qWaitFor(
            [&] { return (device = activeDevice()) && device->state() == RMDevice::Idle; }, 10000))
        return {};
    return device;
}

// Brings the simulated printer's filament into the wanted state behind the
// program's back, and waits until the program has seen the printer back at
// rest, so that no status of the procedure is still on its way.
void FilamentDialogsTest::setFilament(bool loaded)
{
    PrintJobModel& model = printer->printModel();
    if ((model.filament() == "loaded") == loaded)
        return;
    const QSharedPointer<RMDevice> device = activeDevice();
    QVERIFY(device);
    bool back = false;
    const QMetaObject::Connection watch =
        connect(device.data(), &RMDevice::stateChanged, this,
                [&back](RMDevice::State state, RMDevice::State old) {
                    back = state == RMDevice::Idle &&
                           (old == RMDevice::LoadExtruding || old == RMDevice::UnloadRetracting);
                });
    if (loaded) {
        QCOMPARE(model.loadFilament(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(model.state(), PrintJobModel::State::LoadExtruding, 10000);
        printer->pressButton();
    } else {
        QCOMPARE(model.unloadFilament(), 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(back, 10000);
    disconnect(watch);
    QCOMPARE(model.filament() == "loaded", loaded);
}

void FilamentDialogsTest::startPrint(const QSharedPointer<RMDevice>& device)
{
    QFile file(dir.filePath("square.gcode"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(squareGcode());
    file.close();
    RMJobSend* job = device->sendJob(file.fileName());
    QVERIFY(job);
    QTRY_COMPARE_WITH_TIMEOUT(printer->printModel().state(), PrintJobModel::State::JobQueued,
                              10000);
    printer->pressButton();
}

// --- exact states ------------------------------------------------------------

void FilamentDialogsTest::loadWidgetFollowsTheLoad_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<RMDevice::State>("deviceState");
    QTest::addColumn<QString>("page"); // empty: the page does not matter
    QTest::addColumn<int>("completedSignals");
    QTest::addColumn<int>("interruptedSignals");

    QTest::newRow("extruding") << "LOADFIL_EXTRUDING" << RMDevice::LoadExtruding << "filamentLoad"
                               << 0 << 0;
    // Back at rest: the user cleans the nozzle and closes; nothing ends yet.
    QTest::newRow("idle") << "IDLE" << RMDevice::Idle << "filamentWipe" << 0 << 0;
    QTest::newRow("paused") << "PAUSED" << RMDevice::Paused << "filamentWipe" << 0 << 0;
    QTest::newRow("printing") << "BUILDING" << RMDevice::Building << "" << 0 << 1;
    QTest::newRow("unloading") << "REMFIL_HEATING" << RMDevice::UnloadHeating << "" << 0 << 1;
    QTest::newRow("out of filament") << "FILAMENT_OUT" << RMDevice::OutOfFilament << "" << 0 << 1;
    QTest::newRow("unplugged") << "" << RMDevice::Disconnected << "" << 0 << 1;
}

void FilamentDialogsTest::loadWidgetFollowsTheLoad()
{
    QFETCH(QString, state);
    QFETCH(RMDevice::State, deviceState);
    QFETCH(QString, page);
    QFETCH(int, completedSignals);
    QFETCH(int, interruptedSignals);

    CannedStatus s;
    s.state = "LOADFIL_HEATING";
    const QSharedPointer<RMDevice> device = plugCanned(s);
    QVERIFY(device);
    FilamentLoadWidget widget;
    widget.setDevice(device);
    widget.show();
    QCOMPARE(::page(&widget, "filamentStack"), QString("filamentTempWait"));
    QSignalSpy completed(&widget, &FilamentWidget::completed);
    QSignalSpy interrupted(&widget, &FilamentWidget::interrupted);

    s.state = state;
    if (state.isEmpty())
        canned->unplug();
    else
        canned->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(device->state(), deviceState, 5000);
    if (!page.isEmpty())
        QCOMPARE(::page(&widget, "filamentStack"), page);
    QCOMPARE(completed.count(), completedSignals);
    QCOMPARE(interrupted.count(), interruptedSignals);

    // Close on the wipe page is what completes a load.
    if (page == "filamentWipe") {
        widget.findChild<QPushButton*>("closeButton")->click();
        QCOMPARE(completed.count(), 1);
    }
}

void FilamentDialogsTest::unloadWidgetFollowsTheUnload_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<RMDevice::State>("deviceState");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("completedSignals");
    QTest::addColumn<int>("interruptedSignals");

    QTest::newRow("retracting") << "REMFIL_RETRACTING" << RMDevice::UnloadRetracting << 0
                                << "unfilamentRetracting" << 0 << 0;
    // Back at rest: done, without a click.
    QTest::newRow("idle") << "IDLE" << RMDevice::Idle << 0 << "" << 1 << 0;
    QTest::newRow("paused") << "PAUSED" << RMDevice::Paused << 0 << "" << 1 << 0;
    // Back at rest because the hot end never got warm: not done. (Shown, the
    // widget would also tell the user; hidden, it only does not complete.)
    QTest::newRow("idle after a timeout") << "IDLE" << RMDevice::Idle << 13 << "" << 0 << 0;
    QTest::newRow("printing") << "BUILDING" << RMDevice::Building << 0 << "" << 0 << 1;
    QTest::newRow("loading") << "LOADFIL_HEATING" << RMDevice::LoadHeating << 0 << "" << 0 << 1;
}

void FilamentDialogsTest::unloadWidgetFollowsTheUnload()
{
    QFETCH(QString, state);
    QFETCH(RMDevice::State, deviceState);
    QFETCH(int, error);
    QFETCH(QString, page);
    QFETCH(int, completedSignals);
    QFETCH(int, interruptedSignals);

    CannedStatus s;
    s.state = "REMFIL_HEATING";
    const QSharedPointer<RMDevice> device = plugCanned(s);
    QVERIFY(device);
    FilamentUnloadWidget widget;
    widget.setDevice(device);
    // The unload follows the printer whether shown or not.
    QSignalSpy completed(&widget, &FilamentWidget::completed);
    QSignalSpy interrupted(&widget, &FilamentWidget::interrupted);

    s.state = state;
    s.error = error;
    canned->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(device->state(), deviceState, 5000);
    if (!page.isEmpty())
        QCOMPARE(::page(&widget, "unfilamentStack"), page);
    QCOMPARE(completed.count(), completedSignals);
    QCOMPARE(interrupted.count(), interruptedSignals);
}

void FilamentDialogsTest::hiddenLoadWidgetIgnoresThePrinter()
{
    CannedStatus s;
    const QSharedPointer<RMDevice> device = plugCanned(s);
    QVERIFY(device);
    // As on the out-of-filament dialog's hidden page while the unload runs.
    FilamentLoadWidget widget;
    widget.setDevice(device);
    QSignalSpy interrupted(&widget, &FilamentWidget::interrupted);
    const std::pair<const char*, RMDevice::State> unload[] = {
        {"REMFIL_HEATING", RMDevice::UnloadHeating},
        {"REMFIL_RETRACTING", RMDevice::UnloadRetracting},
        {"PAUSED", RMDevice::Paused}};
    for (const auto& [state, deviceState] : unload) {
        s.state = state;
        canned->report(s);
        QTRY_COMPARE_WITH_TIMEOUT(device->state(), deviceState, 5000);
    }
    QCOMPARE(interrupted.count(), 0);
    QCOMPARE(page(&widget, "filamentStack"), QString("filamentTempWait"));
}

void FilamentDialogsTest::barCreepsWhileColdAndFollowsReportsAbove106()
{
    CannedStatus s;
    const QSharedPointer<RMDevice> device = plugCanned(s);
    QVERIFY(device);
    FilamentLoadWidget widget;
    widget.setDevice(device);
    widget.show();
    auto* bar = widget.findChild<CircularGauge*>("filamentTempBar");
    auto* animation = widget.findChild<QPropertyAnimation*>();
    QVERIFY(bar && animation);
    QCOMPARE(bar->maximum(), 21000);

    auto reportAndWait = [&](const char* state, double celsius) {
        s.state = state;
        s.celsius = celsius;
        canned->report(s);
        return QTest::qWaitFor([&] { return qFuzzyCompare(device->temperature(), celsius); }, 5000);
    };

    // Entering the heating cold: from 0 to 106 °C in 106 s.
    bar->setValue(5000);
    QVERIFY(reportAndWait("LOADFIL_HEATING", 30.0));
    QCOMPARE(animation->endValue().toInt(), 10600);
    QCOMPARE(animation->duration(), 106000);
    QVERIFY(bar->value() < 5000); // started over from 0
    QCOMPARE(bar->format(), QString("30°C"));

    // Exactly 106.0 °C is not above the creep's goal: the creep goes on.
    QVERIFY(reportAndWait("LOADFIL_HEATING", 106.0));
    QCOMPARE(animation->endValue().toInt(), 10600);
    QCOMPARE(animation->duration(), 106000);

    // Above it the bar glides to each report just before the next poll.
    QVERIFY(reportAndWait("LOADFIL_HEATING", 106.5));
    QCOMPARE(animation->endValue().toInt(), 10650);
    QCOMPARE(animation->duration(), 5500);
    QCOMPARE(bar->format(), QString("107°C"));

    // Off the scale: the bar ends at its maximum.
    QVERIFY(reportAndWait("LOADFIL_EXTRUDING", 260.0));
    QCOMPARE(animation->endValue().toInt(), 21000);

    // A new heating that starts hot does not restart the creep: the bar
    // follows the report.
    QVERIFY(reportAndWait("PAUSED", 200.0));
    QVERIFY(reportAndWait("LOADFIL_HEATING", 201.0));
    QCOMPARE(animation->endValue().toInt(), 20100);
    QCOMPARE(animation->duration(), 5500);
}

void FilamentDialogsTest::failedLoadIsReportedInsteadOfTheWipePage()
{
    CannedStatus s;
    s.state = "LOADFIL_EXTRUDING";
    s.celsius = 210;
    const QSharedPointer<RMDevice> device = plugCanned(s);
    QVERIFY(device);
    FilamentLoadWidget widget;
    widget.setDevice(device);
    widget.show();
    QSignalSpy interrupted(&widget, &FilamentWidget::interrupted);

    // The button was never pressed: the printer gives up and says why.
    ModalScript script(10000);
    QString told;
    script.whenWarning(told);
    script.start();
    s.state = "IDLE";
    s.error = 9;
    canned->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(interrupted.count(), 1, 10000);
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QVERIFY2(told.startsWith("The filament was not loaded"), qPrintable(told));
    QVERIFY(page(&widget, "filamentStack") != "filamentWipe");
}

// --- the simulated printer ---------------------------------------------------

void FilamentDialogsTest::loadWhilePrintingRejectsAtOnce()
{
    const QSharedPointer<RMDevice> device = plugSimulated();
    QVERIFY(device);
    printer->printModel().holdAt(PrintJobModel::State::Building, 1);
    startPrint(device);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(device->state(), RMDevice::Building, 20000);

    FilamentLoadDialog dialog(device);
    // Should it appear, it is closed, so that the test ends either way.
    ModalScript shown(5000);
    shown.when(
        "the dialog shown", [&] { return dialog.isVisible(); }, [&] { dialog.reject(); });
    shown.start();
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(!shown.finished());
    QTest::qWait(200); // a command would have reached the printer by now
    QVERIFY(!requested(*printer, "load_initiate"));
    printer->printModel().release();
    printer->printModel().abort();
}

void FilamentDialogsTest::loadEndingIdleShowsTheWipePageUntilClosed()
{
    const QSharedPointer<RMDevice> device = plugSimulated();
    QVERIFY(device);
    setFilament(false);
    if (QTest::currentTestFailed())
        return;

    FilamentLoadDialog dialog(device);
    QCOMPARE(dialog.windowTitle(), QString("Load filament"));
    FilamentLoadWidget* widget = dialog.widget();
    ModalScript script;
    script
        .when("the heating page",
              [&] { return page(widget, "filamentStack") == "filamentTempWait"; })
        .when(
            "the load page", [&] { return page(widget, "filamentStack") == "filamentLoad"; },
            [&] { printer->pressButton(); })
        .when("the wipe page, the printer idle",
              [&] {
                  return page(widget, "filamentStack") == "filamentWipe" &&
                         device->state() == RMDevice::Idle;
              })
        // The dialog waits for the user, however long the printer rests.
        .when(
            "a poll later", [&] { return device->state() == RMDevice::Idle; },
            [&] { QTest::qWait(300); })
        .when(
            "still shown", [&] { return dialog.isVisible(); },
            [&] { widget->findChild<QPushButton*>("closeButton")->click(); });
    script.start();
    const int result = dialog.exec();
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(printer->printModel().filament(), std::string("loaded"));
    QVERIFY(entered(*printer, PrintJobModel::State::LoadHeating));
}

void FilamentDialogsTest::unloadEndingIdleClosesByItself()
{
    const QSharedPointer<RMDevice> device = plugSimulated();
    QVERIFY(device);
    setFilament(true);
    if (QTest::currentTestFailed())
        return;

    FilamentUnloadDialog dialog(device);
    QCOMPARE(dialog.windowTitle(), QString("Unload Filament"));
    FilamentUnloadWidget* widget = dialog.widget();
    ModalScript script;
    script.when("the retracting page",
                [&] { return page(widget, "unfilamentStack") == "unfilamentRetracting"; });
    script.start();
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QCOMPARE(device->state(), RMDevice::Idle);
    QCOMPARE(printer->printModel().filament(), std::string("unloaded"));
}

void FilamentDialogsTest::everyRefusalIsExplainedAndRejected_data()
{
    QTest::addColumn<bool>("load");
    QTest::addColumn<QString>("explanation");
    QTest::addColumn<RMDevice::Error>("error");
    QTest::newRow("load, filament loaded")
        << true << "The printer reports that filament is already loaded"
        << RMDevice::FilamentAlreadyLoaded;
    QTest::newRow("unload, none loaded")
        << false << "The printer reports that no filament is loaded"
        << RMDevice::FilamentAlreadyUnloaded;
}

void FilamentDialogsTest::everyRefusalIsExplainedAndRejected()
{
    QFETCH(bool, load);
    QFETCH(QString, explanation);
    QFETCH(RMDevice::Error, error);
    const QSharedPointer<RMDevice> device = plugSimulated();
    QVERIFY(device);
    setFilament(load);
    if (QTest::currentTestFailed())
        return;

    // A printer that refuses stays idle: no state change would ever end the
    // dialog, the error does. The printer keeps showing that error until its
    // button is pressed, so the second refusal's code is the first one's:
    // it used to change nothing and leave the dialog heating for ever.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        QString told;
        ModalScript script(10000);
        script.whenWarning(told);
        script.start();
        int result;
        if (load) {
            FilamentLoadDialog dialog(device);
            result = dialog.exec();
        } else {
            FilamentUnloadDialog dialog(device);
            result = dialog.exec();
        }
        QCOMPARE(result, int(QDialog::Rejected));
        QVERIFY2(script.finished(),
                 qPrintable(QStringLiteral("attempt %1, %2").arg(attempt).arg(script.stuckAt())));
        QVERIFY2(told.startsWith(explanation), qPrintable(told));
        QCOMPARE(device->lastError(), error);
    }
}

void FilamentDialogsTest::outOfFilamentRecoveryRunsUnloadLoadAndResume()
{
    const QSharedPointer<RMDevice> device = plugSimulated();
    QVERIFY(device);
    printer->runOutOfFilament(1);
    startPrint(device);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(device->state(), RMDevice::OutOfFilament, 30000);

    OutOfFilamentDialog dialog(device);
    auto current = [&] { return page(&dialog, "stack"); };
    auto* unload = dialog.findChild<FilamentUnloadWidget*>();
    auto* load = dialog.findChild<FilamentLoadWidget*>();
    QVERIFY(unload && load);
    ModalScript script(60000);
    script
        .when(
            "the unload prompt", [&] { return current() == "unloadPromptPage"; },
            [&] { dialog.findChild<QPushButton*>("unloadButton")->click(); })
        .when("the unload page", [&] { return current() == "unloadPage"; })
        .when(
            "the load prompt", [&] { return current() == "loadPromptPage"; },
            [&] { dialog.findChild<QPushButton*>("loadButton")->click(); })
        .when("the load page", [&] { return current() == "loadPage"; })
        .when(
            "the filament wanted", [&] { return page(load, "filamentStack") == "filamentLoad"; },
            [&] { printer->pressButton(); })
        .when(
            "the wipe page", [&] { return page(load, "filamentStack") == "filamentWipe"; },
            [&] { load->findChild<QPushButton*>("closeButton")->click(); })
        .when(
            "the resume page", [&] { return current() == "resumePage"; },
            [&] { printer->pressButton(); });
    script.start();
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QVERIFY(device->state() == RMDevice::Unpaused || device->state() == RMDevice::Building);
    QVERIFY(entered(*printer, PrintJobModel::State::UnloadRetracting));
    QVERIFY(entered(*printer, PrintJobModel::State::LoadExtruding));
    QCOMPARE(printer->printModel().filament(), std::string("loaded"));
    printer->printModel().abort();
}

ZELK_SIM_WIDGETS_TEST_MAIN(FilamentDialogsTest)
#include "FilamentDialogsTest.moc"
