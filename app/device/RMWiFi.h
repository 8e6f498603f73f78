#pragma once

#include <trel/TrelCommandTypes.h>

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>

#include "RMDevice.h"

class RMWiFiStatusData;
class RMWiFiConfigData;

// The printer's Wi-Fi client state (implicitly shared).
class RMWiFiStatus
{
public:
    RMWiFiStatus();
    RMWiFiStatus(const RMWiFiStatus& other);
    RMWiFiStatus& operator=(const RMWiFiStatus& other);
    ~RMWiFiStatus();

    bool connected() const;
    QHostAddress ip() const;
    QHostAddress subnetMask() const;
    QHostAddress defaultGateway() const;
    QHostAddress dhcpServer() const;
    QHostAddress dnsServer() const;
    QString macAddress() const;
    QString ssid() const;

    // From the firmware's record: addresses and network name only when
    // connected, the MAC address always.
    static RMWiFiStatus fromFirmware(const wifi_status_t& status);

private:
    QSharedDataPointer<RMWiFiStatusData> d;
};

// The printer's stored Wi-Fi configuration (implicitly shared copy of the
// firmware's record).
class RMWiFiConfig
{
public:
    RMWiFiConfig();
    explicit RMWiFiConfig(const wifi_config_t& config);
    RMWiFiConfig(const RMWiFiConfig& other);
    RMWiFiConfig& operator=(const RMWiFiConfig& other);
    ~RMWiFiConfig();

    QString ssid() const;
    QString password() const;
    const wifi_config_t& data() const;

private:
    QSharedDataPointer<RMWiFiConfigData> d;
};

// One network of a scan.
struct RMWiFiNetwork
{
    QString ssid;
    quint8 strength = 0;
    RMDevice::SecurityType security = RMDevice::WIFI_OPEN;
    // False for a security type this program does not know. Such a network
    // is listed as WIFI_WPA_PSK: asking for a pass phrase is safer than
    // presenting it as open.
    bool known = true;
};

Q_DECLARE_METATYPE(RMWiFiStatus)
Q_DECLARE_METATYPE(RMWiFiConfig)
Q_DECLARE_METATYPE(RMWiFiNetwork)
