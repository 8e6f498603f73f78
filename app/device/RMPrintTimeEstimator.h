#pragma once

#include <RMDevice.h>

#include <QObject>
#include <QScopedPointer>
#include <QSharedPointer>

class RMPrintTimeEstimatorPrivate;

// How long the running print of one printer still needs: the average rate
// since the print began (wall-clock time less the time spent paused, per
// percent gained), times the percent still missing. No smoothing: every
// progress report replaces the estimate.
//
// GUI thread only, like the device whose signals drive it.
class RMPrintTimeEstimator : public QObject
{
    Q_OBJECT
public:
    explicit RMPrintTimeEstimator(QObject* parent = nullptr);
    ~RMPrintTimeEstimator() override;

    // Follows another device from now on. The estimate and the measurement of
    // the current print are kept: the window hands over a new object for the
    // same printer after a USB reconnection, in the middle of a print.
    void setDevice(QSharedPointer<RMDevice> device);

    // Milliseconds; below 1 means there is no estimate (no percent gained
    // yet, no print running, or a print whose start was not seen).
    qint64 timeRemaining() const;

signals:
    // After every progress report of a running print, even when the value did
    // not change; with -1 when a new print discards an existing estimate.
    // Leaving the print (finished, aborted, error, unplugged) drops the
    // estimate to -1 without a signal.
    void timeRemainingChanged(qint64 timeRemaining);

public slots:
    void stateChanged(RMDevice::State newState, RMDevice::State oldState);
    void progressChanged(int progress);

private:
    Q_DISABLE_COPY(RMPrintTimeEstimator)
    Q_DECLARE_PRIVATE(RMPrintTimeEstimator)
    QScopedPointer<RMPrintTimeEstimatorPrivate> d_ptr;
};
