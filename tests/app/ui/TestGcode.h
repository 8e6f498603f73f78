#pragma once

// G-code that the window's tests and screenshot programs print, made here
// rather than taken from a slicer (the shared corpus is not always there).

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QLineF>
#include <QPainter>
#include <QPolygonF>
#include <QtMath>

#include <algorithm>
#include <limits>

namespace zelktest {

// A print of a square outline, 20 mm a side, `layers` layers 0.2 mm apart:
// `heading` first, then the set-up (with M109, which waits for the hot end,
// when `waitForHeat`).
inline QByteArray squareOutlineGcode(int layers, const QByteArray& heading = QByteArray(),
                                     bool waitForHeat = true)
{
    QByteArray g = heading + "G21\nG90\nM82\nM104 S210\nG28\n";
    if (waitForHeat)
        g += "M109 S210\n";
    g += "G92 E0\n";
    double e = 0;
    for (int layer = 1; layer <= layers; ++layer) {
        g += "G1 Z" + QByteArray::number(0.2 * layer, 'f', 2) + " F600\n";
        for (int side = 0; side < 4; ++side) {
            const int x = (side == 1 || side == 2) ? 40 : 20;
            const int y = side >= 2 ? 40 : 20;
            e += 0.8;
            g += "G1 X" + QByteArray::number(x) + " Y" + QByteArray::number(y) + " E" +
                 QByteArray::number(e, 'f', 3) + " F1800\n";
        }
    }
    return g + "M104 S0\n";
}

namespace preview {

constexpr double LayerHeight = 0.2;
constexpr double ExtrusionPerMm = 0.0374; // 0.45 x 0.2 mm of 1.75 mm filament
const QPointF HolderCentre(90, 100);
constexpr double HolderSide = 40;
constexpr double HolderCorner = 8;
const QPointF CylinderCentre(140, 100);
constexpr double CylinderRadius = 9;

// A convex outline, `inset` mm inside the shape's edge, counter-clockwise.
inline QPolygonF holder(double inset)
{
    QPolygonF p;
    const double half = HolderSide / 2 - HolderCorner;
    const double r = HolderCorner - inset;
    const QPointF corners[] = {{half, -half}, {half, half}, {-half, half}, {-half, -half}};
    for (int c = 0; c < 4; ++c)
        for (int step = 0; step <= 6; ++step) {
            const double a = qDegreesToRadians(-90.0 + 90 * c + 15 * step);
            p << HolderCentre + corners[c] + QPointF(r * qCos(a), r * qSin(a));
        }
    return p;
}

inline QPolygonF cylinder(double inset)
{
    QPolygonF p;
    for (int step = 0; step < 48; ++step) {
        const double a = qDegreesToRadians(7.5 * step);
        p << CylinderCentre +
                 QPointF((CylinderRadius - inset) * qCos(a), (CylinderRadius - inset) * qSin(a));
    }
    return p;
}

// The part of the line through `a` and `b` inside a convex polygon; a null
// line when it misses.
inline QLineF clip(const QPolygonF& shape, QPointF a, QPointF b)
{
    double t0 = -std::numeric_limits<double>::max(), t1 = std::numeric_limits<double>::max();
    const QPointF d = b - a;
    for (int i = 0; i < shape.size(); ++i) {
        const QPointF p = shape.at(i), q = shape.at((i + 1) % shape.size());
        const QPointF inward(-(q.y() - p.y()), q.x() - p.x()); // left of a CCW edge
        const double denominator = inward.x() * d.x() + inward.y() * d.y();
        const double distance = inward.x() * (a.x() - p.x()) + inward.y() * (a.y() - p.y());
        if (qFuzzyIsNull(denominator)) {
            if (distance < 0)
                return QLineF();
            continue;
        }
        const double t = -distance / denominator;
        if (denominator > 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
    }
    return t0 < t1 ? QLineF(a + t0 * d, a + t1 * d) : QLineF();
}

class Writer
{
public:
    QByteArray text;
    QPointF at;

    static QByteArray n(double v) { return QByteArray::number(v, 'f', 3); }
    void travel(QPointF to)
    {
        if (QLineF(at, to).length() > 2)
            text +=
                "G1 E-0.8 F2100\nG0 X" + n(to.x()) + " Y" + n(to.y()) + " F9000\nG1 E0.8 F2100\n";
        else
            text += "G0 X" + n(to.x()) + " Y" + n(to.y()) + " F9000\n";
        at = to;
    }
    void extrude(QPointF to, int feed)
    {
        text += "G1 X" + n(to.x()) + " Y" + n(to.y()) + " E" +
                QByteArray::number(QLineF(at, to).length() * ExtrusionPerMm, 'f', 5) + " F" +
                QByteArray::number(feed) + "\n";
        at = to;
    }
    void loop(const QPolygonF& shape)
    {
        travel(shape.first());
        for (int i = 1; i <= shape.size(); ++i)
            extrude(shape.at(i % shape.size()), 1800);
    }
    // Lines 0.45 mm apart at 45° (or -45°), joined end to end.
    void fill(const QPolygonF& shape, bool turn, double spacing = 0.45)
    {
        const QRectF box = shape.boundingRect();
        const QPointF along = turn ? QPointF(1, -1) : QPointF(1, 1);
        const QPointF across = turn ? QPointF(1, 1) : QPointF(-1, 1);
        const double reach = box.width() + box.height();
        bool forward = true;
        for (double s = -reach; s <= reach; s += spacing * M_SQRT2) {
            const QPointF o = box.center() + across * (s / 2);
            QLineF l = clip(shape, o, o + along);
            if (l.isNull() || l.length() < 0.5)
                continue;
            if (!forward)
                l = QLineF(l.p2(), l.p1());
            forward = !forward;
            travel(l.p1());
            extrude(l.p2(), 3000);
        }
    }
};

// The pen holder and the cylinder drawn at a slant, for the thumbnail.
inline QByteArray thumbnailPng(int layers, int cylinderLayers)
{
    QImage image(220, 124, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const auto project = [](QPointF xy, double z) {
        return QPointF(10 + (xy.x() - 60) * 1.6 + (xy.y() - 80) * 0.5,
                       112 - z * 5.0 - (xy.y() - 80) * 0.6);
    };
    for (int layer = 0; layer < layers; layer += 2) {
        const double z = layer * LayerHeight;
        const int shade = 120 + 100 * layer / layers;
        p.setPen(QPen(QColor(shade, 80, 140), 2));
        QPolygonF outline;
        for (const QPointF& point : holder(0))
            outline << project(point, z);
        p.drawPolygon(outline);
        if (layer < cylinderLayers) {
            QPolygonF round;
            for (const QPointF& point : cylinder(0))
                round << project(point, z);
            p.setPen(QPen(QColor(90, 110, shade), 2));
            p.drawPolygon(round);
        }
    }
    p.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

} // namespace preview

// A print to preview: a pen holder (a rounded square tube with a solid
// floor) beside a short solid cylinder, with what a slicer writes around it:
// a thumbnail (drawn here), layer-change comments, heating waits, a purge
// line, retractions, travel between the two parts, and, with `slicerSays`,
// its own time and filament figures.
inline QByteArray previewGcode(int layers = 60, bool slicerSays = true)
{
    using namespace preview;
    const int cylinderLayers = layers * 2 / 3;
    const int floorLayers = 4;
    Writer w;
    QByteArray& g = w.text;
    g += "; generated by DemoSlicer 1.0 on 2024-05-01 at 10:00:00 UTC\n;\n";
    const QByteArray png = thumbnailPng(layers, cylinderLayers).toBase64();
    g += "; thumbnail begin 220x124 " + QByteArray::number(png.size()) + "\n";
    for (int i = 0; i < png.size(); i += 78)
        g += "; " + png.mid(i, 78) + "\n";
    g += "; thumbnail end\n;\n";
    g += "M140 S60\nM104 S210\nM190 S60\nM109 S210\nG21\nG90\nM83\nG28\n";
    // The purge line along the front.
    g += "G1 Z0.3 F600\nG0 X60 Y10 F9000\nG1 X160 Y10 E10 F1200\nG1 E-0.8 F2100\n";
    w.at = QPointF(160, 10);
    for (int layer = 0; layer < layers; ++layer) {
        const double z = (layer + 1) * LayerHeight;
        g += ";LAYER_CHANGE\n;Z:" + QByteArray::number(z, 'f', 2) + "\nG1 Z" +
             QByteArray::number(z, 'f', 2) + " F600\n";
        const bool solid = layer < floorLayers;
        for (int wall = 0; wall < 3; ++wall)
            w.loop(holder(0.225 + 0.45 * wall));
        if (solid)
            w.fill(holder(1.35), layer % 2);
        if (layer < cylinderLayers) {
            w.loop(cylinder(0.225));
            w.loop(cylinder(0.675));
            w.fill(cylinder(0.9), layer % 2, solid ? 0.45 : 2.5);
        }
    }
    g += "G1 E-0.8 F2100\nM104 S0\nM140 S0\nG91\nG1 Z10 F600\nG90\nG28 X0\nM84\n";
    if (slicerSays)
        g += "; filament used [mm] = 1760.50\n"
             "; estimated printing time (normal mode) = 24m 55s\n";
    return g;
}

} // namespace zelktest
