// The main window's buttons that open the guided procedures, their
// confirmations, the printer logs kept with the window, and the
// out-of-filament recovery that opens by itself.
#include "CannedPrinter.h"
#include "MainWindowTestSupport.h"
#include "ModalScript.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <FilamentDialogs.h>
#include <FirmwareUpdateDialog.h>
#include <LogCategories.h>
#include <Logging.h>
#include <LogsDialog.h>
#include <MainWindow.h>
#include <OutOfFilamentDialog.h>
#include <RMDeviceRegistry.h>
#include <TestPrintDialog.h>

#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <memory>

using namespace zelktest;
using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;

namespace {

const QString UnloadQuestion = QStringLiteral(
    "<b>Warning</b>: You can reduce filament jams by loading new filament on top of the old "
    "rather than unloading then reloading.<br/><br/>Are you sure you want to unload?");
const QString FirmwareQuestion = QStringLiteral(
    "<b>Warning</b>: this firmware will disable the Wi-Fi on your Zelk and it will no longer be "
    "able to connect to the Corvane Store. It will print only from this desktop "
    "application.<br/><br/>This update also includes some performance improvements to the Zelk, "
    "so you may see higher print speeds and improved print quality.<br/><br/>Do you want to "
    "flash the firmware?");

bool requested(const VirtualPrinter& printer, const char* command)
{
    const std::vector<std::string> requests = printer.requests();
    return std::any_of(requests.begin(), requests.end(), [command](const std::string& r) {
        return r.find(command) != std::string::npos;
    });
}

// Every modal widget that appears, by class; each out-of-filament dialog is
// closed as soon as it is seen, so that the window's event loop goes on.
class ModalWatcher : public QObject
{
public:
    ModalWatcher()
    {
        timer.callOnTimeout([this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == last)
                return;
            last = modal;
            seen << QString::fromLatin1(modal->metaObject()->className());
            if (auto* recovery = qobject_cast<OutOfFilamentDialog*>(modal))
                recovery->reject();
        });
        timer.start(5);
    }
    int count(const char* className) const { return seen.count(QLatin1String(className)); }
    QStringList seen;

private:
    QTimer timer;
    QPointer<QWidget> last;
};

} // namespace

class MainWindowActionsTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void noToEitherConfirmationSendsNothing_data();
    void noToEitherConfirmationSendsNothing();
    void yesToUnloadRunsTheUnload();
    void buttonsOpenTheirDialogs();
    void logsDialogFollowsThePrinterLog();
    void outOfFilamentDialogOpensOncePerEntry();
    void printerFollowedOutOfFilamentGetsTheDialog();

private:
    void startWindow(double timeScale = 1);
    void startCannedWindow(const CannedStatus& first);
    QPushButton* button(const char* name) const
    {
        return window->findChild<QPushButton*>(QLatin1String(name));
    }
    QString statusText() const { return window->findChild<QLabel*>("statusLabel")->text(); }

    std::unique_ptr<VirtualPrinter> printer;
    std::unique_ptr<CannedPrinter> canned;
    std::unique_ptr<MainWindow> window;
};

void MainWindowActionsTest::cleanup()
{
    while (QWidget* modal = QApplication::activeModalWidget())
        modal->close();
    window.reset();
    RMDeviceRegistry::shutdown();
    printer.reset();
    canned.reset();
}

void MainWindowActionsTest::startWindow(double timeScale)
{
    printer = std::make_unique<VirtualPrinter>(simBus());
    printer->printModel().setAnnounceChanges(true);
    printer->setTimeScale(timeScale);
    window = std::make_unique<MainWindow>();
    window->show();
    printer->plug();
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 10000);
}

void MainWindowActionsTest::startCannedWindow(const CannedStatus& first)
{
    canned = std::make_unique<CannedPrinter>();
    canned->answerWith(first);
    window = std::make_unique<MainWindow>();
    window->show();
    canned->plug();
    QTRY_VERIFY_WITH_TIMEOUT(RMDeviceRegistry::instance()->activePorts().size() == 1, 10000);
}

