#include "RMSettings.h"

namespace {
const QString USER = QStringLiteral("user");
const QString ACCESS_TOKEN = QStringLiteral("access_token");
const QString REFRESH_TOKEN = QStringLiteral("refresh_token");
const QString USB_BRIDGE = QStringLiteral("usb_bridge");
const QString OPTIMIZE_GCODE = QStringLiteral("optimize_gcode");
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
