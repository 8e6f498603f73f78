// The test print dialog: its labels and pages for exact states and
// temperatures, the test print file the program delivers, and the whole test
// print on a simulated printer with the failures the user has to hear of.
#include "CannedPrinter.h"
#include "MainWindowTestSupport.h"
#include "ModalScript.h"

#include <GcodeRunner.h>
#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>
#include <TestPrintDialog.h>

#include <trel/TrelUsb.h>

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTranslator>

#include <memory>

using namespace zelktest;
using zelksim::GcodeRunner;
using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;

namespace {

QSharedPointer<RMDevice> activeDevice()
{
    RMDeviceRegistry* registry = RMDeviceRegistry::instance();
    if (registry->activePorts().size() != 1)
        return {};
    return registry->getDevice(registry->activePorts().first());
}

QString page(const TestPrintDialog& dialog)
{
    return dialog.findChild<QStackedWidget*>("mainStack")->currentWidget()->objectName();
}

QString text(const TestPrintDialog& dialog, const char* label)
{
    return dialog.findChild<QLabel*>(QLatin1String(label))->text();
}

QPushButton* nextButton(const TestPrintDialog& dialog)
{
    return dialog.findChild<QPushButton*>("nextButton");
}

} // namespace

class TestPrintDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void testPrintIsAShortValidPrint();
    void calibrationLabels_data();
    void calibrationLabels();
    void idleEndsTheDialogOnlyAfterPrinting();

    void printsTheTestObject();
    void printerErrorIsReportedAndEndsTheDialog();
    void printerThatTakesNoJobKeepsTheIntroduction();
    void failedUploadIsReportedAndKeepsTheIntroduction();
    void unplugWhileTheObjectPrintsIsReported_data();
    void unplugWhileTheObjectPrintsIsReported();

private:
    QSharedPointer<RMDevice> plugCanned(const CannedStatus& first);
    QSharedPointer<RMDevice> plugSimulated(double timeScale);
    void report(const char* state, double celsius, RMDevice::State expected);

    std::unique_ptr<CannedPrinter> canned;
    std::unique_ptr<VirtualPrinter> printer;
    QSharedPointer<RMDevice> device;
    QTranslator translator;
};

void TestPrintDialogTest::initTestCase()
{
    QVERIFY(translator.load(QLocale(QLocale::English), "rmapp", ".", ":/translations", ".qm"));
    QCoreApplication::installTranslator(&translator);
}

void TestPrintDialogTest::cleanup()
{
    while (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
    device.reset();
    RMDeviceRegistry::shutdown();
    canned.reset();
    printer.reset();
    TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
}

QSharedPointer<RMDevice> TestPrintDialogTest::plugCanned(const CannedStatus& first)
{
    canned = std::make_unique<CannedPrinter>();
    canned->answerWith(first);
    RMDeviceRegistry::instance();
    canned->plug();
    if (!QTest::qWaitFor(
            [&] { return (device = activeDevice()) && device->fwVersion() == "1.2.0"; }, 10000))
        device.reset();
    return device;
}

QSharedPointer<RMDevice> TestPrintDialogTest::plugSimulated(double timeScale)
{
    printer = std::make_unique<VirtualPrinter>(simBus());
    printer->printModel().setAnnounceChanges(true);
    printer->setTimeScale(timeScale);
    RMDeviceRegistry::instance();
    printer->plug();
    if (!QTest::qWaitFor(
            [&] { return (device = activeDevice()) && device->state() == RMDevice::Idle; }, 10000))
        device.reset();
    return device;
}

void TestPrintDialogTest::report(const char* state, double celsius, RMDevice::State expected)
{
    CannedStatus s;
    s.state = state;
    s.celsius = celsius;
    canned->report(s);
    QTRY_VERIFY_WITH_TIMEOUT(device->state() == expected && device->temperature() == celsius, 5000);
}

void TestPrintDialogTest::testPrintIsAShortValidPrint()
{
    QFile file(TestPrintDialog::testPrintPath());
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    QVERIFY(file.fileName().endsWith("/Resources/testPrint.gcode"));
    const std::string program = file.readAll().toStdString();
    // A minute or two of printing, hot enough for PLA, and every line one the
    // printer reads.
    const double seconds = GcodeRunner::duration(program);
    QVERIFY2(seconds >= 45 && seconds <= 180, qPrintable(QString::number(seconds)));
    QCOMPARE(GcodeRunner::firstTemperature(program).value_or(0), 210.0);
    QVERIFY(program.find("M109 S210") < program.find(";LAYER"));
    QVERIFY(program.size() < 64 * 1024);
}

void TestPrintDialogTest::calibrationLabels_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("expectedState");
    QTest::addColumn<double>("celsius");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("label");

    auto row = [](const char* name, const char* state, RMDevice::State expected, double celsius,
                  const char* page, const char* label) {
        QTest::newRow(name) << state << int(expected) << celsius << page
                            << QString::fromUtf8(label);
    };
    row("homing init", "HOMING_INIT", RMDevice::HomingInit, 30, "homingPage",
        "Calibration started");
    row("heating cold", "HOMING_HEATING", RMDevice::HomingHeating, 80, "homingPage",
        "Adjusting hot-end temperature");
    row("heating at 106", "HOMING_HEATING", RMDevice::HomingHeating, 106.0, "homingPage",
        "Adjusting hot-end temperature");
    row("heating hot", "HOMING_HEATING", RMDevice::HomingHeating, 120.6, "homingPage",
        "Adjusting hot-end temperature: 121°C");
    row("cooling hot", "HOMING_COOLING", RMDevice::HomingCooling, 160.2, "homingPage",
        "Adjusting hot-end temperature: 160°C");
    row("xy", "HOMING_XY", RMDevice::HomingXY, 150, "homingPage", "Calibrating build plate");
    row("z rough", "HOMING_Z_ROUGH", RMDevice::HomingZRough, 150, "homingPage",
        "Calibrating carriage");
    row("z fine", "HOMING_Z_FINE", RMDevice::HomingZFine, 150, "homingPage",
        "Calibrating carriage");
    row("complete", "HOMING_COMPLETE", RMDevice::HomingComplete, 150, "homingPage",
        "Calibration complete");
    row("preparing at 106", "JOB_PREP", RMDevice::PreparingBuild, 106.0, "homingPage",
        "Calibrating - Temperature: ---");
    row("preparing hot", "JOB_PREP", RMDevice::PreparingBuild, 180.4, "homingPage",
        "Calibrating - Temperature: 180°C");
    row("building", "BUILDING", RMDevice::Building, 210, "printingPage", "Printing");
    // Outside the test print's states nothing moves.
    row("out of filament", "FILAMENT_OUT", RMDevice::OutOfFilament, 210, "readyPage", "");
}

