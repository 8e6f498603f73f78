// The firmware update dialog against printers on the virtual bus, with the
// registry, the device layer and Debian's dfu-util (next to this binary, as
// next to the program) all real: the pages it walks through, what it lets the
// user do on each, and what ends up on the printer.
#include "DfuTestDevice.h"
#include "ModalScript.h"
#include "SimBus.h"

#include <DfuFunction.h>
#include <FirmwareModel.h>
#include <FirmwareUpdateDialog.h>
#include <RMDeviceRegistry.h>
#include <RMFirmwareFile.h>
#include <VirtualBus.h>
#include <VirtualPrinter.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <mutex>

#include <sys/stat.h>

using namespace zelktest;
using zelksim::DfuFunction;
using zelksim::FirmwareImage;
using zelksim::VirtualPrinter;

namespace {

// The dialog's DFU messages, to tell when it listed the devices.
std::mutex logMutex; // guards dfuLog
QStringList dfuLog;
QtMessageHandler previousHandler = nullptr;

void recordDfu(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (context.category && QLatin1String(context.category) == QLatin1String("DFUUpdate")) {
        std::lock_guard<std::mutex> lock(logMutex);
        dfuLog << text;
    }
    previousHandler(type, context, text);
}

int logged(const QString& prefix)
{
    std::lock_guard<std::mutex> lock(logMutex);
    int n = 0;
    for (const QString& line : dfuLog)
        n += line.startsWith(prefix);
    return n;
}

QString page(const FirmwareUpdateDialog& dialog)
{
    return dialog.findChild<QStackedWidget*>(QStringLiteral("deviceStack"))
        ->currentWidget()
        ->objectName();
}

QPushButton* button(const FirmwareUpdateDialog& dialog, const char* name)
{
    return dialog.findChild<QPushButton*>(QLatin1String(name));
}

QString progressText(const FirmwareUpdateDialog& dialog)
{
    return dialog.findChild<QLabel*>(QStringLiteral("firmwareProgressLabel"))->text();
}

// Every text the percentage label shows while the test waits.
class ProgressRecorder : public QObject
{
public:
    explicit ProgressRecorder(const FirmwareUpdateDialog& watched) : dialog(watched)
    {
        timer.callOnTimeout([this] {
            const QString text = progressText(dialog);
            if (texts.isEmpty() || texts.last() != text)
                texts << text;
        });
        timer.start(5);
    }
    QStringList texts;

private:
    const FirmwareUpdateDialog& dialog;
    QTimer timer;
};

QString bundledFirmware()
{
    return RMFirmwareFile::bundledPath(QCoreApplication::applicationDirPath());
}

QSharedPointer<RMDevice> activeDevice(RMDeviceRegistry* registry)
{
    if (registry->activePorts().size() != 1)
        return {};
    return registry->getDevice(registry->activePorts().first());
}

} // namespace

class FirmwareUpdateDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        previousHandler = qInstallMessageHandler(recordDfu);
        FirmwareUpdateDialog::setListingDelays(300, 300);
        const QString dfuUtil = QDir(QCoreApplication::applicationDirPath()).filePath("dfu-util");
        QVERIFY2(QFileInfo(dfuUtil).isExecutable(), qPrintable(dfuUtil));
        QVERIFY2(QFileInfo::exists(bundledFirmware()), qPrintable(bundledFirmware()));
    }
    void init()
    {
        std::lock_guard<std::mutex> lock(logMutex);
        dfuLog.clear();
    }
    void cleanup()
    {
        FirmwareUpdateDialog::setOverridePath(RMFirmwareFile::defaultOverridePath());
        FirmwareUpdateDialog::setTimeLimits(FirmwareUpdateDialog::FLASH_LIMIT_MS,
                                            FirmwareUpdateDialog::RETURN_LIMIT_MS);
        RMDeviceRegistry::shutdown();
    }

    void installsTheFirmwareOnTheAttachedPrinter()
    {
        VirtualPrinter::Options options;
        options.firmwareVersion = "1.2.0";
        VirtualPrinter printer(simBus(), options);
        // The registry first: a printer already on the bus is announced to
        // the library client while its constructors still run, which calls a
        // pure virtual function (a fault of the link library's start-up).
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        printer.plug();
        QTRY_VERIFY_WITH_TIMEOUT(activeDevice(registry), 10000);
        const QSharedPointer<RMDevice> device = activeDevice(registry);

        FirmwareUpdateDialog dialog(device);
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Firmware Update"));
        QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
        QCOMPARE(page(dialog), QStringLiteral("connectedPage"));
        QVERIFY(!button(dialog, "nextButton")->isEnabled());

        // Once the Wi-Fi settings are answered the printer is sent into
        // firmware-update mode, and the dialog asks once it is listed there.
        QTRY_VERIFY_WITH_TIMEOUT(printer.inFirmwareUpdateMode(), 10000);
        const std::vector<std::string> requests = printer.requests();
        auto position = [&](const char* name) {
            for (size_t i = 0; i < requests.size(); ++i)
                if (requests[i].find(name) != std::string::npos)
                    return static_cast<int>(i);
            return -1;
        };
        QVERIFY(position("wifi_client_get_configuration") >= 0);
        QVERIFY(position("wifi_client_get_configuration") < position("Enter_dfu_mode"));
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);
        QVERIFY(button(dialog, "nextButton")->isEnabled());
        QVERIFY(button(dialog, "closeButton")->isEnabled());

        ProgressRecorder progress(dialog);
        QTest::mouseClick(button(dialog, "nextButton"), Qt::LeftButton);
        QCOMPARE(page(dialog), QStringLiteral("firmwareUploadingPage"));
        QVERIFY(!button(dialog, "closeButton")->isEnabled());
        QVERIFY(!button(dialog, "nextButton")->isVisible());

        // Installed, the printer comes back in normal mode and only then
        // does the dialog say so.
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwareUploadedPage"), 30000);
        QCOMPARE(dialog.findChild<QLabel*>("firmwareSuccessLabel")->text(),
                 QStringLiteral("The firmware has been installed"));
        QVERIFY(!printer.inFirmwareUpdateMode());
        QCOMPARE(printer.firmware().firmwareVersion(), std::string("1.3.0"));
        QCOMPARE(activeDevice(registry)->fwVersion(), QStringLiteral("1.3.0"));
        QVERIFY(button(dialog, "closeButton")->isEnabled());
        QVERIFY(!button(dialog, "nextButton")->isVisible());

        qInfo().noquote() << "progress shown:" << progress.texts.join(QLatin1Char(' '));
        QCOMPARE(progress.texts.first(), QStringLiteral("0%"));
        QCOMPARE(progress.texts.last(), QStringLiteral("100%"));
        QVERIFY(progress.texts.size() > 5);

        // Closing is allowed again.
        QTest::mouseClick(button(dialog, "closeButton"), Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
    }

    void printerBackBeforeDfuUtilEndsIsReportedToo()
    {
        // A bootloader with a long manifestation time: dfu-util waits it out
        // while the printer already runs the new firmware and is back.
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        VirtualPrinter::Options options;
        options.address = 6;
        VirtualPrinter normal(simBus(), options);
        DfuTestDevice printer(9, "ZK1000009", "1.2.0");
        zelksim::DfuTiming timing;
        timing.manifest = std::chrono::milliseconds(4000);
        printer.dfu().setTiming(timing);
        printer.dfu().setBootHandler([&](const std::string&) {
            QMetaObject::invokeMethod(
                qApp,
                [&] {
                    printer.unplug();
                    normal.plug();
                },
                Qt::QueuedConnection);
        });
        printer.plug();
        FirmwareUpdateDialog dialog(registry->getDevice(NO_PRINTER));
        dialog.show();
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);
        QTest::mouseClick(button(dialog, "nextButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(activeDevice(registry), 30000);
        QCOMPARE(logged("Device updated"), 0); // dfu-util is still waiting
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwareUploadedPage"), 30000);
        QCOMPARE(logged("Device updated"), 1);
        QVERIFY(button(dialog, "closeButton")->isEnabled());
    }

    void withoutAnyPrinterWaitsOnTheFirstPage()
    {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        FirmwareUpdateDialog dialog(registry->getDevice(NO_PRINTER));
        dialog.show();
        QCOMPARE(page(dialog), QStringLiteral("notConnectedPage"));
        QTRY_VERIFY_WITH_TIMEOUT(logged("No DFU devices found") >= 1, 10000);
        QTest::qWait(900); // three more listing periods: the page never changed, so no polling
        QCOMPARE(logged("Querying DFU devices"), 1);
        QCOMPARE(page(dialog), QStringLiteral("notConnectedPage"));
        QVERIFY(!button(dialog, "nextButton")->isEnabled());
        QVERIFY(button(dialog, "nextButton")->isVisible());
        QVERIFY(button(dialog, "closeButton")->isEnabled());
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void twoPrintersInFirmwareUpdateModeAreNeverPrompted()
    {
        DfuTestDevice other(9, "ZK1000009");
        other.plug();
        VirtualPrinter printer(simBus());
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        printer.plug();
        QTRY_VERIFY_WITH_TIMEOUT(activeDevice(registry), 10000);

        FirmwareUpdateDialog dialog(activeDevice(registry));
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(printer.inFirmwareUpdateMode(), 10000);
        // Two listed: back to the first page, which then keeps listing.
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("notConnectedPage"), 15000);
        const int before = logged("Querying DFU devices");
        QTRY_VERIFY_WITH_TIMEOUT(logged("Querying DFU devices") >= before + 3, 15000);
        QCOMPARE(page(dialog), QStringLiteral("notConnectedPage"));
        QVERIFY(!button(dialog, "nextButton")->isEnabled());

        // With one of them gone the polling finds the printer.
        other.unplug();
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);
    }

    void failedFlashShowsTheMessageAndStartsOver()
    {
        DfuTestDevice printer(9, "ZK1000009", "1.2.0");
        printer.dfu().failWrite(8);
        printer.plug();
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        FirmwareUpdateDialog dialog(registry->getDevice(NO_PRINTER));
        dialog.show();
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);

        // The message box runs its own event loop: answer it from a timer.
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool modal = false;
        QTimer answer;
        answer.callOnTimeout([&] {
            QMessageBox* box = dialog.findChild<QMessageBox*>();
            if (!box || !box->isVisible())
                return;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            modal = box->windowModality() == Qt::WindowModal;
            QCOMPARE(page(dialog), QStringLiteral("firmwareUploadingPage"));
            QVERIFY(!button(dialog, "closeButton")->isEnabled());
            box->button(QMessageBox::Ok)->click();
        });
        answer.start(20);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Firmware upgrade failed! dfu-util exit code:"));
        QTest::mouseClick(button(dialog, "nextButton"), Qt::LeftButton);

        QTRY_VERIFY_WITH_TIMEOUT(!text.isEmpty(), 30000);
        QCOMPARE(title, QStringLiteral("Firmware Update"));
        QCOMPARE(text, QStringLiteral("Cannot install the printer firmware.\nPlease check that "
                                      "the printer is connected to the computer and try "
                                      "again.\nIf the problem persist, please contact us for "
                                      "assistance."));
        QCOMPARE(icon, QMessageBox::Critical);
        QVERIFY(modal);
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("notConnectedPage"), 5000);
        QVERIFY(button(dialog, "closeButton")->isEnabled());
        QVERIFY(printer.dfu().booted().empty());
        // From there the printer is found again and can be flashed anew.
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);
    }

    void escapeIsIgnoredDuringTheUpload()
    {
        DfuTestDevice printer(9, "ZK1000009", "1.2.0");
        zelksim::DfuTiming slow;
        slow.writeBlock = std::chrono::milliseconds(40);
        printer.dfu().setTiming(slow);
        printer.plug();
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        FirmwareUpdateDialog dialog(registry->getDevice(NO_PRINTER));
        dialog.show();
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);
        QTest::mouseClick(button(dialog, "nextButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(progressText(dialog) != QStringLiteral("0%"), 15000);
        QVERIFY(printer.dfu().booted().empty()); // still writing

        QTest::keyClick(&dialog, Qt::Key_Escape);
        dialog.close();
        QVERIFY(dialog.isVisible());
        QCOMPARE(page(dialog), QStringLiteral("firmwareUploadingPage"));

        // Flashed; this printer does not come back in normal mode, so the
        // dialog keeps waiting for it, still not to be closed.
        QTRY_COMPARE_WITH_TIMEOUT(printer.dfu().booted(), std::vector<std::string>{"1.3.0"}, 30000);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        QCOMPARE(page(dialog), QStringLiteral("firmwareUploadingPage"));
    }

    void listingsDuringTheFlashLeaveItAlone()
    {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        DfuTestDevice printer(9, "ZK1000009", "1.2.0");
        zelksim::DfuTiming slow;
        slow.writeBlock = std::chrono::milliseconds(120);
        printer.dfu().setTiming(slow);
        printer.plug();
        FirmwareUpdateDialog dialog(registry->getDevice(NO_PRINTER));
        dialog.show();
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);
        QTest::mouseClick(button(dialog, "nextButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(progressText(dialog) != QStringLiteral("0%"), 15000);

        // Another printer arrives: the dialog lists the DFU devices again and
        // finds the one being flashed, which must not bring back the prompt.
        VirtualPrinter::Options options;
        options.address = 6;
        VirtualPrinter other(simBus(), options);
        const int found = logged("Found device:");
        other.plug();
        QTRY_VERIFY_WITH_TIMEOUT(logged("Found device:") > found, 15000);
        QTest::qWait(100);                       // the listing's result has been handled
        QVERIFY(printer.dfu().booted().empty()); // still flashing
        QCOMPARE(page(dialog), QStringLiteral("firmwareUploadingPage"));
        QVERIFY(!button(dialog, "closeButton")->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(printer.dfu().booted(), std::vector<std::string>{"1.3.0"}, 30000);
    }

    void waitsThatNeverEndCanBeClosed_data()
    {
        QTest::addColumn<bool>("hangs"); // dfu-util never ends; else the printer never returns
        QTest::addColumn<QString>("told");
        QTest::newRow("dfu-util never ends")
            << true << "The firmware installation did not finish in time and was stopped.";
        QTest::newRow("the printer never comes back")
            << false << "The firmware has been written, but the printer has not restarted";
    }
    // Close and Escape used to stay disabled for good: a modal dialog that
    // held the whole program.
    void waitsThatNeverEndCanBeClosed()
    {
        QFETCH(bool, hangs);
        QFETCH(QString, told);
        DfuTestDevice printer(9, "ZK1000009", "1.2.0");
        if (hangs) {
            // The bootloader asks dfu-util to wait ten minutes after a block.
            zelksim::DfuTiming stuck;
            stuck.writeBlock = std::chrono::minutes(10);
            printer.dfu().setTiming(stuck);
        }
        // Once flashed this printer leaves the bus and does not come back.
        FirmwareUpdateDialog::setTimeLimits(hangs ? 3000 : FirmwareUpdateDialog::FLASH_LIMIT_MS,
                                            hangs ? FirmwareUpdateDialog::RETURN_LIMIT_MS : 2000);
        printer.plug();
        FirmwareUpdateDialog dialog(RMDeviceRegistry::instance()->getDevice(NO_PRINTER));
        dialog.show();
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);

        QString text;
        ModalScript script(60000);
        script.when(
            "the explanation", [] { return activeModal<QMessageBox>() != nullptr; },
            [&] {
                text = activeModal<QMessageBox>()->text();
                answerMessageBox(QMessageBox::Ok);
            });
        script.start();
        QTest::mouseClick(button(dialog, "nextButton"), Qt::LeftButton);
        QVERIFY(!button(dialog, "closeButton")->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(script.finished(), 60000);
        QVERIFY2(text.startsWith(told), qPrintable(text));
        QTRY_VERIFY(button(dialog, "closeButton")->isEnabled());
        QCOMPARE(logged("Stopping dfu-util"), hangs ? 1 : 0);
        QCOMPARE(printer.dfu().booted().empty(), hangs);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
    }

    void override_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("answer"); // to the question why it was not used
        QTest::addColumn<QString>("flashed");
        QTest::newRow("own and private: flashed") << 0644 << ""
                                                  << "7.7.7";
        QTest::newRow("writable by others: told, the delivered one on Yes") << 0666 << "Yes"
                                                                            << "1.3.0";
        QTest::newRow("writable by others: told, nothing on No") << 0666 << "No"
                                                                 << "";
    }
    void override()
    {
        QFETCH(int, mode);
        QFETCH(QString, answer);
        QFETCH(QString, flashed);
        QTemporaryDir dir(QStringLiteral("/tmp/zelk-override-XXXXXX"));
        const QString path = dir.filePath(QStringLiteral("firmware_zelk_override.dfu"));
        const std::vector<uint8_t> file =
            FirmwareImage::withDfuSuffix(FirmwareImage::build("7.7.7", 16 * 1024), 0x2B75, 0x0003);
        std::ofstream(path.toStdString(), std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)), 0);
        FirmwareUpdateDialog::setOverridePath(path);
        if (!answer.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression("^Ignoring firmware override file .* because "
                                                    "other users can write to it"));

        DfuTestDevice printer(9, "ZK1000009", "1.2.0");
        printer.plug();
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        FirmwareUpdateDialog dialog(registry->getDevice(NO_PRINTER));
        dialog.show();
        QTRY_COMPARE_WITH_TIMEOUT(page(dialog), QStringLiteral("firmwarePromptPage"), 15000);
        // The refusal used to be logged only, and the delivered firmware
        // installed in its place.
        QString told;
        ModalScript script(30000);
        if (!answer.isEmpty())
            script.when(
                "the question", [] { return activeModal<QMessageBox>() != nullptr; },
                [&] {
                    told = activeModal<QMessageBox>()->text();
                    answerMessageBox(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No);
                });
        script.start();
        QTest::mouseClick(button(dialog, "nextButton"), Qt::LeftButton);
        QTRY_VERIFY2_WITH_TIMEOUT(script.finished(), qPrintable(script.stuckAt()), 30000);
        if (!answer.isEmpty())
            QVERIFY2(told.startsWith("The firmware file " + path +
                                     " was not used: other users can write to it (mode 0666)."),
                     qPrintable(told));
        if (flashed.isEmpty()) {
            QCOMPARE(page(dialog), QStringLiteral("firmwarePromptPage"));
            QTest::qWait(500);
            QVERIFY(printer.dfu().booted().empty());
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(printer.dfu().booted(),
                                      std::vector<std::string>{flashed.toStdString()}, 30000);
        }
    }
};

int main(int argc, char** argv)
{
    zelksim::VirtualBus::ensurePreloaded(argv);
    zelksim::VirtualBus bus;
    zelktest::setSimBus(&bus);
    int status;
    {
        QApplication app(argc, argv);
        FirmwareUpdateDialogTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    zelktest::setSimBus(nullptr);
    return status;
}

#include "FirmwareUpdateDialogTest.moc"
