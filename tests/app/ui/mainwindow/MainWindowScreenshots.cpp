// Screenshots of the main window for the README: the window on a virtual
// printer, shown on a real X server (Xvfb), grabbed from the screen, and the
// print preview it opens, drawn by itself (so that it needs no screen). Not
// a test; run it by hand after changing the window:
//
//   xvfb-run -a -s "-screen 0 1024x768x24" build/bin/mainwindow_screenshots docs
//
// writes main-window-idle.png, print-preview.png, print-preview-too-large.png,
// main-window-printing.png and main-window-disconnected.png into the given
// folder. With "preview" after the folder it writes the previews alone, and
// runs offscreen too (QT_QPA_PLATFORM=offscreen).
#include "MainWindowTestSupport.h"
#include "ModalScript.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <MainWindow.h>
#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>
#include <RMSettings.h>

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <functional>

using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;

namespace {

bool waitUntil(const std::function<bool()>& condition, int seconds)
{
    QDeadlineTimer deadline(seconds * 1000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

bool grab(const QWidget& window, const QString& path)
{
    QTest::qWait(300); // let the X server draw what the window painted
    const QRect frame = window.frameGeometry();
    const QPixmap shot =
        window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    const bool saved = shot.save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "cannot write", qPrintable(path));
    return saved;
}

// The dialog alone, drawn into an image: no screen needed.
bool grabDialog(QWidget* dialog, const QString& path)
{
    QTest::qWait(100);
    const bool saved = dialog && dialog->grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "cannot write", qPrintable(path));
    return saved;
}

// The print preview of a pen holder, optimized: at its first layer above the
// cylinder beside it (whose top shows faint below), in a printer that it
// fits, then at a layer of its floor, with travel, in one too small.
bool shootPreviews(MainWindow& window, const QString& out, const QString& folder)
{
    QFile file(folder + "/pen-holder.gcode");
    if (!file.open(QIODevice::WriteOnly) || file.write(zelktest::previewGcode()) < 0)
        return false;
    file.close();
    auto* settings = window.findChild<RMSettings*>();
    settings->setBuildVolume(RMBuildVolume{220, 220, 250});
    window.findChild<QCheckBox*>("optimizeCheckbox")->setChecked(true);

    bool shot = false;
    const auto slider = [] { return zelktest::printPreview()->findChild<QSlider*>(); };
    zelktest::ModalScript script(60000);
    script
        .when(
            "the preview, done",
            [] {
                QDialog* preview = zelktest::printPreview();
                return preview && zelktest::printPreviewIdle(preview);
            },
            [&] { slider()->setValue(40); })
        .when(
            "layer 41", [] { return zelktest::printPreview()->property("shownLayer") == 40; },
            [&] {
                shot = grabDialog(zelktest::printPreview(), out + "/print-preview.png");
                settings->setBuildVolume(RMBuildVolume{120, 120, 100});
                slider()->setValue(2);
            })
        .when(
            "layer 3", [] { return zelktest::printPreview()->property("shownLayer") == 2; },
            [&] {
                QDialog* preview = zelktest::printPreview();
                shot = shot && grabDialog(preview, out + "/print-preview-too-large.png");
                if (preview)
                    preview->reject();
            });
    zelktest::answerFileDialog(file.fileName());
    script.start();
    window.findChild<QPushButton*>("printFileButton")->click();
    settings->setBuildVolume(RMBuildVolume());
    if (!script.finished())
        std::fprintf(stderr, "stuck at %s\n", qPrintable(script.stuckAt()));
    return shot && script.finished();
}

QByteArray cubeGcode()
{
    return zelktest::squareOutlineGcode(60, "; 20 mm cube, outline only\n", false);
}

int run(const QString& out, bool previewsOnly)
{
    QTranslator translator;
    translator.load(QLocale(QLocale::English), "rmapp", ".", ":/translations", ".qm");
    QCoreApplication::installTranslator(&translator);
    QCoreApplication::setApplicationVersion("1.5.5-1.5.4-42-gdec7a2d");

    VirtualPrinter printer(zelktest::simBus());
    printer.printModel().setAnnounceChanges(true);
    MainWindow window;
    window.move(0, 0);
    window.show();
    auto* status = window.findChild<QLabel*>("statusLabel");
    printer.plug();
    if (!waitUntil([&] { return status->text() == "Idle"; }, 20))
        return 1;
    if (!previewsOnly && !grab(window, out + "/main-window-idle.png"))
        return 1;

    QTemporaryDir dir;
    if (!shootPreviews(window, out, dir.path()))
        return 1;
    if (previewsOnly)
        return 0;

    QFile file(dir.filePath("cube.gcode"));
    if (!file.open(QIODevice::WriteOnly) || file.write(cubeGcode()) < 0)
        return 1;
    file.close();
    window.findChild<QCheckBox*>("optimizeCheckbox")->setChecked(true);
    printer.setTimeScale(30); // through homing and heating quickly
    zelktest::answerFileDialog(file.fileName());
    zelktest::answerPrintPreview(true);
    window.findChild<QPushButton*>("printFileButton")->click();
    if (!waitUntil([&] { return printer.printModel().state() == PrintJobModel::State::JobQueued; },
                   20))
        return 1;
    printer.pressButton();
    if (!waitUntil([&] { return printer.printModel().state() == PrintJobModel::State::Building; },
                   60))
        return 1;
    printer.setTimeScale(1); // the estimate follows real time
    auto* estimator = window.findChild<RMPrintTimeEstimator*>();
    if (!waitUntil([&] { return estimator->timeRemaining() >= 60000; }, 120) ||
        !grab(window, out + "/main-window-printing.png"))
        return 1;

    printer.unplug();
    if (!waitUntil([&] { return status->text() == "Disconnected"; }, 20) ||
        !grab(window, out + "/main-window-disconnected.png"))
        return 1;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const bool previewsOnly = argc == 3 && std::strcmp(argv[2], "preview") == 0;
    if (argc != 2 && !previewsOnly) {
        std::fprintf(stderr, "usage: mainwindow_screenshots FOLDER [preview]\n");
        return 2;
    }
    return zelktest::screenshotMain(
        argc, argv, [&] { return run(QString::fromLocal8Bit(argv[1]), previewsOnly); });
}
