#include "Settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>

#include <pwd.h>
#include <unistd.h>

namespace zelkd {

namespace {

// The account the packaged system service runs as.
const char ServiceUser[] = "zelkd";

// One setting: its INI key and the option that overrides it.
struct Key
{
    const char* ini;
    const char* option;
    const char* valueName;
    const char* help;
};

const Key Keys[] = {
    {"listen_address", "listen", "address",
     "Address to listen on (default 127.0.0.1; 0.0.0.0 or :: for every interface)."},
    {"port", "port", "port", "TCP port (default 5000)."},
    {"tls_certificate", "tls-certificate", "file", "PEM certificate: serve HTTPS."},
    {"tls_key", "tls-key", "file", "PEM private key of the certificate."},
    {"api_key_file", "api-key-file", "file",
     "Where the API key is kept (default DATA/api-key; made on first start)."},
    {"data_folder", "data-folder", "folder", "Printer log and print history."},
    {"upload_folder", "upload-folder", "folder", "Uploaded G-code files (default DATA/uploads)."},
    {"web_folder", "web-folder", "folder", "The web page's files."},
    {"max_upload_size", "max-upload-size", "size",
     "Largest upload accepted, in bytes or with K, M, G (default 1G)."},
    {"poll_interval", "poll-interval", "seconds",
     "How often each printer is asked for its status (default 1)."},
    {"optimize_default", "optimize-default", "true|false",
     "Run uploads through the G-code optimizer unless they say otherwise."},
    {"announce", "announce", "true|false",
     "Announce the printers on the local network (Avahi, as an OctoPrint host) when "
     "avahi-daemon runs and zelkd listens beyond this machine (default true)."},
    {"max_connections", "max-connections", "count",
     "Connections served at once, at least 256 (default 512)."},
    {"idle_timeout", "idle-timeout", "seconds",
     "A client that sends nothing for this long is cut off (default 30)."},
    {"mqtt_host", "mqtt-host", "host",
     "The farm's MQTT broker: publish the printers there and take commands from it (default: "
     "none). Its pass phrase, mqtt_password, is read from the settings file only."},
    {"mqtt_port", "mqtt-port", "port", "The broker's port (default 1883)."},
    {"mqtt_tls_ca", "mqtt-tls-ca", "file",
     "CA certificate (PEM): connect to the broker with TLS and check its certificate."},
    {"mqtt_user", "mqtt-user", "name", "User name at the broker."},
    {"mqtt_client_id", "mqtt-client-id", "id",
     "MQTT client id, unique per host (zelkd- and the farm name unless set)."},
    {"mqtt_topic_prefix", "mqtt-topic-prefix", "topic",
     "The farm's topics: PREFIX/FARM_NAME/... (default zelk)."},
    {"farm_name", "farm-name", "name",
     "This host's name in the farm's topics, letters, digits, - and _ (the host name unless "
     "set)."},
    {"mqtt_keepalive", "mqtt-keepalive", "seconds",
     "MQTT keep-alive: a vanished host is offline after 1.5 times this (default 60)."},
    {"mqtt_discovery_prefix", "mqtt-discovery-prefix", "topic",
     "Home Assistant's discovery prefix (default homeassistant)."},
};

bool isServiceUser()
{
    if (::geteuid() == 0)
        return true;
    const passwd* pw = ::getpwuid(::geteuid());
    return pw && QLatin1String(pw->pw_name) == QLatin1String(ServiceUser);
}

bool parseBool(const QString& text, bool& out)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("true") || t == QLatin1String("yes") || t == QLatin1String("on") ||
        t == QLatin1String("1")) {
        out = true;
        return true;
    }
    if (t == QLatin1String("false") || t == QLatin1String("no") || t == QLatin1String("off") ||
        t == QLatin1String("0")) {
        out = false;
        return true;
    }
    return false;
}

