#include "FarmPublisher.h"

#include "FileStore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <cmath>

Q_LOGGING_CATEGORY(FarmLog, "zelkd.farm")

namespace zelkd {

namespace {

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QJsonObject parse(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

// The hub's events as the farm names them (printer hosts name theirs
// PrintStarted, PrintDone...: these are the same, in the topics' style).
const QHash<QString, QString>& eventNames()
{
    static const QHash<QString, QString> names{
        {QStringLiteral("started"), QStringLiteral("print_started")},
        {QStringLiteral("finished"), QStringLiteral("print_finished")},
        {QStringLiteral("failed"), QStringLiteral("print_failed")},
        {QStringLiteral("cancelled"), QStringLiteral("print_cancelled")},
        {QStringLiteral("paused"), QStringLiteral("print_paused")},
        {QStringLiteral("resumed"), QStringLiteral("print_resumed")},
        {QStringLiteral("filament_out"), QStringLiteral("filament_out")},
        {QStringLiteral("plugged"), QStringLiteral("printer_plugged")},
        {QStringLiteral("unplugged"), QStringLiteral("printer_unplugged")},
        {QStringLiteral("firmware_updated"), QStringLiteral("firmware_updated")},
    };
    return names;
}

// Until the printer has said its serial number, the hub knows it by its
// address: it is not published (its topics would change on a replug).
bool isSerial(const QString& id)
{
    return farm::isTopicSafe(id);
}

const char* outcomeOf(Result::Code code)
{
    switch (code) {
    case Result::Ok:
        return "success";
    case Result::NoPrinter:
        return "no_printer";
    case Result::Conflict:
        return "conflict";
    case Result::Failed:
        return "failed";
    case Result::Timeout:
        return "timeout";
    }
    return "failed";
}

} // namespace

struct FarmPublisher::Request
{
    QString serial; // empty: a command for the host
    QString command;
    QJsonValue id; // the client's request_id, echoed
    QString replyTopic;
    QByteArray correlation;
};

// The commands the farm takes, one row each; a row checks its own fields
// and hands the command to the hub's command path.
struct Commands
{
    using Reply = PrinterHub::Reply;
    struct Row
    {
        const char* name;
        bool hostLevel;
        // Returns a refusal (outcome, reason) or runs the command.
        QPair<QString, QString> (*run)(FarmPublisher& f, const QString& serial,
                                       const QJsonObject& body, Reply reply);
    };

    static QPair<QString, QString> pause(FarmPublisher& f, const QString& s, const QJsonObject&,
                                         Reply r)
    {
        f.hub->pause(s, QStringLiteral("pause"), r);
        return {};
    }
    static QPair<QString, QString> resume(FarmPublisher& f, const QString& s, const QJsonObject&,
                                          Reply r)
    {
        f.hub->pause(s, QStringLiteral("resume"), r);
        return {};
    }
    static QPair<QString, QString> abort(FarmPublisher& f, const QString& s, const QJsonObject&,
                                         Reply r)
    {
        f.hub->cancel(s, r);
        return {};
    }
    static QPair<QString, QString> load(FarmPublisher& f, const QString& s, const QJsonObject&,
                                        Reply r)
    {
        f.hub->filament(s, true, r);
        return {};
    }
    static QPair<QString, QString> unload(FarmPublisher& f, const QString& s, const QJsonObject&,
                                          Reply r)
    {
        f.hub->filament(s, false, r);
        return {};
    }
    static QPair<QString, QString> print(FarmPublisher& f, const QString& s, const QJsonObject& b,
                                         Reply r)
    {
        const QJsonValue name = b.value(QLatin1String("file"));
        if (!name.isString() || name.toString().isEmpty())
            return {QStringLiteral("malformed"),
                    QStringLiteral("print needs \"file\": the name of an uploaded file")};
        const std::optional<StoredFile> file = f.files->find(name.toString());
        if (!file)
            return {QStringLiteral("no_file"),
                    QStringLiteral("no file %1 was uploaded to this host").arg(name.toString())};
        f.hub->print(s, *file, r);
        return {};
    }
    static QPair<QString, QString> forget(FarmPublisher& f, const QString&, const QJsonObject& b,
                                          Reply r)
    {
        const QString serial = b.value(QLatin1String("printer")).toString();
        if (!isSerial(serial))
            return {QStringLiteral("malformed"),
                    QStringLiteral("forget needs \"printer\": a printer's serial number")};
        f.forget(serial, [r](bool ok, const QString& why) {
            r(ok ? Result::ok() : Result{Result::Conflict, why});
        });
        return {};
    }

