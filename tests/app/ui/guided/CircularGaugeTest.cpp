// The round temperature dial: its properties from a style sheet, and what it
// paints for a value, drawn with plain colour images so that each pixel says
// which image reached it.
#include <CircularGauge.h>
#include <GuidedResources.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTest>

#include <cmath>

namespace {

constexpr int SIDE = 200;

QIcon solid(const QColor& colour)
{
    QPixmap pixmap(SIDE, SIDE);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

// A needle pointing up from the centre: a bar over the upper half.
QIcon upwardNeedle()
{
    QPixmap pixmap(SIDE, SIDE);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.fillRect(QRect(SIDE / 2 - 4, 10, 8, SIDE / 2 - 20), Qt::green);
    return QIcon(pixmap);
}

// The colour at `degrees` (counter-clockwise from three o'clock) and `radius`
// from the centre of the gauge's image.
QColor at(const QImage& image, double degrees, double radius)
{
    const double a = degrees * M_PI / 180.0;
    const QPoint p(int(std::lround(SIDE / 2.0 + radius * std::cos(a))),
                   int(std::lround(SIDE / 2.0 - radius * std::sin(a))));
    return image.pixelColor(p);
}

QImage paint(CircularGauge& gauge)
{
    gauge.resize(SIDE, SIDE);
    QImage image(SIDE, SIDE, QImage::Format_ARGB32);
    image.fill(Qt::white);
    gauge.render(&image);
    return image;
}

} // namespace

class CircularGaugeTest : public QObject
{
    Q_OBJECT

private slots:
    void defaults();
    void propertiesComeFromTheStyleSheet();
    void sliceGrowsFromTheStartAngle_data();
    void sliceGrowsFromTheStartAngle();
    void emptyRangePaintsNoSlice();
    void needleTurnsWithTheValue();
    void sizeHintIsTheDialWithMargins();
};

void CircularGaugeTest::defaults()
{
    CircularGauge gauge;
    QCOMPARE(gauge.startAngle(), 90);
    QCOMPARE(gauge.endAngle(), -270);
    QVERIFY(!gauge.dialSize().isValid());
    QVERIFY(gauge.background().isNull() && gauge.foreground().isNull() && gauge.needle().isNull());
}

void CircularGaugeTest::propertiesComeFromTheStyleSheet()
{
    initGuidedResources();
    QWidget window;
    window.setStyleSheet("CircularGauge {"
                         "  qproperty-background: url(:/images/ThermoBg.png);"
                         "  qproperty-foreground: url(:/images/ThermoFg.png);"
                         "  qproperty-needle: url(:/images/ThermoFg.png);"
                         "  qproperty-dialSize: 120px 120px;"
                         "  qproperty-startAngle: 240;"
                         "  qproperty-endAngle: -60;"
                         "}");
    auto* gauge = new CircularGauge(&window);
    gauge->ensurePolished();
    QCOMPARE(gauge->startAngle(), 240);
    QCOMPARE(gauge->endAngle(), -60);
    QCOMPARE(gauge->dialSize(), QSize(120, 120));
    // The images themselves.
    QCOMPARE(gauge->background().availableSizes().value(0), QSize(240, 240));
    QCOMPARE(gauge->foreground().availableSizes().value(0), QSize(240, 240));
    QCOMPARE(gauge->needle().availableSizes().value(0), QSize(240, 240));
}

void CircularGaugeTest::sliceGrowsFromTheStartAngle_data()
{
    QTest::addColumn<int>("startAngle");
    QTest::addColumn<int>("endAngle");
    QTest::addColumn<int>("value");            // of 0..1000
    QTest::addColumn<QList<int>>("covered");   // angles painted with the foreground
    QTest::addColumn<QList<int>>("uncovered"); // angles left with the background

    QTest::newRow("empty") << 90 << -270 << 0 << QList<int>{} << QList<int>{90 - 5, 0, 270};
    QTest::newRow("below the minimum") << 90 << -270 << -1 << QList<int>{} << QList<int>{0, 180};
    // Clockwise from twelve o'clock: the right half.
    QTest::newRow("half, default angles")
        << 90 << -270 << 500 << QList<int>{80, 0, -80} << QList<int>{100, 180, 260};
    QTest::newRow("full, default angles")
        << 90 << -270 << 1000 << QList<int>{0, 90 - 5, 180, 270} << QList<int>{};
    // The window's dial: 300 degrees clockwise from the lower left.
    QTest::newRow("none of the window's dial")
        << 240 << -60 << 0 << QList<int>{} << QList<int>{230, 90};
    QTest::newRow("a fifth of the window's dial")
        << 240 << -60 << 200 << QList<int>{230, 190} << QList<int>{170, 90, 0};
    QTest::newRow("all of the window's dial")
        << 240 << -60 << 1000 << QList<int>{230, 90, -50} << QList<int>{270};
}

void CircularGaugeTest::sliceGrowsFromTheStartAngle()
{
    QFETCH(int, startAngle);
    QFETCH(int, endAngle);
    QFETCH(int, value);
    QFETCH(QList<int>, covered);
    QFETCH(QList<int>, uncovered);

    CircularGauge gauge;
    gauge.setTextVisible(false);
    gauge.setBackground(solid(Qt::blue));
    gauge.setForeground(solid(Qt::red));
    gauge.setStartAngle(startAngle);
    gauge.setEndAngle(endAngle);
    gauge.setRange(0, 1000);
    gauge.setValue(value);
    const QImage image = paint(gauge);
    for (int angle : covered)
        QCOMPARE(at(image, angle, 60).name(), QColor(Qt::red).name());
    for (int angle : uncovered)
        QCOMPARE(at(image, angle, 60).name(), QColor(Qt::blue).name());
}

void CircularGaugeTest::emptyRangePaintsNoSlice()
{
    CircularGauge gauge;
    gauge.setTextVisible(false);
    gauge.setBackground(solid(Qt::blue));
    gauge.setForeground(solid(Qt::red));
    gauge.setRange(50, 50);
    gauge.setValue(50);
    QCOMPARE(gauge.fraction(), 0.0);
    const QImage image = paint(gauge);
    for (int angle : {0, 90, 180, 270})
        QCOMPARE(at(image, angle, 60).name(), QColor(Qt::blue).name());
}

void CircularGaugeTest::needleTurnsWithTheValue()
{
    CircularGauge gauge;
    gauge.setTextVisible(false);
    gauge.setNeedle(upwardNeedle());
    gauge.setRange(0, 100);
    // Turned by (start - 180) - fraction x (end - start) degrees, clockwise
    // on the screen: with the default angles, a quarter brings an upward
    // needle back to twelve o'clock, three quarters to six.
    const std::pair<int, int> cases[] = {{25, 90}, {75, 270}, {0, 180}, {50, 0}};
    for (const auto& [value, angle] : cases) {
        gauge.setValue(value);
        const QImage image = paint(gauge);
        QVERIFY2(at(image, angle, 50) == QColor(Qt::green), qPrintable(QString::number(value)));
        QVERIFY2(at(image, angle + 180, 50) != QColor(Qt::green),
                 qPrintable(QString::number(value)));
    }
}

void CircularGaugeTest::sizeHintIsTheDialWithMargins()
{
    CircularGauge gauge;
    gauge.setContentsMargins(3, 4, 5, 20);
    gauge.resize(300, 180);
    QCOMPARE(gauge.sizeHint(), QSize(180 + 8, 180 + 24));
    gauge.setDialSize(QSize(100, 100));
    QCOMPARE(gauge.sizeHint(), QSize(108, 124));
    QCOMPARE(gauge.minimumSizeHint(), gauge.sizeHint());
}

QTEST_MAIN(CircularGaugeTest)
#include "CircularGaugeTest.moc"