void MainWindowActionsTest::noToEitherConfirmationSendsNothing_data()
{
    QTest::addColumn<QString>("buttonName");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QStringList>("commands"); // none of them may reach the printer

    QTest::newRow("retract filament")
        << "filamentRetractButton" << UnloadQuestion << QStringList{"unload_initiate"};
    QTest::newRow("update firmware")
        << "updateFirmwareButton" << FirmwareQuestion
        << QStringList{"Enter_dfu_mode", "wifi_client_get_configuration"};
}

void MainWindowActionsTest::noToEitherConfirmationSendsNothing()
{
    QFETCH(QString, buttonName);
    QFETCH(QString, question);
    QFETCH(QStringList, commands);

    startWindow();
    ModalWatcher watcher;
    QMessageBox* asked = nullptr;
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::Warning;
    ModalScript script(10000);
    script.when(
        "the question", [&] { return (asked = activeModal<QMessageBox>()) != nullptr; },
        [&] {
            text = asked->text();
            title = asked->windowTitle();
            icon = asked->icon();
            QCOMPARE(int(asked->standardButtons()), int(QMessageBox::Yes | QMessageBox::No));
            QVERIFY(!(asked->windowFlags() & Qt::WindowContextHelpButtonHint));
            answerMessageBox(QMessageBox::No);
        });
    script.start();
    QPushButton* action = button(qPrintable(buttonName));
    QVERIFY(action->isEnabled());
    action->click();
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QCOMPARE(text, question);
    QCOMPARE(title, window->windowTitle());
    QCOMPARE(icon, QMessageBox::NoIcon);

    QTest::qWait(300); // a dialog or a command would have come by now
    QCOMPARE(watcher.seen, QStringList{"QMessageBox"});
    for (const QString& command : commands)
        QVERIFY2(!requested(*printer, qPrintable(command)), qPrintable(command));
    QVERIFY(!printer->inFirmwareUpdateMode());
}

void MainWindowActionsTest::yesToUnloadRunsTheUnload()
{
    startWindow(100);
    ModalWatcher watcher;
    ModalScript script(30000);
    script.when(
        "the question", [] { return activeModal<QMessageBox>() != nullptr; },
        [] { answerMessageBox(QMessageBox::Yes); });
    script.start();
    button("filamentRetractButton")->click();
    // The unload dialog ran, and closed by itself when the printer was done.
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    QCOMPARE(watcher.count("FilamentUnloadDialog"), 1);
    QCOMPARE(printer->printModel().filament(), std::string("unloaded"));
    QVERIFY(!window->activeDialog());
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 5000);
}

