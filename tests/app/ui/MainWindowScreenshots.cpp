// Screenshots of the main window for the README: the window on a virtual
// printer, shown on a real X server (Xvfb), grabbed from the screen. Not a
// test; run it by hand after changing the window:
//
//   xvfb-run -a -s "-screen 0 1024x768x24" build/bin/mainwindow_screenshots docs
//
// writes main-window-idle.png, main-window-printing.png and
// main-window-disconnected.png into the given folder.
#include "MainWindowTestSupport.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <MainWindow.h>
#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTranslator>

#include <cstdio>
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

QByteArray cubeGcode()
{
    return zelktest::squareOutlineGcode(60, "; 20 mm cube, outline only\n", false);
}

int run(const QString& out)
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
    if (!waitUntil([&] { return status->text() == "Idle"; }, 20) ||
        !grab(window, out + "/main-window-idle.png"))
        return 1;

    QTemporaryDir dir;
    QFile file(dir.filePath("cube.gcode"));
    if (!file.open(QIODevice::WriteOnly) || file.write(cubeGcode()) < 0)
        return 1;
    file.close();
    window.findChild<QCheckBox*>("optimizeCheckbox")->setChecked(true);
    printer.setTimeScale(30); // through homing and heating quickly
    zelktest::answerFileDialog(file.fileName());
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
    if (argc != 2) {
        std::fprintf(stderr, "usage: mainwindow_screenshots FOLDER\n");
        return 2;
    }
    zelksim::VirtualBus::ensurePreloaded(argv);
    zelksim::VirtualBus bus;
    zelktest::setSimBus(&bus);
    QStandardPaths::setTestModeEnabled(true);
    int status;
    {
        QApplication app(argc, argv);
        QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
        status = run(QString::fromLocal8Bit(argv[1]));
        RMDeviceRegistry::shutdown();
    }
    zelktest::setSimBus(nullptr);
    return status;
}