// Applies one value; false with `why` when it does not parse.
bool apply(Settings& s, const QString& key, const QString& value, QString& why)
{
    bool ok = true;
    if (key == QLatin1String("listen_address")) {
        QHostAddress a;
        if (!a.setAddress(value.trimmed())) {
            why = QStringLiteral("not an IP address");
            return false;
        }
        s.listenAddress = a;
    } else if (key == QLatin1String("port")) {
        const uint p = value.trimmed().toUInt(&ok);
        if (!ok || p == 0 || p > 65535) {
            why = QStringLiteral("want a port from 1 to 65535");
            return false;
        }
        s.port = static_cast<quint16>(p);
    } else if (key == QLatin1String("tls_certificate")) {
        s.tlsCertificate = value;
    } else if (key == QLatin1String("tls_key")) {
        s.tlsKey = value;
    } else if (key == QLatin1String("api_key_file")) {
        s.apiKeyFile = value;
    } else if (key == QLatin1String("data_folder")) {
        s.dataFolder = value;
    } else if (key == QLatin1String("upload_folder")) {
        s.uploadFolder = value;
    } else if (key == QLatin1String("web_folder")) {
        s.webFolder = value;
    } else if (key == QLatin1String("max_upload_size")) {
        const qint64 size = parseSize(value);
        if (size <= 0) {
            why = QStringLiteral("want a size such as 1G, 512M or a number of bytes");
            return false;
        }
        s.maxUploadSize = size;
    } else if (key == QLatin1String("poll_interval")) {
        const double seconds = value.trimmed().toDouble(&ok);
        if (!ok || seconds < 0.1 || seconds > 3600) {
            why = QStringLiteral("want seconds from 0.1 to 3600");
            return false;
        }
        s.pollIntervalMs = qRound(seconds * 1000);
    } else if (key == QLatin1String("optimize_default")) {
        if (!parseBool(value, s.optimizeByDefault)) {
            why = QStringLiteral("want true or false");
            return false;
        }
    } else if (key == QLatin1String("announce")) {
        if (!parseBool(value, s.announce)) {
            why = QStringLiteral("want true or false");
            return false;
        }
    } else if (key == QLatin1String("max_connections")) {
        const int n = value.trimmed().toInt(&ok);
        if (!ok || n < 256 || n > 10000) {
            why = QStringLiteral("want a count from 256 to 10000");
            return false;
        }
        s.maxConnections = n;
    } else if (key == QLatin1String("idle_timeout")) {
        const int n = value.trimmed().toInt(&ok);
        if (!ok || n < 5 || n > 3600) {
            why = QStringLiteral("want seconds from 5 to 3600");
            return false;
        }
        s.idleTimeoutS = n;
    } else if (key == QLatin1String("mqtt_host")) {
        s.mqttHost = value.trimmed();
    } else if (key == QLatin1String("mqtt_port")) {
        const uint p = value.trimmed().toUInt(&ok);
        if (!ok || p == 0 || p > 65535) {
            why = QStringLiteral("want a port from 1 to 65535");
            return false;
        }
        s.mqttPort = static_cast<quint16>(p);
    } else if (key == QLatin1String("mqtt_tls_ca")) {
        s.mqttTlsCa = value;
    } else if (key == QLatin1String("mqtt_user")) {
        s.mqttUser = value;
    } else if (key == QLatin1String("mqtt_password")) {
        // No option mirrors this one: a command line is shown to every user
        // of the machine (ps, /proc/PID/cmdline).
        s.mqttPassword = value.toUtf8();
    } else if (key == QLatin1String("mqtt_client_id")) {
        s.mqttClientId = value.trimmed();
    } else if (key == QLatin1String("mqtt_topic_prefix") ||
               key == QLatin1String("mqtt_discovery_prefix")) {
        const QString t = value.trimmed();
        if (t.isEmpty() || t.startsWith(QLatin1Char('/')) || t.endsWith(QLatin1Char('/')) ||
            t.contains(QLatin1Char('+')) || t.contains(QLatin1Char('#')) ||
            t.contains(QLatin1String("//")) || t.startsWith(QLatin1Char('$'))) {
            why = QStringLiteral("want topic levels without wildcards, e.g. zelk or shop/zelk");
            return false;
        }
        (key == QLatin1String("mqtt_topic_prefix") ? s.mqttTopicPrefix : s.mqttDiscoveryPrefix) = t;
    } else if (key == QLatin1String("farm_name")) {
        // Empty: the host name (loadSettings()).
        static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_-]{0,64}$"));
        if (!safe.match(value.trimmed()).hasMatch()) {
            why = QStringLiteral("want 1 to 64 letters, digits, - or _");
            return false;
        }
        s.farmName = value.trimmed();
    } else if (key == QLatin1String("mqtt_keepalive")) {
        const int n = value.trimmed().toInt(&ok);
        if (!ok || n < 5 || n > 3600) {
            why = QStringLiteral("want seconds from 5 to 3600");
            return false;
        }
        s.mqttKeepaliveS = n;
    } else {
        why = QStringLiteral("unknown setting");
        return false;
    }
    return true;
}