void TestPrintDialogTest::calibrationLabels()
{
    QFETCH(QString, state);
    QFETCH(int, expectedState);
    QFETCH(double, celsius);
    QFETCH(QString, page);
    QFETCH(QString, label);

    CannedStatus s;
    s.state = "JOB_QUEUED";
    QVERIFY(plugCanned(s));
    TestPrintDialog dialog(device);
    dialog.show();
    QCOMPARE(dialog.windowTitle(), QString("Zelk Test Print"));
    QCOMPARE(::page(dialog), QString("introPage"));
    // Past the upload.
    dialog.findChild<QStackedWidget*>("mainStack")->setCurrentIndex(1);

    report(qPrintable(state), celsius, RMDevice::State(expectedState));
    QCOMPARE(::page(dialog), page);
    if (page == "homingPage")
        QCOMPARE(text(dialog, "homingLabel"), label);
    if (page == "printingPage")
        QCOMPARE(text(dialog, "printingLabel"), label);
    QVERIFY(!nextButton(dialog)->isEnabled());
}

void TestPrintDialogTest::idleEndsTheDialogOnlyAfterPrinting()
{
    CannedStatus s;
    s.state = "JOB_QUEUED";
    QVERIFY(plugCanned(s));
    TestPrintDialog dialog(device);
    dialog.show();
    dialog.findChild<QStackedWidget*>("mainStack")->setCurrentIndex(1);

    // Aborted during calibration: not a finished test print.
    report("HOMING_XY", 150, RMDevice::HomingXY);
    report("IDLE", 150, RMDevice::Idle);
    QCOMPARE(page(dialog), QString("homingPage"));
    QVERIFY(!nextButton(dialog)->isEnabled());

    // A temperature change while preparing updates the label.
    report("JOB_PREP", 100, RMDevice::PreparingBuild);
    QCOMPARE(text(dialog, "homingLabel"), QString("Calibrating - Temperature: ---"));
    report("JOB_PREP", 190.2, RMDevice::PreparingBuild);
    QCOMPARE(text(dialog, "homingLabel"), QString::fromUtf8("Calibrating - Temperature: 190°C"));

    report("BUILDING", 210, RMDevice::Building);
    report("IDLE", 200, RMDevice::Idle);
    QCOMPARE(page(dialog), QString("endPage"));
    QVERIFY(nextButton(dialog)->isEnabled());
    QCOMPARE(nextButton(dialog)->text(), QString("Close"));
    nextButton(dialog)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
}

