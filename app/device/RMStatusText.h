#pragma once

#include "RMDevice.h"

#include <QString>

// A printer's state in one line: the main window's status line, and what
// zelkctl prints for it. Pure; any thread.
class RMStatusText
{
public:
    // `temperature` and `printProgress` as the device reports them;
    // `timeRemaining` in milliseconds as RMPrintTimeEstimator gives it (below
    // 1: no estimate, and no minutes are shown); `severalPrinters` when more
    // than one printer is active, which is why a window that follows one
    // printer shows the placeholder's Disconnected state.
    static QString text(RMDevice::State state, double temperature, int printProgress,
                        qint64 timeRemaining, bool severalPrinters);
};
