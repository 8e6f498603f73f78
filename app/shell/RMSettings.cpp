#include "RMSettings.h"

#include <QStringList>

namespace {
const QString USER = QStringLiteral("user");
const QString ACCESS_TOKEN = QStringLiteral("access_token");
const QString REFRESH_TOKEN = QStringLiteral("refresh_token");
const QString USB_BRIDGE = QStringLiteral("usb_bridge");
const QString OPTIMIZE_GCODE = QStringLiteral("optimize_gcode");
const QString BUILD_VOLUME = QStringLiteral("build_volume");

// No printer is smaller or larger; beyond these a number is a typing slip.
constexpr double MinBuildSize = 1;
constexpr double MaxBuildSize = 10000;
} // namespace

RMSettings::RMSettings(QObject* parent)
    : QSettings(QSettings::UserScope, QStringLiteral("Corvane"), QStringLiteral("Zelk"), parent)
{}

QString RMSettings::webUser() const
{
    return value(USER).toString();
}

QString RMSettings::webAccessToken() const
{
    return value(ACCESS_TOKEN).toString();
}

QString RMSettings::webRefreshToken() const
{
    return value(REFRESH_TOKEN).toString();
}

bool RMSettings::usbBridge() const
{
    return value(USB_BRIDGE).toBool();
}

bool RMSettings::optimizeGcode() const
{
    return value(OPTIMIZE_GCODE).toBool();
}

RMBuildVolume RMSettings::buildVolume() const
{
    const QStringList parts = value(BUILD_VOLUME).toString().split(QLatin1Char('x'));
    if (parts.size() != 3)
        return RMBuildVolume();
    double sizes[3];
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        sizes[i] = parts.at(i).trimmed().toDouble(&ok);
        if (!ok || !(sizes[i] >= MinBuildSize && sizes[i] <= MaxBuildSize))
            return RMBuildVolume();
    }
    RMBuildVolume volume;
    volume.width = sizes[0];
    volume.depth = sizes[1];
    volume.height = sizes[2];
    return volume;
}

void RMSettings::setWebUser(QString user)
{
    if (user == webUser())
        return;
    setValue(USER, user);
    emit webUserChanged(user);
}

void RMSettings::setWebAccessToken(QString token)
{
    if (token == webAccessToken())
        return;
    setValue(ACCESS_TOKEN, token);
    emit webAccessTokenChanged(token);
}

void RMSettings::setWebRefreshToken(QString token)
{
    if (token == webRefreshToken())
        return;
    setValue(REFRESH_TOKEN, token);
    emit webRefreshTokenChanged(token);
}

void RMSettings::setUsbBridge(bool bridge)
{
    if (bridge == usbBridge())
        return;
    setValue(USB_BRIDGE, bridge);
    emit usbBridgeChanged(bridge);
}

void RMSettings::setOptimizeGcode(bool optimize)
{
    setValue(OPTIMIZE_GCODE, optimize);
}

void RMSettings::setBuildVolume(RMBuildVolume volume)
{
    const auto inRange = [](double v) { return v >= MinBuildSize && v <= MaxBuildSize; };
    if (!inRange(volume.width) || !inRange(volume.depth) || !inRange(volume.height))
        volume = RMBuildVolume();
    if (volume == buildVolume())
        return;
    if (volume.isValid())
        setValue(BUILD_VOLUME, QStringLiteral("%1x%2x%3")
                                   .arg(QString::number(volume.width, 'g', 6),
                                        QString::number(volume.depth, 'g', 6),
                                        QString::number(volume.height, 'g', 6)));
    else
        remove(BUILD_VOLUME);
    emit buildVolumeChanged(volume);
}
