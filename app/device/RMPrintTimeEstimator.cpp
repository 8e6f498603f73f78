#include "RMPrintTimeEstimator.h"

#include "RMPrintTimeEstimator_p.h"

RMPrintTimeEstimator::RMPrintTimeEstimator(QObject* parent)
    : QObject(parent), d_ptr(new RMPrintTimeEstimatorPrivate(this))
{}

RMPrintTimeEstimator::~RMPrintTimeEstimator() = default;

void RMPrintTimeEstimator::setDevice(QSharedPointer<RMDevice> device)
{
    Q_D(RMPrintTimeEstimator);
    if (d->device)
        disconnect(d->device.data(), nullptr, this, nullptr);
    d->device = std::move(device);
    if (!d->device)
        return;
    connect(d->device.data(), &RMDevice::stateChanged, this, &RMPrintTimeEstimator::stateChanged);
    connect(d->device.data(), &RMDevice::printProgressChanged, this,
            &RMPrintTimeEstimator::progressChanged);
}

qint64 RMPrintTimeEstimator::timeRemaining() const
{
    Q_D(const RMPrintTimeEstimator);
    return d->timeRemaining;
}

void RMPrintTimeEstimator::stateChanged(RMDevice::State newState, RMDevice::State oldState)
{
    Q_D(RMPrintTimeEstimator);
    if (!d->device)
        return;

    if (RMPrintTimeEstimatorPrivate::isPauseState(newState)) {
        // Moves between the pause states leave the open pause alone.
        if (oldState == RMDevice::Building)
            d->pauseStart = d->now();
        return;
    }

    if (newState != RMDevice::Building) {
        // An open pause stays open: filament may be changed while paused.
        d->timeRemaining = -1;
        return;
    }

    if (RMPrintTimeEstimatorPrivate::isPauseState(oldState)) {
        // Resumed. A pause entered before the estimator watched (no pause
        // start) is not counted: better a short estimate than a wrong total.
        if (d->pauseStart.isValid()) {
            d->paused += d->pauseStart.msecsTo(d->now());
            d->pauseStart = QDateTime();
        }
        return;
    }

    // A new print.
    if (d->timeRemaining != -1) {
        d->timeRemaining = -1;
        emit timeRemainingChanged(-1);
    }
    d->paused = 0;
    d->pauseStart = QDateTime();
    d->startTime = d->now();
    d->startProgress = d->device->printProgress();
}

void RMPrintTimeEstimator::progressChanged(int progress)
{
    Q_D(RMPrintTimeEstimator);
    if (!d->device || d->device->state() != RMDevice::Building)
        return;
    const qint64 gained = qint64(progress) - d->startProgress;
    if (gained == 0)
        return;
    // An unseen print start leaves startTime invalid; msecsTo() then gives 0
    // and so does the estimate, which every consumer shows as none.
    const qint64 elapsed = d->startTime.msecsTo(d->now()) - d->paused;
    d->timeRemaining = (100 - qint64(progress)) * (elapsed / gained);
    emit timeRemainingChanged(d->timeRemaining);
}
