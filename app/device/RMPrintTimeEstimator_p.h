#pragma once

// Not part of the program's interface: the private implementation of
// RMPrintTimeEstimator. Only the sources of its library and its tests include it; it
// changes whenever the class's insides do, without notice.

#include "RMPrintTimeEstimator.h"

#include <QDateTime>

#include <functional>

class RMPrintTimeEstimatorPrivate
{
    Q_DECLARE_PUBLIC(RMPrintTimeEstimator)
public:
    explicit RMPrintTimeEstimatorPrivate(RMPrintTimeEstimator* estimator) : q_ptr(estimator) {}

    static RMPrintTimeEstimatorPrivate* get(RMPrintTimeEstimator* estimator)
    {
        return estimator->d_func();
    }

    static bool isPauseState(RMDevice::State state)
    {
        return state == RMDevice::Pausing || state == RMDevice::Paused ||
               state == RMDevice::Unpaused;
    }

    RMPrintTimeEstimator* const q_ptr;
    QSharedPointer<RMDevice> device;
    // Where the current print began: its progress and the time. The time is
    // invalid until a print start was seen (attached or started mid-print).
    int startProgress = 0;
    QDateTime startTime;
    // When the print last left Building for a pause; invalid while no pause
    // is open, so that a pause is counted once and never from a past print.
    QDateTime pauseStart;
    qint64 paused = 0; // ms spent paused in the current print
    qint64 timeRemaining = -1;
    // The wall clock. Tests put in their own to step time without waiting.
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
};
