#include "RMWiFi.h"

#include <QStringList>

#include <cstring>

class RMWiFiStatusData : public QSharedData
{
public:
    bool connected = false;
    QHostAddress ip, subnetMask, defaultGateway, dhcpServer, dnsServer;
    QString macAddress;
    QString ssid;
};

class RMWiFiConfigData : public QSharedData
{
public:
    wifi_config_t config{};
};

namespace {

// The firmware's four address bytes are one 32-bit number in the machine's
// byte order (byte 0 the least significant on little-endian machines), which
// is what QHostAddress takes. How the printer fills the array is not known
// beyond that; read otherwise, an address shows reversed.
QHostAddress address(const uint8_t (&bytes)[4])
{
    quint32 value;
    std::memcpy(&value, bytes, sizeof value);
    return QHostAddress(value);
}

template <size_t N>
QString latin1(const char (&text)[N])
{
    return QString::fromLatin1(text, static_cast<int>(strnlen(text, N)));
}

template <size_t N>
QString latin1(const uint8_t (&text)[N])
{
    return latin1(reinterpret_cast<const char(&)[N]>(text));
}

} // namespace

// --- RMWiFiStatus

RMWiFiStatus::RMWiFiStatus() : d(new RMWiFiStatusData) {}
RMWiFiStatus::RMWiFiStatus(const RMWiFiStatus& other) = default;
RMWiFiStatus& RMWiFiStatus::operator=(const RMWiFiStatus& other) = default;
RMWiFiStatus::~RMWiFiStatus() = default;

bool RMWiFiStatus::connected() const
{
    return d->connected;
}
QHostAddress RMWiFiStatus::ip() const
{
    return d->ip;
}
QHostAddress RMWiFiStatus::subnetMask() const
{
    return d->subnetMask;
}
QHostAddress RMWiFiStatus::defaultGateway() const
{
    return d->defaultGateway;
}
QHostAddress RMWiFiStatus::dhcpServer() const
{
    return d->dhcpServer;
}
QHostAddress RMWiFiStatus::dnsServer() const
{
    return d->dnsServer;
}
QString RMWiFiStatus::macAddress() const
{
    return d->macAddress;
}
QString RMWiFiStatus::ssid() const
{
    return d->ssid;
}

RMWiFiStatus RMWiFiStatus::fromFirmware(const wifi_status_t& status)
{
    RMWiFiStatus s;
    s.d->connected = status.connected;
    const wifi_ip_config& ip = status.ip_config;
    if (status.connected) {
        s.d->ip = address(ip.ip);
        s.d->subnetMask = address(ip.subnet_mask);
        s.d->defaultGateway = address(ip.default_gateway);
        s.d->dhcpServer = address(ip.dhcp_server);
        s.d->dnsServer = address(ip.dns_server);
        s.d->ssid = latin1(ip.connected_ssid);
    }
    QStringList parts;
    for (uint8_t byte : ip.mac_address)
        parts << QString::number(byte, 16); // 0x0a is "a": no leading zeros
    s.d->macAddress = parts.join(QLatin1Char(':'));
    return s;
}

// --- RMWiFiConfig

RMWiFiConfig::RMWiFiConfig() : d(new RMWiFiConfigData) {}
RMWiFiConfig::RMWiFiConfig(const wifi_config_t& config) : d(new RMWiFiConfigData)
{
    d->config = config;
}
RMWiFiConfig::RMWiFiConfig(const RMWiFiConfig& other) = default;
RMWiFiConfig& RMWiFiConfig::operator=(const RMWiFiConfig& other) = default;
RMWiFiConfig::~RMWiFiConfig() = default;

QString RMWiFiConfig::ssid() const
{
    return latin1(d->config.ifc_config.auto_connect_ssid);
}

QString RMWiFiConfig::password() const
{
    return latin1(d->config.ifc_config.auto_connect_key);
}

const wifi_config_t& RMWiFiConfig::data() const
{
    return d->config;
}
