#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace zelkd {

// zelkd's settings: built-in defaults, then the read-only INI file, then the
// command line, each overriding the one before. A service for the machine
// reads /etc/zelkd/zelkd.conf and keeps its data in /var/lib/zelkd; a user's
// own zelkd reads $XDG_CONFIG_HOME/zelkd/zelkd.conf and keeps its data in
// $XDG_DATA_HOME/zelkd.
struct Settings
{
    QString configFile; // the INI file read (may be missing)
    bool systemService = false;
    QHostAddress listenAddress{QHostAddress::LocalHost};
    quint16 port = 5000;
    QString tlsCertificate; // PEM; both set: HTTPS
    QString tlsKey;
    QString apiKeyFile;
    QString dataFolder;   // printer log, history database
    QString uploadFolder; // the G-code files, shared by all printers
    QString webFolder;    // the page and its static files
    qint64 maxUploadSize = 1024ll * 1024 * 1024;
    int pollIntervalMs = 1000;
    bool optimizeByDefault = false;
    bool announce = true; // _octoprint._tcp through avahi-daemon, when it runs
    int maxConnections = 512;
    int idleTimeoutS = 30;

    // The farm's MQTT broker (none: mqttHost empty). The pass phrase comes
    // from the settings file alone: a command line is visible to every user
    // of the machine.
    QString mqttHost;
    quint16 mqttPort = 1883;
    QString mqttTlsCa; // PEM; set: TLS
    QString mqttUser;
    QByteArray mqttPassword;
    QString mqttClientId; // default "zelkd-" + farmName
    QString mqttTopicPrefix = QStringLiteral("zelk");
    QString farmName; // this host in the topics; default: the host name
    int mqttKeepaliveS = 60;
    QString mqttDiscoveryPrefix = QStringLiteral("homeassistant");

    // Said once logging runs (a pass phrase in a file others can read).
    QStringList warnings;

    bool useTls() const { return !tlsCertificate.isEmpty(); }
    QString baseUrl() const; // "http://127.0.0.1:5000"
    bool useMqtt() const { return !mqttHost.isEmpty(); }
};

// Adds the options that mirror the INI keys (and --config, --system, --user).
void addSettingsOptions(QCommandLineParser& parser);

// Reads the INI file and applies the command line. On a bad value returns
// false with `error` saying which key or option and why.
bool loadSettings(const QCommandLineParser& parser, Settings& settings, QString& error);

// "1G", "512M", "300000" (bytes) -> bytes; -1 when not a size.
qint64 parseSize(const QString& text);
QString formatSize(qint64 bytes);

} // namespace zelkd
