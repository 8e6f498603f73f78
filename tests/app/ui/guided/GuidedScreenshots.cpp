// Screenshots of the guided procedures for the README: every page of every
// dialog that the main window's buttons open, on a virtual printer, shown on
// a real X server (Xvfb) and grabbed from the screen. Not a test; run it by
// hand after changing a dialog:
//
//   xvfb-run -a -s "-screen 0 1024x768x24" build/bin/guided_screenshots docs
//
// writes the dialog-*.png files into the given folder (takes a few minutes:
// the printer heats and prints in simulated time, the estimate needs real
// time).
#include "MainWindowTestSupport.h"
#include "ModalScript.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <CircularGauge.h>
#include <FilamentDialogs.h>
#include <LogCategories.h>
#include <Logging.h>
#include <LogsDialog.h>
#include <MainWindow.h>
#include <OutOfFilamentDialog.h>
#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>
#include <TestPrintDialog.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTranslator>

#include <cstdio>
#include <functional>

using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;
using zelktest::activeModal;
using zelktest::ModalScript;

namespace {

QString out;
int failures = 0;

void grab(QWidget* widget, const QString& name)
{
    QTest::qWait(400); // let the X server draw what the window painted
    QWidget* window = widget->window();
    const QRect frame = window->frameGeometry();
    const QPixmap shot =
        window->screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    const QString path = out + QLatin1Char('/') + name;
    const bool saved = shot.save(path, "PNG");
    failures += !saved;
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "cannot write", qPrintable(path));
}

QString page(const QWidget* widget, const char* stack)
{
    auto* pages = widget ? widget->findChild<QStackedWidget*>(QLatin1String(stack)) : nullptr;
    return pages ? pages->currentWidget()->objectName() : QString();
}

