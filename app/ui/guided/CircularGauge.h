#pragma once

#include <QIcon>
#include <QProgressBar>
#include <QScopedPointer>
#include <QSize>

class CircularGaugePrivate;

// A progress bar drawn as a round dial: a background image, a foreground
// image revealed as a pie slice that grows with the value, an optional needle
// image turned to the value, and the progress text on top. The images and the
// geometry are properties, so that a style sheet sets them:
//
//   CircularGauge {
//       qproperty-background: url(:/images/ThermoBg.png);
//       qproperty-foreground: url(:/images/ThermoFg.png);
//       qproperty-startAngle: 240;
//       qproperty-endAngle: -60;
//   }
//
// Angles are in degrees, counter-clockwise from three o'clock; the slice runs
// from startAngle towards endAngle as the value goes from minimum to maximum.
class CircularGauge : public QProgressBar
{
    Q_OBJECT
    Q_PROPERTY(QIcon foreground READ foreground WRITE setForeground)
    Q_PROPERTY(QIcon background READ background WRITE setBackground)
    Q_PROPERTY(QIcon needle READ needle WRITE setNeedle)
    Q_PROPERTY(QSize dialSize READ dialSize WRITE setDialSize)
    Q_PROPERTY(int startAngle READ startAngle WRITE setStartAngle)
    Q_PROPERTY(int endAngle READ endAngle WRITE setEndAngle)

public:
    explicit CircularGauge(QWidget* parent = nullptr);
    ~CircularGauge() override;

    QIcon foreground() const;
    void setForeground(const QIcon& icon);
    QIcon background() const;
    void setBackground(const QIcon& icon);
    QIcon needle() const;
    void setNeedle(const QIcon& icon);
    // Invalid (the default): the largest square that fits the widget.
    QSize dialSize() const;
    void setDialSize(const QSize& size);
    int startAngle() const;
    void setStartAngle(int degrees);
    int endAngle() const;
    void setEndAngle(int degrees);

    // Share of the range the value covers, 0 to 1; 0 for an empty range.
    double fraction() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Q_DISABLE_COPY(CircularGauge)
    Q_DECLARE_PRIVATE(CircularGauge)
    QScopedPointer<CircularGaugePrivate> d_ptr;
};
