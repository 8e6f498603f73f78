// Renders an SVG drawing into a PNG whose longest side is SIZE pixels. The
// packaging icons and the installer window's header are drawn as SVG and
// committed as PNG too; run ninja zelk_render_install_images after changing
// a drawing and commit what it writes.
//
//   zelk_render_svg SOURCE.svg SIZE OUTPUT.png
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char** argv)
{
    // Drawing into images needs no screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    bool sizeOk = false;
    const int size = argc == 4 ? QString::fromLocal8Bit(argv[2]).toInt(&sizeOk) : 0;
    if (!sizeOk || size < 1) {
        std::fprintf(stderr, "usage: zelk_render_svg SOURCE.svg SIZE OUTPUT.png\n");
        return 2;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const QSize pixels = svg.defaultSize().scaled(size, size, Qt::KeepAspectRatio);
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    svg.render(&painter);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
