#include "RMStatusText.h"

#include <QCoreApplication>

namespace {

// The texts were the main window's own and keep its translation context: the
// translation "rmapp" has them there, plural forms of the minutes included.
QString tr(const char* text, int n = -1)
{
    return QCoreApplication::translate("MainWindow", text, nullptr, n);
}

} // namespace

QString RMStatusText::text(RMDevice::State state, double temperature, int printProgress,
                           qint64 timeRemaining, bool severalPrinters)
{
    const QString celsius = QString::number(qRound(temperature));
    const QString progress = QString::number(printProgress);
    switch (state) {
    case RMDevice::Unknown:
        return tr("Connecting");
    case RMDevice::Disconnected:
        return severalPrinters ? tr("More than one printer connected") : tr("Disconnected");
    case RMDevice::PreInit:
        return tr("Press the button to start calibration");
    case RMDevice::Initializing:
    case RMDevice::PreparingBuild:
        return tr("Calibrating");
    case RMDevice::Idle:
        return tr("Idle");
    case RMDevice::Pausing:
        return tr("Pausing");
    case RMDevice::Paused:
        return tr("Paused");
    case RMDevice::Unpaused:
        return tr("Restarting");
    case RMDevice::FileRx:
        return tr("Sending print job");
    case RMDevice::JobQueued:
        return tr("Press button to start printing");
    case RMDevice::Building:
        if (timeRemaining < 1)
            return tr("Printing at %1°C (%2%)").arg(celsius, progress);
        return tr("Printing at %1°C (%2% - %n minutes left)", int(timeRemaining / 60000))
            .arg(celsius, progress);
    case RMDevice::LoadHeating:
    case RMDevice::LoadExtruding:
        return tr("Loading filament - %1°C").arg(celsius);
    case RMDevice::UnloadHeating:
    case RMDevice::UnloadRetracting:
        return tr("Unloading filament - %1°C").arg(celsius);
    case RMDevice::HomingInit:
        return tr("Calibration started");
    case RMDevice::HomingHeating:
    case RMDevice::HomingCooling:
        return tr("Adjusting hot-end temperature - %1°C").arg(celsius);
    case RMDevice::HomingXY:
        return tr("Calibrating build plate");
    case RMDevice::HomingZRough:
    case RMDevice::HomingZFine:
        return tr("Calibrating carriage - %1°C").arg(celsius);
    case RMDevice::HomingComplete:
        return tr("Calibration complete - %1°C").arg(celsius);
    case RMDevice::OutOfFilament:
        return tr("Filament broken or run out");
    }
    return QString();
}
