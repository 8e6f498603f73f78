#include "CircularGauge.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyle>

#include <cmath>

class CircularGaugePrivate
{
public:
    QIcon background;
    QIcon foreground;
    QIcon needle;
    QSize dialSize{-1, -1};
    int startAngle = 90;
    int endAngle = -270;
};

CircularGauge::CircularGauge(QWidget* parent)
    : QProgressBar(parent), d_ptr(new CircularGaugePrivate)
{}

CircularGauge::~CircularGauge() = default;

QIcon CircularGauge::foreground() const
{
    return d_func()->foreground;
}

void CircularGauge::setForeground(const QIcon& icon)
{
    d_func()->foreground = icon;
    update();
}

QIcon CircularGauge::background() const
{
    return d_func()->background;
}

void CircularGauge::setBackground(const QIcon& icon)
{
    d_func()->background = icon;
    update();
}

QIcon CircularGauge::needle() const
{
    return d_func()->needle;
}

void CircularGauge::setNeedle(const QIcon& icon)
{
    d_func()->needle = icon;
    update();
}

QSize CircularGauge::dialSize() const
{
    return d_func()->dialSize;
}

void CircularGauge::setDialSize(const QSize& size)
{
    Q_D(CircularGauge);
    if (d->dialSize == size)
        return;
    d->dialSize = size;
    updateGeometry();
    update();
}

int CircularGauge::startAngle() const
{
    return d_func()->startAngle;
}

void CircularGauge::setStartAngle(int degrees)
{
    d_func()->startAngle = degrees;
    update();
}

int CircularGauge::endAngle() const
{
    return d_func()->endAngle;
}

void CircularGauge::setEndAngle(int degrees)
{
    d_func()->endAngle = degrees;
    update();
}

double CircularGauge::fraction() const
{
    // An empty range has no share to show; the division would be by zero.
    if (maximum() == minimum() || value() <= minimum())
        return 0.0;
    return double(qint64(value()) - minimum()) / double(qint64(maximum()) - minimum());
}

QSize CircularGauge::sizeHint() const
{
    Q_D(const CircularGauge);
    QSize dial = d->dialSize;
    if (!dial.isValid()) {
        const int side = qMin(width(), height());
        dial = QSize(side, side);
    }
    const QMargins margins = contentsMargins();
    return dial + QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

QSize CircularGauge::minimumSizeHint() const
{
    return sizeHint();
}

void CircularGauge::paintEvent(QPaintEvent*)
{
    Q_D(CircularGauge);
    const QRectF area = rect();
    const QPointF centre = area.center();
    const qreal side = d->dialSize.isValid() ? qMin(d->dialSize.width(), d->dialSize.height())
                                             : qMin(area.width(), area.height());
    QRectF dial(0, 0, side, side);
    dial.moveCenter(centre);
    const QRect dialRect = dial.toAlignedRect();

    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    d->background.paint(&painter, dialRect, Qt::AlignCenter, QIcon::Normal);

    const double share = fraction();
    const int sweep = d->endAngle - d->startAngle;
    if (share > 0 && !d->foreground.isNull()) {
        // The slice's square reaches beyond the dial so that its straight
        // edges, not its arc, cut the image.
        const int reach = int(2 * side / std::sqrt(2.0));
        QRectF square(0, 0, reach, reach);
        square.moveCenter(centre);
        QPainterPath slice(centre);
        slice.arcTo(square, d->startAngle, sweep * share);
        slice.closeSubpath();
        painter.save();
        painter.setClipPath(slice);
        d->foreground.paint(&painter, dialRect, Qt::AlignCenter, QIcon::Normal);
        painter.restore();
    }

    if (!d->needle.isNull()) {
        painter.save();
        painter.translate(centre);
        painter.rotate((d->startAngle - 180) - share * sweep);
        painter.translate(-centre);
        d->needle.paint(&painter, dialRect, Qt::AlignCenter, QIcon::Normal);
        painter.restore();
    }

    if (isTextVisible()) {
        style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(),
                              text(), foregroundRole());
    }
}
