#include "FilamentWidget.h"

#include "CircularGauge.h"

#include <QMessageBox>
#include <QPointer>
#include <QPropertyAnimation>
#include <QTimer>

namespace {

// The gauge's range: hundredths of a degree up to the filament temperature.
constexpr int BAR_MAXIMUM = 21000;
// The creep: to 106 °C in 106 s, the time a cold hot end takes to get there.
constexpr int CREEP_MS = 106000;

QString celsiusText(double celsius)
{
    return QString::number(qRound(celsius)) + QStringLiteral("°C");
}

} // namespace

class FilamentWidgetPrivate
{
public:
    QSharedPointer<RMDevice> device;
    QTimer* pollTimer = nullptr;
    QPointer<CircularGauge> bar;
    QPropertyAnimation* animation = nullptr;
    bool telling = false; // a failure's message box is open
};

FilamentWidget::FilamentWidget(QWidget* parent) : QWidget(parent), d_ptr(new FilamentWidgetPrivate)
{
    Q_D(FilamentWidget);
    d->pollTimer = new QTimer(this);
    d->pollTimer->setInterval(POLL_INTERVAL_MS);
    d->pollTimer->start();
    d->animation = new QPropertyAnimation(this);
    d->animation->setPropertyName("value");
}

FilamentWidget::~FilamentWidget() = default;

void FilamentWidget::setDevice(QSharedPointer<RMDevice> device)
{
    Q_D(FilamentWidget);
    if (d->device) {
        disconnect(d->device.data(), nullptr, this, nullptr);
        disconnect(d->pollTimer, nullptr, d->device.data(), nullptr);
    }
    d->device = std::move(device);
    RMDevice* const dev = d->device.data();
    if (!dev)
        return;
    connect(dev, &RMDevice::stateChanged, this, &FilamentWidget::printerStateChanged);
    connect(dev, &RMDevice::temperatureChanged, this, &FilamentWidget::printerTemperatureChanged);
    connect(dev, &RMDevice::error, this, &FilamentWidget::printerError);
    connect(d->pollTimer, &QTimer::timeout, dev, &RMDevice::pollStatus);
    if (d->bar)
        d->bar->setFormat(celsiusText(dev->temperature()));
}

QSharedPointer<RMDevice> FilamentWidget::device() const
{
    return d_func()->device;
}

void FilamentWidget::setTemperatureBar(CircularGauge* bar)
{
    Q_D(FilamentWidget);
    d->bar = bar;
    bar->setRange(0, BAR_MAXIMUM);
    bar->setValue(0);
    bar->setFormat(d->device ? celsiusText(d->device->temperature()) : QString());
    d->animation->setTargetObject(bar);
}

void FilamentWidget::animateBar(double celsius, int durationMs)
{
    Q_D(FilamentWidget);
    if (!d->bar)
        return;
    d->animation->stop();
    d->animation->setDuration(durationMs);
    d->animation->setStartValue(d->bar->value());
    // A report beyond the scale (or a garbled one) pins the bar at its end
    // instead of overflowing the conversion.
    const double hundredths = qBound(0.0, celsius * 100.0, double(BAR_MAXIMUM));
    d->animation->setEndValue(int(hundredths));
    d->animation->start();
}

void FilamentWidget::startBarAnimation()
{
    Q_D(FilamentWidget);
    if (!d->bar || !d->device || d->device->temperature() > CREEP_CELSIUS)
        return;
    d->animation->stop();
    d->bar->setValue(0);
    animateBar(CREEP_CELSIUS, CREEP_MS);
}

void FilamentWidget::restartBarOnEntry(RMDevice::State state, RMDevice::State oldState)
{
    if (oldState != state)
        startBarAnimation();
}

void FilamentWidget::printerTemperatureChanged(double celsius)
{
    Q_D(FilamentWidget);
    if (d->bar)
        d->bar->setFormat(celsiusText(celsius));
    // Strictly above: at exactly the creep's goal the creep goes on.
    if (celsius > CREEP_CELSIUS)
        animateBar(celsius, int(d->pollTimer->interval() * 1.1));
}

bool FilamentWidget::endedInFailure() const
{
    Q_D(const FilamentWidget);
    return d->device && isFailure(d->device->lastError());
}

void FilamentWidget::printerError(RMDevice::Error error)
{
    Q_D(FilamentWidget);
    // One message per ending: another report while the box waits (the
    // box's event loop delivers it) must not stack a second box under
    // which the first would be left open.
    if (!isVisible() || !isFailure(error) || d->telling)
        return;
    d->telling = true;
    QMessageBox box(QMessageBox::Warning, window()->windowTitle(), failureText(error),
                    QMessageBox::Ok, this);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
    d->telling = false;
    emit interrupted();
}
