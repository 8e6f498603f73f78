#include "Farm.h"

#include <QJsonDocument>
#include <QRegularExpression>

namespace zelkd::farm {

namespace {

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Home Assistant's documented keys, by the pages of its MQTT sensor and
// button integrations; one row per entity of a printer.
struct Entity
{
    const char* component; // "sensor", "button"
    const char* object;    // the last part of its unique id and topic
    const char* name;
    const char* valueTemplate; // sensors
    const char* deviceClass;
    const char* unit;
    const char* stateClass;
    const char* press; // buttons: the command's payload
};

const Entity Entities[] = {
    {"sensor", "state", "State", "{{ value_json.state }}", nullptr, nullptr, nullptr, nullptr},
    {"sensor", "temperature", "Hot end", "{{ value_json.temperature }}", "temperature", "°C",
     "measurement", nullptr},
    {"sensor", "progress", "Progress", "{{ value_json.progress }}", nullptr, "%", "measurement",
     nullptr},
    {"sensor", "minutes_left", "Time left", "{{ value_json.minutes_left }}", "duration", "min",
     nullptr, nullptr},
    {"button", "pause", "Pause", nullptr, nullptr, nullptr, nullptr, R"({"command":"pause"})"},
    {"button", "resume", "Resume", nullptr, nullptr, nullptr, nullptr, R"({"command":"resume"})"},
    {"button", "abort", "Abort", nullptr, nullptr, nullptr, nullptr, R"({"command":"abort"})"},
};

QString discoveryTopic(const QString& discoveryPrefix, const Topics& topics, const QString& serial,
                       const Entity& e)
{
    // <prefix>/<component>/<node_id>/<object_id>/config, the node being the
    // host: an ACL lets each host write its own printers' configurations.
    return QStringLiteral("%1/%2/zelkd_%3/%4_%5/config")
        .arg(discoveryPrefix, QLatin1String(e.component), topics.host, serial,
             QLatin1String(e.object));
}

} // namespace

bool isTopicSafe(const QString& name)
{
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_-]{1,64}$"));
    return safe.match(name).hasMatch();
}

QString topicSafe(const QString& name)
{
    QString out;
    for (const QChar c : name.left(MaxNameLength))
        out += (c.isLetterOrNumber() && c.unicode() < 128) || c == QLatin1Char('_') ||
                       c == QLatin1Char('-')
                   ? c
                   : QLatin1Char('-');
    return out.isEmpty() ? QStringLiteral("zelkd") : out;
}

QVector<MqttPublication> discoveryConfigs(const QString& discoveryPrefix, const Topics& topics,
                                          const PrinterIdentity& printer,
                                          const QString& zelkdVersion)
{
    const QJsonArray availability{
        QJsonObject{{QStringLiteral("topic"), topics.status()}},
        QJsonObject{{QStringLiteral("topic"), topics.printerStatus(printer.serial)}},
    };
    QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{printer.serial}},
        {QStringLiteral("name"), QStringLiteral("Zelk %1").arg(printer.serial)},
        {QStringLiteral("manufacturer"), QStringLiteral("Corvane")},
        {QStringLiteral("model"), printer.model.isEmpty() ? QStringLiteral("Zelk") : printer.model},
        {QStringLiteral("serial_number"), printer.serial},
        {QStringLiteral("suggested_area"), topics.host},
    };
    if (!printer.firmware.isEmpty())
        device.insert(QStringLiteral("sw_version"), printer.firmware);
    const QJsonObject origin{{QStringLiteral("name"), QStringLiteral("zelkd")},
                             {QStringLiteral("sw_version"), zelkdVersion}};

    QVector<MqttPublication> out;
    for (const Entity& e : Entities) {
        QJsonObject config{
            {QStringLiteral("name"), QLatin1String(e.name)},
            {QStringLiteral("unique_id"),
             QStringLiteral("zelk_%1_%2").arg(printer.serial, QLatin1String(e.object))},
            {QStringLiteral("availability"), availability},
            {QStringLiteral("availability_mode"), QStringLiteral("all")},
            {QStringLiteral("device"), device},
            {QStringLiteral("origin"), origin},
        };
        if (e.press) {
            config.insert(QStringLiteral("command_topic"), topics.printerCommand(printer.serial));
            config.insert(QStringLiteral("payload_press"), QLatin1String(e.press));
        } else {
            config.insert(QStringLiteral("state_topic"), topics.printerState(printer.serial));
            config.insert(QStringLiteral("value_template"), QLatin1String(e.valueTemplate));
        }
        if (e.deviceClass)
            config.insert(QStringLiteral("device_class"), QLatin1String(e.deviceClass));
        if (e.unit)
            config.insert(QStringLiteral("unit_of_measurement"), QString::fromUtf8(e.unit));
        if (e.stateClass)
            config.insert(QStringLiteral("state_class"), QLatin1String(e.stateClass));
        out.append({discoveryTopic(discoveryPrefix, topics, printer.serial, e),
                    compact(config),
                    true,
                    1,
                    {},
                    {}});
    }
    return out;
}