// The page's files: installed beside the program, or in the source tree
// next to a build's program.
QString defaultWebFolder()
{
    const QString bin = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {bin + QStringLiteral("/../share/zelkd/www"), QStringLiteral("/usr/share/zelkd/www")}) {
        if (QFileInfo(candidate + QStringLiteral("/index.html")).isFile())
            return QDir::cleanPath(candidate);
    }
    return QDir::cleanPath(bin + QStringLiteral("/../share/zelkd/www"));
}

} // namespace

QString Settings::baseUrl() const
{
    QString host = listenAddress.toString();
    if (listenAddress == QHostAddress::AnyIPv4 || listenAddress == QHostAddress::AnyIPv6 ||
        listenAddress == QHostAddress::Any)
        host = QStringLiteral("localhost");
    else if (listenAddress.protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("%1://%2:%3").arg(useTls() ? "https" : "http", host).arg(port);
}

void addSettingsOptions(QCommandLineParser& parser)
{
    parser.addOption({QStringLiteral("config"),
                      QStringLiteral("Settings file (default /etc/zelkd/zelkd.conf for the "
                                     "system service, $XDG_CONFIG_HOME/zelkd/zelkd.conf for a "
                                     "user)."),
                      QStringLiteral("file")});
    parser.addOption({QStringLiteral("system"),
                      QStringLiteral("The machine's service: /etc/zelkd and /var/lib/zelkd "
                                     "(the default for root and the zelkd account).")});
    parser.addOption({QStringLiteral("user"),
                      QStringLiteral("A user's own: the XDG configuration and data folders.")});
    for (const Key& k : Keys)
        parser.addOption(
            {QLatin1String(k.option), QString::fromUtf8(k.help), QLatin1String(k.valueName)});
}

bool loadSettings(const QCommandLineParser& parser, Settings& s, QString& error)
{
    if (parser.isSet(QStringLiteral("system")) && parser.isSet(QStringLiteral("user"))) {
        error = QStringLiteral("--system and --user exclude each other");
        return false;
    }
    s.systemService = parser.isSet(QStringLiteral("system")) ||
                      (!parser.isSet(QStringLiteral("user")) && isServiceUser());
    if (s.systemService) {
        s.configFile = QStringLiteral("/etc/zelkd/zelkd.conf");
        s.dataFolder = QStringLiteral("/var/lib/zelkd");
    } else {
        s.configFile = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                       QStringLiteral("/zelkd/zelkd.conf");
        s.dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                       QStringLiteral("/zelkd");
    }
    if (parser.isSet(QStringLiteral("config")))
        s.configFile = parser.value(QStringLiteral("config"));

    const QFileInfo config(s.configFile);
    if (parser.isSet(QStringLiteral("config")) && !config.isFile()) {
        error = QStringLiteral("cannot read %1").arg(s.configFile);
        return false;
    }
    if (config.isFile()) {
        // Read only: a settings object would write back what it read.
        const QSettings ini(s.configFile, QSettings::IniFormat);
        if (ini.status() != QSettings::NoError) {
            error = QStringLiteral("%1: cannot be parsed").arg(s.configFile);
            return false;
        }
        for (QString key : ini.allKeys()) {
            const QString value = ini.value(key).toStringList().join(QLatin1Char(','));
            if (key.startsWith(QLatin1String("General/")))
                key = key.mid(8);
            // Qt's reader takes only ';' as a comment; a "#key = value" line
            // is what an administrator means as a setting left out.
            if (key.startsWith(QLatin1Char('#')))
                continue;
            QString why;
            if (!apply(s, key, value, why)) {
                error = QStringLiteral("%1: %2: %3").arg(s.configFile, key, why);
                return false;
            }
        }
        if (!s.mqttPassword.isEmpty() && config.permission(QFile::ReadOther))
            s.warnings.append(QStringLiteral("%1 holds the broker's pass phrase and is readable "
                                             "by every user: chmod o-r it")
                                  .arg(s.configFile));
    }
    for (const Key& k : Keys) {
        const QString option = QLatin1String(k.option);
        if (!parser.isSet(option))
            continue;
        QString why;
        if (!apply(s, QLatin1String(k.ini), parser.value(option), why)) {
            error = QStringLiteral("--%1: %2").arg(option, why);
            return false;
        }
    }
    if (s.tlsCertificate.isEmpty() != s.tlsKey.isEmpty()) {
        error = QStringLiteral("HTTPS needs both a certificate and its key");
        return false;
    }
    if (s.apiKeyFile.isEmpty())
        s.apiKeyFile = s.dataFolder + QStringLiteral("/api-key");
    if (s.uploadFolder.isEmpty())
        s.uploadFolder = s.dataFolder + QStringLiteral("/uploads");
    if (s.webFolder.isEmpty())
        s.webFolder = defaultWebFolder();
    if (s.farmName.isEmpty()) {
        // The host name, as printer hosts name their instance by default,
        // made one topic level.
        QString name;
        for (const QChar c : QSysInfo::machineHostName().left(64))
            name += (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('-') ||
                            c == QLatin1Char('_')
                        ? c
                        : QLatin1Char('-');
        s.farmName = name.isEmpty() ? QStringLiteral("zelkd") : name;
    }
    if (s.mqttClientId.isEmpty())
        s.mqttClientId = QStringLiteral("zelkd-") + s.farmName;
    return true;
}

qint64 parseSize(const QString& text)
{
    QString t = text.trimmed().toUpper();
    if (t.endsWith(QLatin1Char('B')))
        t.chop(1);
    qint64 factor = 1;
    if (t.endsWith(QLatin1Char('K')))
        factor = 1024;
    else if (t.endsWith(QLatin1Char('M')))
        factor = 1024 * 1024;
    else if (t.endsWith(QLatin1Char('G')))
        factor = 1024 * 1024 * 1024;
    if (factor != 1)
        t.chop(1);
    bool ok = false;
    const double n = t.trimmed().toDouble(&ok);
    if (!ok || n <= 0 || n * double(factor) > 1e15)
        return -1;
    return static_cast<qint64>(n * double(factor));
}

QString formatSize(qint64 bytes)
{
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double v = double(bytes);
    int u = 0;
    while (v >= 1024 && u < 4) {
        v /= 1024;
        ++u;
    }
    return u == 0 ? QStringLiteral("%1 bytes").arg(bytes)
                  : QStringLiteral("%1 %2").arg(v, 0, 'f', 1).arg(QLatin1String(units[u]));
}

} // namespace zelkd
