#pragma once

#include "MqttClient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// A farm: zelkd hosts that publish their printers on one MQTT broker, and
// what reads them (zelkd's own farm view, zelkctl farm). The topic layout
// lives here alone, so that publisher and readers cannot drift apart:
//
//   PREFIX/HOST/status                         online|offline, retained (will: offline)
//   PREFIX/HOST/command, PREFIX/HOST/reply     host commands (forget) and their replies
//   PREFIX/HOST/printer/SERIAL/status          online|offline, retained
//   PREFIX/HOST/printer/SERIAL/state           JSON, retained
//   PREFIX/HOST/printer/SERIAL/event/NAME      JSON, not retained
//   PREFIX/HOST/printer/SERIAL/command         JSON commands in
//   PREFIX/HOST/printer/SERIAL/reply[/...]     replies (MQTT 5: the request's response topic)
//   DISCOVERY/{sensor,button}/zelkd_HOST/SERIAL_OBJECT/config   Home Assistant, retained
namespace zelkd::farm {

// What the state and event payloads say of their own layout.
constexpr int FormatVersion = 1;
constexpr int MaxNameLength = 64;

// A host's or printer's name as one topic level (and a Home Assistant id):
// [A-Za-z0-9_-] only.
bool isTopicSafe(const QString& name);
// `name` with everything else turned into '-', cut to MaxNameLength.
QString topicSafe(const QString& name);

struct Topics
{
    QString prefix; // "zelk"
    QString host;   // this host's name in the farm

    QString base() const { return prefix + QLatin1Char('/') + host; }
    QString status() const { return base() + QStringLiteral("/status"); }
    QString command() const { return base() + QStringLiteral("/command"); }
    QString reply() const { return base() + QStringLiteral("/reply"); }
    QString printer(const QString& serial) const
    {
        return base() + QStringLiteral("/printer/") + serial;
    }
    QString printerStatus(const QString& s) const { return printer(s) + QStringLiteral("/status"); }
    QString printerState(const QString& s) const { return printer(s) + QStringLiteral("/state"); }
    QString printerEvent(const QString& s, const QString& event) const
    {
        return printer(s) + QStringLiteral("/event/") + event;
    }
    QString printerCommand(const QString& s) const
    {
        return printer(s) + QStringLiteral("/command");
    }
    QString printerReply(const QString& s) const { return printer(s) + QStringLiteral("/reply"); }
};

// The Home Assistant discovery configurations of one printer: sensors for
// its state, temperature, progress and minutes left, buttons for pause,
// resume and abort; one device per printer (its serial number), available
// while both its host and the printer are (availability_mode all).
struct PrinterIdentity
{
    QString serial;
    QString model;
    QString firmware;
};
QVector<MqttPublication> discoveryConfigs(const QString& discoveryPrefix, const Topics& topics,
                                          const PrinterIdentity& printer,
                                          const QString& zelkdVersion);
// The topics discoveryConfigs() publishes on, for clearing them.
QStringList discoveryTopics(const QString& discoveryPrefix, const Topics& topics,
                            const QString& serial);

// The farm as its retained topics say it, for the readers. Thread-safe.
class FarmTable
{
public:
    explicit FarmTable(QString prefix);

    // The subscriptions that feed it.
    QStringList filters() const;

    struct Change
    {
        QString host;
        QString printer; // empty: the host's own status changed
        bool removed = false;
    };
    // Takes a message of one of filters(); false when it changed nothing
    // (or is not the farm's).
    bool apply(const MqttMessage& message, Change& change);

    // One printer as readers show it: its state's fields plus "host",
    // "printer" and "online" (its host and the printer both online).
    QJsonObject printerJson(const QString& host, const QString& printer) const;
    QJsonObject hostJson(const QString& host) const;
    // Every printer of every host, sorted by host and printer.
    QJsonArray printersJson() const;
    int printerCount() const;

private:
    struct Printer
    {
        bool online = false;
        bool stateKnown = false;
        QJsonObject state;
    };
    struct Host
    {
        bool online = false;
        bool known = false; // its status topic holds something
        QMap<QString, Printer> printers;
    };
    QJsonObject rowJson(const QString& host, const Host& h, const QString& printer,
                        const Printer& p) const;

    const QString prefix;
    mutable QMutex mutex; // guards hosts
    QMap<QString, Host> hosts;
};

} // namespace zelkd::farm