void TestPrintDialogTest::printsTheTestObject()
{
    QVERIFY(plugSimulated(25));
    TestPrintDialog dialog(device);
    auto* estimator = dialog.findChild<RMPrintTimeEstimator*>();
    QVERIFY(estimator);
    QString minutesText;
    const QRegularExpression minutes("^The print will complete in about (\\d+) minutes?\\.$");
    ModalScript script(90000);
    script
        .when(
            "the introduction",
            [&] { return page(dialog) == "introPage" && nextButton(dialog)->isEnabled(); },
            [&] { nextButton(dialog)->click(); })
        .when(
            "the printer waiting for its button",
            [&] {
                return page(dialog) == "readyPage" &&
                       printer->printModel().state() == PrintJobModel::State::JobQueued;
            },
            [&] { printer->pressButton(); })
        .when("calibration", [&] { return page(dialog) == "homingPage"; })
        .when("printing", [&] { return page(dialog) == "printingPage"; })
        .when("the time left",
              [&] {
                  minutesText = text(dialog, "printingLabel");
                  return minutes.match(minutesText).hasMatch();
              })
        .when(
            "the end page", [&] { return page(dialog) == "endPage"; },
            [&] { nextButton(dialog)->click(); });
    script.start();
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    qInfo().noquote() << "shown while printing:" << minutesText;

    // What the printer printed is the file the program delivers.
    QFile file(TestPrintDialog::testPrintPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const std::vector<uint8_t> bytes = printer->jobBytes();
    const QByteArray received(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    QVERIFY(received.contains(file.readAll()));
    QCOMPARE(printer->printModel().error(), 0);
    QCOMPARE(dialog.findChild<QProgressBar*>("printingProgress")->value(), 100);
}

void TestPrintDialogTest::printerErrorIsReportedAndEndsTheDialog()
{
    // A hot end that never warms: calibration times out on the printer.
    QVERIFY(plugSimulated(300));
    printer->printModel().setHeaterFault(true);
    TestPrintDialog dialog(device);
    QString told;
    ModalScript script(60000);
    script
        .when(
            "the introduction", [&] { return dialog.isVisible(); },
            [&] { nextButton(dialog)->click(); })
        .when(
            "the printer waiting for its button",
            [&] { return printer->printModel().state() == PrintJobModel::State::JobQueued; },
            [&] { printer->pressButton(); })
        .when(
            "the warning", [&] { return activeModal<QMessageBox>() != nullptr; },
            [&] {
                told = activeModal<QMessageBox>()->text();
                QCOMPARE(activeModal<QMessageBox>()->windowTitle(), QString("Zelk Test Print"));
                answerMessageBox(QMessageBox::Ok);
            });
    script.start();
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QCOMPARE(told, QString("There was an error during the test print."));
}

void TestPrintDialogTest::printerThatTakesNoJobKeepsTheIntroduction()
{
    // No printer: the window's placeholder, never open.
    TestPrintDialog dialog(RMDeviceRegistry::instance()->getDevice(NO_PRINTER));
    dialog.show();
    QString told;
    ModalScript script(10000);
    script.whenWarning(told);
    script.start();
    nextButton(dialog)->click();
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QVERIFY2(told.startsWith("The test print could not be sent to the printer."), qPrintable(told));
    QCOMPARE(page(dialog), QString("introPage"));
    QVERIFY(nextButton(dialog)->isEnabled());
    QVERIFY(dialog.isVisible());
}

void TestPrintDialogTest::failedUploadIsReportedAndKeepsTheIntroduction()
{
    QVERIFY(plugSimulated(1));
    // The printer stops taking data on the job channel.
    TrelUsb::set_write_timeout(100);
    printer->timeoutWrites(VirtualPrinter::Job, 1000);
    TestPrintDialog dialog(device);
    QString told;
    ModalScript script(30000);
    script
        .when(
            "the introduction", [&] { return dialog.isVisible(); },
            [&] { nextButton(dialog)->click(); })
        .whenWarning(told)
        .when(
            "the introduction again",
            [&] { return page(dialog) == "introPage" && nextButton(dialog)->isEnabled(); },
            [&] { dialog.reject(); });
    script.start();
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QVERIFY2(told.startsWith("The test print could not be sent to the printer.\n\n"),
             qPrintable(told));
    QVERIFY(!told.endsWith("\n\n")); // the reason follows
    printer->timeoutWrites(VirtualPrinter::Job, 0);
}

void TestPrintDialogTest::unplugWhileTheObjectPrintsIsReported_data()
{
    QTest::addColumn<QString>("state"); // the printer's, when it is unplugged
    QTest::addColumn<QString>("shown");
    QTest::newRow("waiting for the button") << "JOB_QUEUED"
                                            << "readyPage";
    QTest::newRow("calibrating") << "HOMING_XY"
                                 << "homingPage";
    QTest::newRow("printing") << "BUILDING"
                              << "printingPage";
}

// The dialog used to go on showing the page of a printer that was gone, with
// Next disabled.
void TestPrintDialogTest::unplugWhileTheObjectPrintsIsReported()
{
    QFETCH(QString, state);
    QFETCH(QString, shown);
    CannedStatus queued;
    queued.state = "JOB_QUEUED";
    QVERIFY(plugCanned(queued));
    TestPrintDialog dialog(device);
    QString told;
    ModalScript script(10000);
    script
        .when(
            "the dialog", [&] { return dialog.isVisible(); },
            [&] {
                // As after the upload; the printer's state moves it on from there.
                dialog.findChild<QStackedWidget*>("mainStack")->setCurrentIndex(1);
                CannedStatus s;
                s.state = state;
                canned->report(s);
            })
        .when(
            "the printer's page", [&] { return page(dialog) == shown; }, [&] { canned->unplug(); })
        .whenWarning(told);
    script.start();
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QVERIFY2(told.startsWith("The printer was disconnected during the test print."),
             qPrintable(told));
}

ZELK_SIM_WIDGETS_TEST_MAIN(TestPrintDialogTest)
#include "TestPrintDialogTest.moc"