template <typename T>
T* shown()
{
    T* dialog = activeModal<T>();
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

// Runs `script` while `button` runs its dialog; false (and said) if it got
// stuck.
bool run(ModalScript& script, QPushButton* button)
{
    script.start();
    button->click();
    if (script.finished())
        return true;
    std::fprintf(stderr, "stuck at %s\n", qPrintable(script.stuckAt()));
    ++failures;
    return false;
}

bool gaugeAbove(QWidget* widget, const char* name, int hundredths)
{
    auto* gauge = widget ? widget->findChild<CircularGauge*>(QLatin1String(name)) : nullptr;
    return gauge && gauge->value() >= hundredths;
}

QByteArray cubeGcode()
{
    return zelktest::squareOutlineGcode(60, "; 20 mm cube, outline only\n");
}

int shoot()
{
    QTranslator translator;
    translator.load(QLocale(QLocale::English), "rmapp", ".", ":/translations", ".qm");
    QCoreApplication::installTranslator(&translator);
    QCoreApplication::setApplicationVersion("1.5.5-1.5.4-42-gdec7a2d");
    QDir(Logging::logDirectory()).removeRecursively();
    Logging::setupFile();

    VirtualPrinter printer(zelktest::simBus());
    PrintJobModel& model = printer.printModel();
    model.setAnnounceChanges(true);
    MainWindow window;
    window.move(0, 0);
    window.show();
    auto* status = window.findChild<QLabel*>("statusLabel");
    auto button = [&](const char* name) { return window.findChild<QPushButton*>(name); };
    printer.plug();
    if (!QTest::qWaitFor([&] { return status->text() == "Idle"; }, 20000))
        return 1;

    // Unloading, confirmed first. The heating is slow enough to watch the
    // dial fill.
    printer.setTimeScale(2);
    {
        ModalScript script(240000);
        script
            .when(
                "the question", [] { return shown<QMessageBox>(); },
                [] {
                    grab(shown<QMessageBox>(), "dialog-unload-confirm.png");
                    zelktest::answerMessageBox(QMessageBox::Yes);
                })
            .when(
                "the dial past 150 °C",
                [] {
                    return gaugeAbove(shown<FilamentUnloadDialog>(), "unfilamentTempBar", 15000);
                },
                [&] {
                    grab(shown<FilamentUnloadDialog>(), "dialog-unload-heating.png");
                    model.holdAt(PrintJobModel::State::UnloadRetracting);
                })
            .when(
                "retracting",
                [] {
                    return page(shown<FilamentUnloadDialog>(), "unfilamentStack") ==
                           "unfilamentRetracting";
                },
                [&] {
                    grab(shown<FilamentUnloadDialog>(), "dialog-unload-retracting.png");
                    printer.setTimeScale(50);
                    model.release();
                });
        if (!run(script, button("filamentRetractButton")))
            return 1;
    }

    // Loading: the printer cools a little first, so that the dial shows a
    // climb again.
    printer.setTimeScale(2);
    QTest::qWait(3000);
    {
        ModalScript script(240000);
        script
            .when(
                "the dial past 160 °C",
                [] { return gaugeAbove(shown<FilamentLoadDialog>(), "filamentTempBar", 16000); },
                [] { grab(shown<FilamentLoadDialog>(), "dialog-load-heating.png"); })
            .when(
                "the filament wanted",
                [] { return page(shown<FilamentLoadDialog>(), "filamentStack") == "filamentLoad"; },
                [&] {
                    grab(shown<FilamentLoadDialog>(), "dialog-load-insert.png");
                    printer.pressButton();
                })
            .when(
                "the wipe page",
                [] { return page(shown<FilamentLoadDialog>(), "filamentStack") == "filamentWipe"; },
                [] {
                    FilamentLoadDialog* dialog = shown<FilamentLoadDialog>();
                    grab(dialog, "dialog-load-wipe.png");
                    dialog->findChild<QPushButton*>("closeButton")->click();
                });
        if (!run(script, button("filamentLoadButton")))
            return 1;
    }

    // The test print, with the minutes left in real time.
    printer.setTimeScale(20);
    if (!QTest::qWaitFor([&] { return status->text() == "Idle"; }, 20000))
        return 1;
    {
        ModalScript script(600000);
        script
            .when(
                "the introduction", [] { return shown<TestPrintDialog>(); },
                [] {
                    TestPrintDialog* dialog = shown<TestPrintDialog>();
                    grab(dialog, "dialog-testprint-intro.png");
                    dialog->findChild<QPushButton*>("nextButton")->click();
                })
            .when(
                "the button wanted",
                [] { return page(shown<TestPrintDialog>(), "mainStack") == "readyPage"; },
                [&] {
                    grab(shown<TestPrintDialog>(), "dialog-testprint-ready.png");
                    model.holdAt(PrintJobModel::State::HomingZRough);
                    printer.pressButton();
                })
            .when(
                "calibrating", [&] { return model.isHeld(); },
                [&] {
                    grab(shown<TestPrintDialog>(), "dialog-testprint-calibrating.png");
                    printer.setTimeScale(1);
                    model.release();
                })
            .when(
                "a minute or more left",
                [] {
                    TestPrintDialog* dialog = shown<TestPrintDialog>();
                    return dialog && dialog->findChild<QLabel*>("printingLabel")
                                         ->text()
                                         .contains(QRegularExpression("about [1-9]"));
                },
                [&] {
                    grab(shown<TestPrintDialog>(), "dialog-testprint-printing.png");
                    printer.setTimeScale(50);
                })
            .when(
                "the end", [] { return page(shown<TestPrintDialog>(), "mainStack") == "endPage"; },
                [] {
                    TestPrintDialog* dialog = shown<TestPrintDialog>();
                    grab(dialog, "dialog-testprint-end.png");
                    dialog->findChild<QPushButton*>("nextButton")->click();
                });
        if (!run(script, button("testPrintButton")))
            return 1;
    }

    // Out of filament in the middle of a print: the window opens the
    // recovery by itself.
    if (!QTest::qWaitFor([&] { return status->text() == "Idle"; }, 20000))
        return 1;
    QTemporaryDir dir;
    QFile cube(dir.filePath("cube.gcode"));
    if (!cube.open(QIODevice::WriteOnly) || cube.write(cubeGcode()) < 0)
        return 1;
    cube.close();
    const QSharedPointer<RMDevice> device = RMDeviceRegistry::instance()->getDevice(
        RMDeviceRegistry::instance()->activePorts().value(0));
    if (!device->sendJob(cube.fileName()) ||
        !QTest::qWaitFor([&] { return model.state() == PrintJobModel::State::JobQueued; }, 20000))
        return 1;
    printer.runOutOfFilament(5);
    {
        auto current = [] { return page(shown<OutOfFilamentDialog>(), "stack"); };
        auto inside = [](const char* stack) { return page(shown<OutOfFilamentDialog>(), stack); };
        ModalScript script(600000);
        script
            .when(
                "the recovery", [&] { return current() == "unloadPromptPage"; },
                [&] {
                    printer.setTimeScale(2);
                    OutOfFilamentDialog* dialog = shown<OutOfFilamentDialog>();
                    grab(dialog, "dialog-filament-out.png");
                    model.holdAt(PrintJobModel::State::UnloadRetracting);
                    dialog->findChild<QPushButton*>("unloadButton")->click();
                })
            .when(
                "retracting", [&] { return inside("unfilamentStack") == "unfilamentRetracting"; },
                [&] {
                    grab(shown<OutOfFilamentDialog>(), "dialog-filament-out-unload.png");
                    model.release();
                })
            .when(
                "the load prompt", [&] { return current() == "loadPromptPage"; },
                [&] {
                    OutOfFilamentDialog* dialog = shown<OutOfFilamentDialog>();
                    grab(dialog, "dialog-filament-out-load-prompt.png");
                    dialog->findChild<QPushButton*>("loadButton")->click();
                })
            .when(
                "the filament wanted", [&] { return inside("filamentStack") == "filamentLoad"; },
                [&] {
                    grab(shown<OutOfFilamentDialog>(), "dialog-filament-out-load.png");
                    printer.pressButton();
                })
            .when(
                "the wipe page", [&] { return inside("filamentStack") == "filamentWipe"; },
                [&] {
                    shown<OutOfFilamentDialog>()->findChild<QPushButton*>("closeButton")->click();
                })
            .when(
                "the resume page", [&] { return current() == "resumePage"; },
                [&] {
                    grab(shown<OutOfFilamentDialog>(), "dialog-filament-out-resume.png");
                    printer.pressButton();
                });
        script.start();
        printer.setTimeScale(30);
        printer.pressButton();
        // The dialog runs from the window's own event loop.
        QDeadlineTimer deadline(600000);
        while (!script.finished() && !deadline.hasExpired())
            QTest::qWait(50);
        if (!script.finished()) {
            std::fprintf(stderr, "stuck at %s\n", qPrintable(script.stuckAt()));
            return 1;
        }
        QTest::qWait(500);
        model.abort();
    }

    // The printer's logs, and the question before a firmware update.
    if (!QTest::qWaitFor([&] { return status->text() == "Idle"; }, 20000))
        return 1;
    {
        ModalScript script(30000);
        script.when(
            "the logs", [] { return shown<LogsDialog>(); },
            [] {
                LogsDialog* dialog = shown<LogsDialog>();
                grab(dialog, "dialog-logs.png");
                dialog->accept();
            });
        if (!run(script, button("logsButton")))
            return 1;
    }
    {
        ModalScript script(30000);
        script.when(
            "the question", [] { return shown<QMessageBox>(); },
            [] {
                grab(shown<QMessageBox>(), "dialog-firmware-confirm.png");
                zelktest::answerMessageBox(QMessageBox::No);
            });
        if (!run(script, button("updateFirmwareButton")))
            return 1;
    }
    Logging::unsetup();
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: guided_screenshots FOLDER\n");
        return 2;
    }
    return zelktest::screenshotMain(argc, argv, [&] {
        out = QString::fromLocal8Bit(argv[1]);
        return shoot();
    });
}
