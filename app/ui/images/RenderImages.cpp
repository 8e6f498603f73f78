// Renders the window's images from their drawings in src/: each at its own
// size and at twice that for high-density screens. Run after changing a
// drawing (ninja zelk_render_images) and commit the PNGs it writes.
//
//   zelk_render_images SOURCE_DIR OUTPUT_DIR
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

namespace {

struct Output
{
    const char* source;
    const char* name;
    int size; // longest side in pixels
};

const Output Outputs[] = {
    {"logo.svg", "logo.png", 64},
    {"logo.svg", "logo@2x.png", 128},
    {"logo.svg", "LogoBig.png", 256},
    {"Connected.svg", "Connected.png", 24},
    {"Connected.svg", "Connected@2x.png", 48},
    {"Disconnected.svg", "Disconnected.png", 24},
    {"Disconnected.svg", "Disconnected@2x.png", 48},
    {"support.svg", "Support icon.png", 20},
    {"support.svg", "Support icon@2x.png", 40},
    {"FirmwareUpload.svg", "FirmwareUpload.png", 160},
    {"FirmwareUpload.svg", "FirmwareUpload@2x.png", 320},
    // The guided procedures (guided.qrc).
    {"ThermoBg.svg", "ThermoBg.png", 240},
    {"ThermoBg.svg", "ThermoBg@2x.png", 480},
    {"ThermoFg.svg", "ThermoFg.png", 240},
    {"ThermoFg.svg", "ThermoFg@2x.png", 480},
    {"FilamentLoad.svg", "FilamentLoad.png", 240},
    {"FilamentLoad.svg", "FilamentLoad@2x.png", 480},
    {"FilamentWipe.svg", "FilamentWipe.png", 240},
    {"FilamentWipe.svg", "FilamentWipe@2x.png", 480},
    {"FilamentUnload.svg", "FilamentUnload.png", 240},
    {"FilamentUnload.svg", "FilamentUnload@2x.png", 480},
    {"FilamentOut.svg", "FilamentOut.png", 240},
    {"FilamentOut.svg", "FilamentOut@2x.png", 480},
    {"FilamentSpool.svg", "FilamentSpool.png", 240},
    {"FilamentSpool.svg", "FilamentSpool@2x.png", 480},
    {"ReadyToPrint.svg", "ReadyToPrint.png", 240},
    {"ReadyToPrint.svg", "ReadyToPrint@2x.png", 480},
    {"Calibrating.svg", "Calibrating.png", 240},
    {"Calibrating.svg", "Calibrating@2x.png", 480},
    {"TestPrint.svg", "TestPrint.png", 240},
    {"TestPrint.svg", "TestPrint@2x.png", 480},
    {"OsxInstallOk.svg", "OsxInstallOk.png", 120},
    {"OsxInstallOk.svg", "OsxInstallOk@2x.png", 240},
};

} // namespace

int main(int argc, char** argv)
{
    // Drawing into images needs no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: zelk_render_images SOURCE_DIR OUTPUT_DIR\n");
        return 2;
    }
    const QString from = QString::fromLocal8Bit(argv[1]);
    const QString to = QString::fromLocal8Bit(argv[2]);
    for (const Output& o : Outputs) {
        QSvgRenderer svg(from + QLatin1Char('/') + QLatin1String(o.source));
        if (!svg.isValid()) {
            std::fprintf(stderr, "cannot read %s\n", o.source);
            return 1;
        }
        const QSize size = svg.defaultSize().scaled(o.size, o.size, Qt::KeepAspectRatio);
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter);
        painter.end();
        const QString path = to + QLatin1Char('/') + QLatin1String(o.name);
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
