#include "LayerView.h"

#include <QLineF>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace {

const QColor Extrusion(0xff, 0x00, 0x88);
const QColor Travel(0x5a, 0x6e, 0x8c);
const QColor Below(0xdd, 0xdd, 0xdd);
const QColor Plate(0xfa, 0xfa, 0xfa);
const QColor PlateEdge(0xc8, 0xc8, 0xc8);
const QColor Grid(0xee, 0xee, 0xee);

constexpr double LineWidth = 0.45; // mm: what a 0.4 mm nozzle lays
constexpr int Margin = 8;          // px around the area
// Beyond this many lines a layer is drawn with plain one-pixel lines: wide,
// smooth ones took 250 ms for 100000 lines (13 ms plain), and a crowded
// layer shows no jagged edges.
constexpr size_t SmoothLimit = 30000;

QLineF line(const RMGcodeSegment& s)
{
    return QLineF(s.from[0], s.from[1], s.to[0], s.to[1]);
}

} // namespace

LayerView::LayerView(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 200);
}

void LayerView::setArea(const QRectF& area)
{
    m_area = area;
    update();
}

void LayerView::setPlate(const QSizeF& plate, bool whole)
{
    m_plate = plate;
    m_wholePlate = whole;
    update();
}

void LayerView::setLayer(QVector<RMGcodeSegment> segments, QVector<RMGcodeSegment> below)
{
    // Moved, not copied: the lists may hold a hundred thousand pieces each.
    m_segments = std::move(segments);
    m_below = std::move(below);
    m_extrusion.clear();
    m_travel.clear();
    m_belowLines.clear();
    m_extrusion.reserve(size_t(m_segments.size()));
    for (const RMGcodeSegment& s : qAsConst(m_segments)) {
        // A move up or down alone has no length seen from above.
        if (s.from[0] == s.to[0] && s.from[1] == s.to[1])
            continue;
        (s.extruding ? m_extrusion : m_travel).push_back(line(s));
    }
    for (const RMGcodeSegment& s : qAsConst(m_below))
        if (s.extruding)
            m_belowLines.push_back(line(s));
    update();
}

void LayerView::clear()
{
    setLayer({}, {});
}

void LayerView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    const QRectF plate(QPointF(0, 0), m_plate);
    QRectF area = m_area;
    if (m_plate.isValid() && (m_wholePlate || !area.isValid()))
        area = area.isValid() ? area.united(plate) : plate;
    if (!area.isValid())
        return;

    // Fit the area, keep the proportions, Y up.
    const QRectF view = QRectF(rect()).adjusted(Margin, Margin, -Margin, -Margin);
    const double scale = std::min(view.width() / area.width(), view.height() / area.height());
    QTransform t;
    t.translate(view.center().x(), view.center().y());
    t.scale(scale, -scale);
    t.translate(-area.center().x(), -area.center().y());
    p.setTransform(t);

    if (m_plate.isValid()) {
        p.setPen(Qt::NoPen);
        p.setBrush(Plate);
        p.drawRect(plate);
        QPen grid(Grid, 0); // cosmetic: one pixel at any scale
        p.setPen(grid);
        for (double x = 10; x < m_plate.width(); x += 10)
            p.drawLine(QLineF(x, 0, x, m_plate.height()));
        for (double y = 10; y < m_plate.height(); y += 10)
            p.drawLine(QLineF(0, y, m_plate.width(), y));
        p.setPen(QPen(PlateEdge, 0));
        p.setBrush(Qt::NoBrush);
        p.drawRect(plate);
    }

    // Lines as wide as the printer lays them where that shows; one pixel
    // (a cosmetic pen, drawn several times faster) where it would not, or
    // where there are so many lines that a wide pen would take long.
    const size_t count = m_extrusion.size() + m_travel.size() + m_belowLines.size();
    const bool crowded = count > SmoothLimit;
    const double width = crowded || LineWidth * scale < 1.5 ? 0 : LineWidth;
    p.setRenderHint(QPainter::Antialiasing, !crowded);
    QPen pen(Below, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.drawLines(m_belowLines.data(), int(m_belowLines.size()));
    pen.setColor(Extrusion);
    p.setPen(pen);
    p.drawLines(m_extrusion.data(), int(m_extrusion.size()));
    p.setPen(QPen(Travel, 0));
    p.drawLines(m_travel.data(), int(m_travel.size()));
}