    static const Row* find(const QString& name)
    {
        static const Row rows[] = {
            {"pause", false, pause},
            {"resume", false, resume},
            {"abort", false, abort},
            {"load_filament", false, load},
            {"unload_filament", false, unload},
            {"print", false, print},
            {"forget", true, forget},
        };
        for (const Row& row : rows)
            if (name == QLatin1String(row.name))
                return &row;
        return nullptr;
    }
};

FarmPublisher::FarmPublisher(const Settings& s, PrinterHub* h, FileStore* f, EventBus* b,
                             QObject* parent)
    : QObject(parent), settings(s), hub(h), files(f), bus(b), topics{s.mqttTopicPrefix, s.farmName},
      client([&s, this] {
          MqttOptions o;
          o.host = s.mqttHost;
          o.port = s.mqttPort;
          o.caFile = s.mqttTlsCa;
          o.user = s.mqttUser;
          o.password = s.mqttPassword;
          o.clientId = s.mqttClientId;
          o.keepaliveS = s.mqttKeepaliveS;
          o.willTopic = topics.status();
          o.willPayload = "offline";
          o.threadName = "zelkd-mqtt";
          o.maximumPacket = MaxCommandBytes;
          return o;
      }()),
      table(s.mqttTopicPrefix)
{
    connect(&client, &MqttClient::connected, this, &FarmPublisher::onConnected);
    connect(&client, &MqttClient::disconnected, this, &FarmPublisher::onDisconnected);
    connect(&client, &MqttClient::message, this, &FarmPublisher::onMessage);
    repeat.setInterval(StateRepeatMs);
    connect(&repeat, &QTimer::timeout, this, &FarmPublisher::repeatPrinting);
    reconcileTimer.setSingleShot(true);
    reconcileTimer.setInterval(ReconcileMs);
    connect(&reconcileTimer, &QTimer::timeout, this, &FarmPublisher::reconcile);
    discoveryAgain.setSingleShot(true);
    connect(&discoveryAgain, &QTimer::timeout, this, [this] {
        for (Printer& p : printers)
            if (!p.forgotten) {
                p.discoveryKnown = false;
                publishDiscovery(p);
            }
    });
}

FarmPublisher::~FarmPublisher()
{
    stop();
}

void FarmPublisher::start()
{
    // The bus calls from the publishing thread under its lock: the event
    // is only queued to this object's thread here.
    busHandle = bus->subscribe([this](const Event& e) {
        if (e.type == "printer" || e.type == "temperature" || e.type == "event")
            QMetaObject::invokeMethod(
                this, [this, e] { onBusEvent(e); }, Qt::QueuedConnection);
    });
    client.subscribe(QStringList{topics.printer(QStringLiteral("+")) + QStringLiteral("/command"),
                                 topics.command(),
                                 settings.mqttDiscoveryPrefix + QStringLiteral("/status")} +
                     table.filters());
    client.start();
    repeat.start();
}

void FarmPublisher::stop()
{
    if (busHandle) {
        bus->unsubscribe(busHandle);
        busHandle = 0;
    }
    repeat.stop();
    client.stop({{topics.status(), "offline", true, 1, {}, {}}});
}

QJsonObject FarmPublisher::farmJson() const
{
    return QJsonObject{
        {QStringLiteral("enabled"), true},
        {QStringLiteral("connected"), client.isConnected()},
        {QStringLiteral("broker"),
         QStringLiteral("%1://%2:%3")
             .arg(settings.mqttTlsCa.isEmpty() ? "mqtt" : "mqtts", settings.mqttHost)
             .arg(settings.mqttPort)},
        {QStringLiteral("host"), topics.host},
        {QStringLiteral("printers"), table.printersJson()},
    };
}

// --- what the hub says

void FarmPublisher::onBusEvent(const Event& e)
{
    const QJsonObject o = parse(e.json);
    const QString id = o.value(QLatin1String("printer")).toString();
    if (!isSerial(id))
        return;
    if (e.type == "printer") {
        printerChanged(o);
    } else if (e.type == "temperature") {
        auto it = printers.find(id);
        const int t = int(std::lround(o.value(QLatin1String("actual")).toDouble()));
        if (it != printers.end() && it->attached && t != it->temperature) {
            it->temperature = t;
            publishState(*it, false);
        }
    } else if (eventNames().contains(o.value(QLatin1String("event")).toString())) {
        publishEvent(o);
    }
}

void FarmPublisher::printerChanged(const QJsonObject& o)
{
    const QString serial = o.value(QLatin1String("printer")).toString();
    Printer& p = printers[serial];
    p.serial = serial;
    const bool attached = o.value(QLatin1String("attached")).toBool();
    const bool availability = p.lastEvent.isEmpty() || p.attached != attached;
    if (attached)
        p.forgotten = false; // back again: published again
    p.attached = attached;
    p.lastEvent = o;
    if (attached)
        p.temperature = int(std::lround(o.value(QLatin1String("temperature"))
                                            .toObject()
                                            .value(QLatin1String("tool0"))
                                            .toObject()
                                            .value(QLatin1String("actual"))
                                            .toDouble()));
    const farm::PrinterIdentity identity{serial, o.value(QLatin1String("model")).toString(),
                                         o.value(QLatin1String("firmware")).toString()};
    if (attached &&
        (identity.model != p.identity.model || identity.firmware != p.identity.firmware)) {
        p.identity = identity;
        p.discoveryKnown = false;
    }
    if (p.identity.serial.isEmpty())
        p.identity = identity;
    if (p.forgotten)
        return;
    if (availability)
        publishStatus(p);
    publishState(p, false);
    if (!p.discoveryKnown)
        publishDiscovery(p);
}

void FarmPublisher::publishStatus(const Printer& p)
{
    client.publish(
        {topics.printerStatus(p.serial), p.attached ? "online" : "offline", true, 1, {}, {}});
}

void FarmPublisher::publishState(Printer& p, bool force)
{
    if (p.forgotten || p.lastEvent.isEmpty())
        return;
    const QJsonObject& o = p.lastEvent;
    const QJsonObject state = o.value(QLatin1String("state")).toObject();
    const QJsonObject zelk = state.value(QLatin1String("zelk")).toObject();
    const QJsonObject flags = state.value(QLatin1String("flags")).toObject();
    const QJsonObject job = o.value(QLatin1String("job")).toObject();
    const QString phase =
        job.value(QLatin1String("zelk")).toObject().value(QLatin1String("phase")).toString();
    // The job's file while zelkd's job runs; a print the printer runs
    // without zelkd has no name that zelkd knows.
    const bool ours = phase == QLatin1String("sending") || phase == QLatin1String("sent") ||
                      phase == QLatin1String("waiting-for-button") ||
                      phase == QLatin1String("printing");
    const QJsonValue file = ours ? job.value(QLatin1String("job"))
                                       .toObject()
                                       .value(QLatin1String("file"))
                                       .toObject()
                                       .value(QLatin1String("name"))
                                 : QJsonValue();
    QJsonObject payload{
        {QStringLiteral("format"), farm::FormatVersion},
        {QStringLiteral("host"), topics.host},
        {QStringLiteral("printer"), p.serial},
        {QStringLiteral("serial"), p.serial},
        {QStringLiteral("state"), zelk.value(QLatin1String("state"))},
        {QStringLiteral("status"), zelk.value(QLatin1String("statusLine"))},
        {QStringLiteral("temperature"), p.attached ? QJsonValue(p.temperature) : QJsonValue()},
        {QStringLiteral("progress"), o.value(QLatin1String("progress"))},
        {QStringLiteral("minutes_left"), o.value(QLatin1String("minutesLeft"))},
        {QStringLiteral("file"), file},
        {QStringLiteral("error"), zelk.value(QLatin1String("error"))},
        {QStringLiteral("firmware"), p.identity.firmware},
    };
    p.printing = p.attached && (ours || flags.value(QLatin1String("printing")).toBool() ||
                                flags.value(QLatin1String("paused")).toBool());
    const QByteArray key = compact(payload);
    if (key == p.stateKey && !force)
        return;
    p.stateKey = key;
    payload.insert(QStringLiteral("time"), double(QDateTime::currentSecsSinceEpoch()));
    client.publish({topics.printerState(p.serial), compact(payload), true, 0, {}, {}});
}

void FarmPublisher::publishDiscovery(Printer& p)
{
    if (!client.isConnected())
        return; // published on connect
    for (const MqttPublication& config : farm::discoveryConfigs(
             settings.mqttDiscoveryPrefix, topics, p.identity, QStringLiteral(ZELK_VERSION)))
        client.publish(config);
    p.discoveryKnown = true;
}

void FarmPublisher::publishEvent(const QJsonObject& o)
{
    const QString serial = o.value(QLatin1String("printer")).toString();
    const QString name = eventNames().value(o.value(QLatin1String("event")).toString());
    if (printers.value(serial).forgotten)
        return;
    const QString file = o.value(QLatin1String("file")).toString();
    const QString detail = o.value(QLatin1String("detail")).toString();
    const QJsonObject payload{
        {QStringLiteral("format"), farm::FormatVersion},
        {QStringLiteral("event"), name},
        {QStringLiteral("host"), topics.host},
        {QStringLiteral("printer"), serial},
        {QStringLiteral("time"), double(QDateTime::currentSecsSinceEpoch())},
        {QStringLiteral("file"), file.isEmpty() ? QJsonValue() : QJsonValue(file)},
        {QStringLiteral("detail"), detail.isEmpty() ? QJsonValue() : QJsonValue(detail)},
    };
    client.publish({topics.printerEvent(serial, name), compact(payload), false, 1, {}, {}});
}

void FarmPublisher::publishAll()
{
    client.publish({topics.status(), "online", true, 1, {}, {}});
    for (Printer& p : printers) {
        if (p.forgotten || p.lastEvent.isEmpty())
            continue;
        publishStatus(p);
        publishState(p, true);
        p.discoveryKnown = false;
        publishDiscovery(p);
    }
}

void FarmPublisher::repeatPrinting()
{
    for (Printer& p : printers)
        if (p.printing)
            publishState(p, true);
}

void FarmPublisher::forget(const QString& serial, std::function<void(bool, const QString&)> done)
{
    for (const PrinterSnapshot& s : hub->snapshots())
        if ((s.serial == serial || s.id == serial) && s.attached)
            return done(false, QStringLiteral("the printer %1 is attached to this host: unplug "
                                              "it first")
                                   .arg(serial));
    Printer& p = printers[serial];
    p.serial = serial;
    p.forgotten = true;
    p.stateKey.clear();
    QStringList cleared{topics.printerStatus(serial), topics.printerState(serial)};
    cleared += farm::discoveryTopics(settings.mqttDiscoveryPrefix, topics, serial);
    for (const QString& topic : cleared)
        client.publish({topic, QByteArray(), true, 1, {}, {}});
    qCInfo(FarmLog).noquote() << QStringLiteral("printer %1 forgotten: its retained topics are "
                                                "cleared")
                                     .arg(serial);
    done(true, QString());
}

// --- the broker

void FarmPublisher::onConnected(bool mqtt5)
{
    qCInfo(FarmLog).noquote()
        << QStringLiteral("connected to the broker %1:%2 as %3 (MQTT %4); topics under %5/")
               .arg(settings.mqttHost)
               .arg(settings.mqttPort)
               .arg(settings.mqttClientId, mqtt5 ? QStringLiteral("5") : QStringLiteral("3.1.1"),
                    topics.base());
    everConnected = true;
    lastTrouble.clear();
    publishAll();
    reconcileTimer.start();
}

void FarmPublisher::reconcile()
{
    for (const QString& serial : qAsConst(retainedHere)) {
        const auto it = printers.constFind(serial);
        if (it != printers.constEnd() && (it->attached || it->forgotten))
            continue;
        QJsonObject state = table.printerJson(topics.host, serial);
        if (state.isEmpty())
            continue; // cleared meanwhile
        qCInfo(FarmLog).noquote() << QStringLiteral("printer %1 of an earlier run is not here: "
                                                    "published offline (zelkctl farm forget "
                                                    "%2/%1 clears it)")
                                         .arg(serial, topics.host);
        client.publish({topics.printerStatus(serial), "offline", true, 1, {}, {}});
        for (const char* key : {"host", "online"})
            state.remove(QLatin1String(key));
        state.insert(QStringLiteral("state"), QStringLiteral("Disconnected"));
        state.insert(QStringLiteral("status"), QStringLiteral("Disconnected"));
        state.insert(QStringLiteral("temperature"), QJsonValue());
        state.insert(QStringLiteral("minutes_left"), QJsonValue());
        state.insert(QStringLiteral("file"), QJsonValue());
        state.insert(QStringLiteral("time"), double(QDateTime::currentSecsSinceEpoch()));
        state.insert(QStringLiteral("host"), topics.host);
        client.publish({topics.printerState(serial), compact(state), true, 0, {}, {}});
    }
    retainedHere.clear();
}

void FarmPublisher::onDisconnected(const QString& why)
{
    // While the broker stays away every attempt fails the same way: said
    // once, and again when the reason changes.
    if (why == lastTrouble)
        return;
    lastTrouble = why;
    qCWarning(FarmLog).noquote()
        << QStringLiteral("%1 the broker %2:%3: %4; trying again (the printers are served "
                          "meanwhile)")
               .arg(everConnected ? QStringLiteral("lost") : QStringLiteral("cannot reach"),
                    settings.mqttHost)
               .arg(settings.mqttPort)
               .arg(why);
}

void FarmPublisher::onMessage(const MqttMessage& m)
{
    if (m.topic == settings.mqttDiscoveryPrefix + QStringLiteral("/status")) {
        // Home Assistant (re)started: it wants the configurations again. A
        // little spread, so that a farm's hosts do not all answer at once.
        if (m.payload == "online" && !m.retained)
            discoveryAgain.start(int(QRandomGenerator::global()->bounded(1000)));
        return;
    }
    if (m.topic == topics.command())
        return command(m, QString(), true);
    const QString ours = topics.base() + QStringLiteral("/printer/");
    if (m.topic.startsWith(ours) && m.topic.endsWith(QLatin1String("/command"))) {
        const QString serial = m.topic.mid(ours.size()).section(QLatin1Char('/'), 0, 0);
        return command(m, serial, false);
    }
    farm::FarmTable::Change change;
    const bool changed = table.apply(m, change);
    if (m.retained && change.host == topics.host && !change.printer.isEmpty() &&
        !m.payload.isEmpty())
        retainedHere.insert(change.printer);
    if (!changed)
        return;
    QJsonObject event;
    if (change.printer.isEmpty()) {
        event = table.hostJson(change.host);
    } else {
        const QJsonObject row = table.printerJson(change.host, change.printer);
        event = QJsonObject{
            {QStringLiteral("host"), change.host},
            {QStringLiteral("printers"), row.isEmpty() ? QJsonArray() : QJsonArray{row}}};
    }
    if (change.removed)
        event.insert(QStringLiteral("removed"),
                     change.printer.isEmpty() ? QJsonValue(true) : QJsonValue(change.printer));
    bus->publish({"farm", compact(event)});
}

// --- commands

void FarmPublisher::command(const MqttMessage& m, const QString& serial, bool hostLevel)
{
    Request r;
    r.serial = serial;
    r.correlation = m.correlation;
    r.replyTopic = hostLevel ? topics.reply() : topics.printerReply(serial);
    // An answer goes only under this host's own topics: zelkd relays
    // nothing to where a client points it.
    if (!m.responseTopic.isEmpty()) {
        if (m.responseTopic.startsWith(topics.base() + QLatin1Char('/')) &&
            MqttClient::isValidTopic(m.responseTopic))
            r.replyTopic = m.responseTopic;
        else
            qCWarning(FarmLog).noquote()
                << QStringLiteral("a command on %1 wants its answer on %2, outside %3/: "
                                  "answered on %4")
                       .arg(m.topic, m.responseTopic, topics.base(), r.replyTopic);
    }
    if (m.payload.size() > MaxCommandBytes)
        return reply(r, QStringLiteral("too_large"),
                     QStringLiteral("the command has more than %1 bytes").arg(MaxCommandBytes));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(m.payload, &error);
    if (!doc.isObject())
        return reply(r, QStringLiteral("malformed"),
                     doc.isNull() ? QStringLiteral("not JSON: %1").arg(error.errorString())
                                  : QStringLiteral("not a JSON object"));
    const QJsonObject body = doc.object();
    r.id = body.value(QLatin1String("request_id"));
    if (r.id.isUndefined())
        r.id = QJsonValue();
    if (!r.id.isNull() && !r.id.isDouble() && !(r.id.isString() && r.id.toString().size() <= 256)) {
        r.id = QJsonValue();
        return reply(r, QStringLiteral("malformed"),
                     QStringLiteral("request_id must be a string (at most 256 characters) or a "
                                    "number"));
    }
    r.command = body.value(QLatin1String("command")).toString();
    const Commands::Row* row = Commands::find(r.command);
    if (!row || row->hostLevel != hostLevel)
        return reply(r, QStringLiteral("unknown_command"),
                     r.command.isEmpty()
                         ? QStringLiteral("no \"command\"")
                         : QStringLiteral("no command %1 here (%2)")
                               .arg(r.command.left(64),
                                    hostLevel ? QStringLiteral("forget")
                                              : QStringLiteral("pause, resume, abort, "
                                                               "load_filament, unload_filament, "
                                                               "print")));
    if (!hostLevel) {
        bool known = false;
        for (const PrinterSnapshot& s : hub->snapshots())
            known = known || (s.id == serial && isSerial(serial));
        if (!known)
            return reply(r, QStringLiteral("unknown_printer"),
                         QStringLiteral("no printer %1 on %2").arg(serial.left(64), topics.host));
    }
    const QPair<QString, QString> refusal =
        row->run(*this, serial, body, [this, r](const Result& result) {
            reply(r, QLatin1String(outcomeOf(result.code)), result.message);
        });
    if (!refusal.first.isEmpty())
        reply(r, refusal.first, refusal.second);
}

void FarmPublisher::reply(const Request& r, const QString& outcome, const QString& reason)
{
    const bool ok = outcome == QLatin1String("success");
    const QString what =
        QStringLiteral("%1 for %2 from the broker")
            .arg(r.command.isEmpty() ? QStringLiteral("a command") : r.command.left(64),
                 r.serial.isEmpty() ? topics.host : r.serial.left(64));
    if (ok)
        qCInfo(FarmLog).noquote() << what << "done";
    else
        qCWarning(FarmLog).noquote()
            << QStringLiteral("%1 refused: %2: %3").arg(what, outcome, reason);
    const QJsonObject payload{
        {QStringLiteral("format"), farm::FormatVersion},
        {QStringLiteral("request_id"), r.id},
        {QStringLiteral("command"), r.command.isEmpty() ? QJsonValue() : QJsonValue(r.command)},
        {QStringLiteral("host"), topics.host},
        {QStringLiteral("printer"), r.serial.isEmpty() ? QJsonValue() : QJsonValue(r.serial)},
        {QStringLiteral("ok"), ok},
        {QStringLiteral("outcome"), outcome},
        {QStringLiteral("reason"), reason},
    };
    client.publish({r.replyTopic, compact(payload), false, 1, {}, r.correlation});
}

} // namespace zelkd