void MainWindowActionsTest::buttonsOpenTheirDialogs()
{
    startWindow(100);
    // Nothing to refuse: the load dialog stays open on its heating page.
    QCOMPARE(printer->printModel().unloadFilament(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(printer->printModel().filament() == "unloaded" &&
                                 printer->printModel().state() == PrintJobModel::State::Idle,
                             10000);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Idle"), 5000);

    const std::pair<const char*, const char*> buttons[] = {
        {"filamentLoadButton", "FilamentLoadDialog"},
        {"testPrintButton", "TestPrintDialog"},
        {"logsButton", "LogsDialog"},
        {"logsButton", "LogsDialog"},
    };
    for (const auto& [name, dialogClass] : buttons) {
        QDialog* opened = nullptr;
        ModalScript script(10000);
        script.when(
            dialogClass,
            [&, dialogClass = dialogClass] {
                opened = activeModal<QDialog>();
                return opened && QLatin1String(opened->metaObject()->className()) ==
                                     QLatin1String(dialogClass);
            },
            [&] { opened->reject(); });
        // A procedure's button comes back once the printer has answered
        // the previous dialog's end (its abort is a request, not a wait):
        // under a sanitizer that takes longer than a click.
        QTRY_VERIFY_WITH_TIMEOUT(button(name)->isEnabled(), 30000);
        script.start();
        button(name)->click();
        QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
        // Each procedure's dialog lives while it runs; the logs stay.
        QTRY_COMPARE_WITH_TIMEOUT(window->findChildren<FilamentLoadDialog*>().size(), 0, 1000);
        QCOMPARE(window->findChildren<TestPrintDialog*>().size(), 0);
        QCOMPARE(window->findChildren<LogsDialog*>().size(), 1);
    }
    QVERIFY(requested(*printer, "load_initiate"));
    printer->printModel().abort();
}

void MainWindowActionsTest::logsDialogFollowsThePrinterLog()
{
    QDir(Logging::logDirectory()).removeRecursively();
    Logging::setupFile();
    startWindow();
    auto* logs = window->findChild<LogsDialog*>();
    QVERIFY(logs);
    auto* view = logs->findChild<QPlainTextEdit*>();
    const QSharedPointer<RMDevice> device =
        RMDeviceRegistry::instance()->getDevice(TrelDeviceAddress(1, 5));
    // The printer's text reaches the program with the next message after it:
    // a status is asked for at once rather than at the window's next poll.
    auto say = [&](void (PrintJobModel::*request)()) {
        (printer->printModel().*request)();
        device->pollStatus();
    };
    ModalScript script(15000);
    script
        .when(
            "the logs", [&] { return logs->isVisible(); }, [&] { say(&PrintJobModel::pause); })
        .when(
            "the printer's line", [&] { return view->toPlainText().contains("nothing to pause"); },
            [&] { say(&PrintJobModel::abort); })
        .when(
            "its next line", [&] { return view->toPlainText().contains("nothing to abort"); },
            [&] { logs->accept(); });
    script.start();
    button("logsButton")->click();
    QVERIFY2(script.finished(), qPrintable(script.stuckAt()));

    // Hidden, it reads nothing more, though the file grows.
    const QString shown = view->toPlainText();
    QFile file(QDir(Logging::logDirectory()).filePath("RMPrinter.log"));
    const qint64 size = file.size();
    say(&PrintJobModel::pause);
    QTRY_VERIFY_WITH_TIMEOUT(file.size() > size, 5000);
    QCOMPARE(view->toPlainText(), shown);
    Logging::unsetup();
}

void MainWindowActionsTest::outOfFilamentDialogOpensOncePerEntry()
{
    CannedStatus s;
    s.state = "BUILDING";
    s.celsius = 210;
    s.progress = 30;
    startCannedWindow(s);
    ModalWatcher watcher;

    s.state = "FILAMENT_OUT";
    canned->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.count("OutOfFilamentDialog"), 1, 5000);
    QCOMPARE(statusText(), QString("Filament broken or run out"));

    // Staying out of filament while the temperature and progress move.
    s.celsius = 190;
    canned->report(s);
    s.progress = 31;
    canned->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(
        RMDeviceRegistry::instance()->getDevice(TrelDeviceAddress(1, 5))->printProgress(), 31,
        5000);
    QTest::qWait(300); // a second dialog would have opened by now
    QCOMPARE(watcher.count("OutOfFilamentDialog"), 1);

    // Recovered, printing, and out again: a new entry.
    s.state = "PAUSED";
    canned->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(statusText(), QString("Paused"), 5000);
    s.state = "FILAMENT_OUT";
    canned->report(s);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.count("OutOfFilamentDialog"), 2, 5000);
    QTest::qWait(300);
    QCOMPARE(watcher.count("OutOfFilamentDialog"), 2);
}

void MainWindowActionsTest::printerFollowedOutOfFilamentGetsTheDialog()
{
    // Plugged in (or the program started) while the print waits for
    // filament: the buttons are all off, so the recovery has to come.
    CannedStatus s;
    s.state = "FILAMENT_OUT";
    s.celsius = 200;
    ModalWatcher watcher;
    startCannedWindow(s);
    QTRY_COMPARE_WITH_TIMEOUT(watcher.count("OutOfFilamentDialog"), 1, 5000);
    QCOMPARE(statusText(), QString("Filament broken or run out"));
    QTest::qWait(300);
    QCOMPARE(watcher.count("OutOfFilamentDialog"), 1);
}

ZELK_SIM_WIDGETS_TEST_MAIN(MainWindowActionsTest)
#include "MainWindowActionsTest.moc"
