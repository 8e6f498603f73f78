#pragma once

#include <RMDevice.h>

#include <QScopedPointer>
#include <QSharedPointer>
#include <QWidget>

class CircularGauge;
class FilamentWidgetPrivate;

// What the filament load and unload widgets share. The printer runs the
// procedure once told to start; the widget follows the states it reports,
// polling it every 5 s for as long as the widget exists, and animates the
// hot end's temperature bar: it creeps towards 106 °C over 106 s while the
// hot end is cold (the printer reports no progress of its own), and glides to
// each reported temperature above that just before the next poll.
//
// completed() and interrupted() tell the dialog around the widget how the
// procedure ended.
class FilamentWidget : public QWidget
{
    Q_OBJECT

public:
    ~FilamentWidget() override;

    // Null until set: a widget without a printer interrupts at once.
    void setDevice(QSharedPointer<RMDevice> device);
    QSharedPointer<RMDevice> device() const;

    // Starts the procedure when the printer is at rest, or shows the page of
    // the phase it is in.
    virtual void refresh() = 0;

    void startBarAnimation();
    void animateBar(double celsius, int durationMs);

    // At or below this the bar creeps; above it, it follows the reports.
    static constexpr double CREEP_CELSIUS = 106.0;
    static constexpr int POLL_INTERVAL_MS = 5000;

signals:
    void completed();
    void interrupted();

public slots:
    virtual void printerStateChanged(RMDevice::State state, RMDevice::State oldState) = 0;
    void printerTemperatureChanged(double celsius);

protected:
    explicit FilamentWidget(QWidget* parent);
    // The gauge of the heating page; its range is 0 to 21000 (0.01 °C).
    void setTemperatureBar(CircularGauge* bar);
    void restartBarOnEntry(RMDevice::State state, RMDevice::State oldState);

    // A printer back at rest after this procedure failed, or refusing it,
    // reports why in its error; the widget then tells the user and gives up
    // rather than show the next step of a procedure that did not happen.
    virtual bool isFailure(RMDevice::Error error) const = 0;
    virtual QString failureText(RMDevice::Error error) const = 0;
    bool endedInFailure() const;

private slots:
    void printerError(RMDevice::Error error);

private:
    Q_DISABLE_COPY(FilamentWidget)
    Q_DECLARE_PRIVATE(FilamentWidget)
    QScopedPointer<FilamentWidgetPrivate> d_ptr;
};