QStringList discoveryTopics(const QString& discoveryPrefix, const Topics& topics,
                            const QString& serial)
{
    QStringList out;
    for (const Entity& e : Entities)
        out.append(discoveryTopic(discoveryPrefix, topics, serial, e));
    return out;
}

// --- the table

FarmTable::FarmTable(QString p) : prefix(std::move(p)) {}

QStringList FarmTable::filters() const
{
    return {prefix + QStringLiteral("/+/status"), prefix + QStringLiteral("/+/printer/+/status"),
            prefix + QStringLiteral("/+/printer/+/state")};
}

bool FarmTable::apply(const MqttMessage& message, Change& change)
{
    if (!message.topic.startsWith(prefix + QLatin1Char('/')))
        return false;
    const QStringList levels = message.topic.mid(prefix.size() + 1).split(QLatin1Char('/'));
    const bool hostStatus = levels.size() == 2 && levels[1] == QLatin1String("status");
    const bool printerTopic =
        levels.size() == 4 && levels[1] == QLatin1String("printer") &&
        (levels[3] == QLatin1String("status") || levels[3] == QLatin1String("state"));
    if ((!hostStatus && !printerTopic) || levels[0].isEmpty())
        return false;
    change = Change{levels[0], printerTopic ? levels[2] : QString(), false};
    const bool empty = message.payload.isEmpty();

    QMutexLocker lock(&mutex);
    if (hostStatus) {
        if (empty) {
            // Cleared: a host gone for good, printers and all.
            change.removed = true;
            return hosts.remove(change.host) > 0;
        }
        Host& h = hosts[change.host];
        const bool online = message.payload == "online";
        const bool changed = !h.known || h.online != online;
        h.known = true;
        h.online = online;
        return changed;
    }
    if (empty) {
        // A forgotten printer: its topics are cleared one by one.
        auto host = hosts.find(change.host);
        if (host == hosts.end() || !host->printers.contains(change.printer))
            return false;
        Printer& p = host->printers[change.printer];
        if (levels[3] == QLatin1String("state"))
            p.stateKnown = false, p.state = QJsonObject();
        else
            p.online = false;
        if (!p.stateKnown) {
            host->printers.remove(change.printer);
            change.removed = true;
        }
        return true;
    }
    Printer& p = hosts[change.host].printers[change.printer];
    if (levels[3] == QLatin1String("status")) {
        const bool online = message.payload == "online";
        const bool changed = p.online != online;
        p.online = online;
        return changed;
    }
    const QJsonObject state = QJsonDocument::fromJson(message.payload).object();
    if (state.isEmpty())
        return false;
    // The time alone changes on a repeat while printing: not a change.
    QJsonObject before = p.state, after = state;
    before.remove(QStringLiteral("time"));
    after.remove(QStringLiteral("time"));
    const bool changed = !p.stateKnown || before != after;
    p.state = state;
    p.stateKnown = true;
    return changed;
}

QJsonObject FarmTable::rowJson(const QString& host, const Host& h, const QString& printer,
                               const Printer& p) const
{
    QJsonObject o = p.state;
    o.insert(QStringLiteral("host"), host);
    o.insert(QStringLiteral("printer"), printer);
    o.insert(QStringLiteral("online"), h.online && p.online);
    for (const char* key : {"state", "status", "temperature", "progress", "minutes_left", "file"})
        if (!o.contains(QLatin1String(key)))
            o.insert(QLatin1String(key), QJsonValue());
    return o;
}

QJsonObject FarmTable::printerJson(const QString& host, const QString& printer) const
{
    QMutexLocker lock(&mutex);
    const auto h = hosts.constFind(host);
    if (h == hosts.constEnd() || !h->printers.contains(printer))
        return {};
    return rowJson(host, *h, printer, h->printers.value(printer));
}

QJsonObject FarmTable::hostJson(const QString& host) const
{
    QMutexLocker lock(&mutex);
    const auto h = hosts.constFind(host);
    QJsonArray printers;
    if (h != hosts.constEnd())
        for (auto p = h->printers.constBegin(); p != h->printers.constEnd(); ++p)
            printers.append(rowJson(host, *h, p.key(), *p));
    return QJsonObject{{QStringLiteral("host"), host},
                       {QStringLiteral("online"), h != hosts.constEnd() && h->online},
                       {QStringLiteral("printers"), printers}};
}

QJsonArray FarmTable::printersJson() const
{
    QMutexLocker lock(&mutex);
    QJsonArray out;
    for (auto h = hosts.constBegin(); h != hosts.constEnd(); ++h)
        for (auto p = h->printers.constBegin(); p != h->printers.constEnd(); ++p)
            out.append(rowJson(h.key(), *h, p.key(), *p));
    return out;
}

int FarmTable::printerCount() const
{
    QMutexLocker lock(&mutex);
    int n = 0;
    for (const Host& h : hosts)
        n += h.printers.size();
    return n;
}

} // namespace zelkd::farm
