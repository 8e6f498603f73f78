// zelkctl farm: every printer of every zelkd host of a farm, from its MQTT
// broker, and commands to one of them (pause, resume, abort, forget).
//
// The broker and the operator's account come from a file
// ($XDG_CONFIG_HOME/zelkctl/farm.conf, or ZELK_FARM_CONFIG) or from the
// environment (ZELK_FARM_BROKER, ZELK_FARM_USER, ZELK_FARM_PASSWORD,
// ZELK_FARM_CA), never from the command line, which every user of the
// machine can read; --broker names the broker alone. Without either, the
// local zelkd's broker settings are used.
#include "Console.h"
#include "Subcommand.h"

#include <Farm.h>
#include <MqttClient.h>
#include <Settings.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <functional>

namespace zelkctl {

namespace {

// Retained messages come right after a subscription is acknowledged; the
// listing is complete once the broker has been quiet this long.
constexpr int QuietMs = 300;
constexpr int ConnectWaitMs = 15000;
// Longer than zelkd gives a printer to answer a command (20 s).
constexpr int ReplyWaitMs = 30000;
const int NotAuthorized = 0x87;

struct Account
{
    zelkd::MqttOptions options;
    QString prefix = QStringLiteral("zelk");
    QString discoveryPrefix = QStringLiteral("homeassistant");
    QString broker; // as the user gave it, for messages
};

// "mqtt://host:port" or "mqtts://host:port" into `o`; false when it is not one.
bool parseBroker(const QString& text, Account& a, QString& why)
{
    const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("mqtt://") + text);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")) ||
        (!url.path().isEmpty() && url.path() != QLatin1String("/"))) {
        why = QStringLiteral("bad broker '%1': want mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
                  .arg(text);
        return false;
    }
    a.options.host = url.host();
    a.options.port = quint16(url.port(scheme == QLatin1String("mqtts") ? 8883 : 1883));
    if (scheme == QLatin1String("mqtts") && a.options.caFile.isEmpty())
        a.options.caFile = QStringLiteral("/etc/ssl/certs/ca-certificates.crt");
    if (scheme == QLatin1String("mqtt"))
        a.options.caFile.clear();
    a.broker = QStringLiteral("%1://%2:%3").arg(scheme, a.options.host).arg(a.options.port);
    return true;
}

bool loadAccount(const Invocation& inv, Account& a, QString& why)
{
    QString broker;
    // The local zelkd's broker, when nothing else names one: its user's
    // own, else the machine's service.
    for (const char* which : {"--user", "--system"}) {
        QCommandLineParser parser;
        zelkd::addSettingsOptions(parser);
        parser.parse({QStringLiteral("zelkctl"), QLatin1String(which)});
        zelkd::Settings s;
        QString ignored;
        if (broker.isEmpty() && zelkd::loadSettings(parser, s, ignored) && s.useMqtt()) {
            broker = QStringLiteral("%1://%2:%3")
                         .arg(s.mqttTlsCa.isEmpty() ? "mqtt" : "mqtts", s.mqttHost)
                         .arg(s.mqttPort);
            a.options.caFile = s.mqttTlsCa;
            a.prefix = s.mqttTopicPrefix;
            a.discoveryPrefix = s.mqttDiscoveryPrefix;
        }
    }
    const QString file =
        qEnvironmentVariableIsSet("ZELK_FARM_CONFIG")
            ? qEnvironmentVariable("ZELK_FARM_CONFIG")
            : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                  QStringLiteral("/zelkctl/farm.conf");
    if (QFileInfo(file).isFile()) {
        const QSettings ini(file, QSettings::IniFormat);
        if (ini.status() != QSettings::NoError) {
            why = QStringLiteral("%1 cannot be parsed").arg(file);
            return false;
        }
        auto value = [&ini](const char* key) { return ini.value(QLatin1String(key)).toString(); };
        if (!value("broker").isEmpty())
            broker = value("broker");
        if (!value("ca_file").isEmpty())
            a.options.caFile = value("ca_file");
        a.options.user = value("user");
        a.options.password = value("password").toUtf8();
        if (!value("topic_prefix").isEmpty())
            a.prefix = value("topic_prefix");
        if (!value("discovery_prefix").isEmpty())
            a.discoveryPrefix = value("discovery_prefix");
        if (!a.options.password.isEmpty() && QFileInfo(file).permission(QFile::ReadOther))
            inv.tell(QStringLiteral("%1 holds a pass phrase and every user can read it (chmod "
                                    "600 it)")
                         .arg(file));
    }
    auto env = [](const char* name) { return qEnvironmentVariable(name); };
    if (!env("ZELK_FARM_BROKER").isEmpty())
        broker = env("ZELK_FARM_BROKER");
    if (!env("ZELK_FARM_USER").isEmpty())
        a.options.user = env("ZELK_FARM_USER");
    if (qEnvironmentVariableIsSet("ZELK_FARM_PASSWORD"))
        a.options.password = env("ZELK_FARM_PASSWORD").toUtf8();
    if (!env("ZELK_FARM_CA").isEmpty())
        a.options.caFile = env("ZELK_FARM_CA");
    if (inv.values.contains(QStringLiteral("--broker")))
        broker = inv.value("--broker");
    if (broker.isEmpty())
        broker = QStringLiteral("mqtt://localhost:1883");
    const QString ca = a.options.caFile;
    if (!parseBroker(broker, a, why))
        return false;
    if (broker.startsWith(QLatin1String("mqtts")) && !ca.isEmpty())
        a.options.caFile = ca;
    a.options.clientId = QStringLiteral("zelkctl-%1-%2")
                             .arg(QCoreApplication::applicationPid())
                             .arg(QRandomGenerator::global()->generate() % 100000);
    a.options.keepaliveS = 30;
    a.options.threadName = "zelkctl-mqtt";
    return true;
}

// A session with the broker for one subcommand: connects, subscribes,
// gathers the retained state, then hands over to the subcommand.
class Farm
{
public:
    Farm(const Invocation& invocation, const Account& a)
        : inv(invocation), account(a), client(a.options), table(a.prefix)
    {
        QObject::connect(&client, &zelkd::MqttClient::disconnected, &loop,
                         [this](const QString& why) { trouble = why; });
        QObject::connect(&client, &zelkd::MqttClient::message, &loop,
                         [this](const zelkd::MqttMessage& m) {
                             quiet.start();
                             onMessage(m);
                         });
        QObject::connect(&client, &zelkd::MqttClient::subscribed, &loop, [this] { quiet.start(); });
        quiet.setSingleShot(true);
        quiet.setInterval(QuietMs);
        QObject::connect(&quiet, &QTimer::timeout, &loop, [this] {
            if (!settled) {
                settled = true;
                onSettled();
            }
        });
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, [this] {
            finish(NoPrinter,
                   settled
                       ? QStringLiteral("no answer from %1 in time").arg(what)
                       : QStringLiteral("cannot reach the broker %1%2")
                             .arg(account.broker,
                                  trouble.isEmpty() ? QString() : QStringLiteral(": ") + trouble));
        });
        QObject::connect(&interrupt, &QTimer::timeout, &loop, [this] {
            if (const int s = Interrupt::signal())
                finish(watching ? Success : Interrupted + s, QString());
        });
        Interrupt::install();
        interrupt.start(100);
    }
    virtual ~Farm() { client.stop(); }

    int run(const QStringList& filters)
    {
        client.subscribe(filters);
        client.start();
        deadline.start(ConnectWaitMs);
        return loop.exec();
    }

protected:
    virtual void onMessage(const zelkd::MqttMessage& m)
    {
        zelkd::farm::FarmTable::Change change;
        if (table.apply(m, change) && settled)
            onChange(change);
    }
    virtual void onSettled() = 0;
    virtual void onChange(const zelkd::farm::FarmTable::Change&) {}

    void finish(int code, const QString& message)
    {
        if (!message.isEmpty())
            inv.tell(message);
        loop.exit(code);
    }

    const Invocation& inv;
    const Account account;
    zelkd::MqttClient client;
    zelkd::farm::FarmTable table;
    QEventLoop loop;
    QTimer quiet, deadline, interrupt;
    QString trouble;
    QString what = QStringLiteral("the broker");
    bool settled = false;
    bool watching = false;
};

QString cell(const QJsonValue& v, const char* unit = "")
{
    if (v.isNull() || v.isUndefined())
        return QStringLiteral("-");
    if (v.isDouble())
        return QString::number(v.toDouble()) + QString::fromUtf8(unit);
    return v.toString();
}

QString line(const QJsonObject& row)
{
    return QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
        .arg(row.value(QLatin1String("host")).toString().leftJustified(12),
             row.value(QLatin1String("printer")).toString().leftJustified(12),
             cell(row.value(QLatin1String("state"))).leftJustified(16),
             cell(row.value(QLatin1String("temperature")), "°C").leftJustified(6),
             cell(row.value(QLatin1String("progress")), "%").leftJustified(5),
             cell(row.value(QLatin1String("minutes_left")), " min").leftJustified(9),
             row.value(QLatin1String("online")).toBool() ? QStringLiteral("online")
                                                         : QStringLiteral("offline"));
}

const QString Header =
    QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
        .arg(QStringLiteral("HOST").leftJustified(12), QStringLiteral("PRINTER").leftJustified(12),
             QStringLiteral("STATE").leftJustified(16), QStringLiteral("TEMP").leftJustified(6),
             QStringLiteral("DONE").leftJustified(5), QStringLiteral("LEFT").leftJustified(9),
             QStringLiteral("ONLINE"));

class Listing : public Farm
{
public:
    using Farm::Farm;
    bool json = false;

private:
    void onSettled() override
    {
        deadline.stop();
        watching = inv.has("--watch");
        terminal = watching && !json && isTerminal(stdout);
        draw();
        if (!watching)
            finish(Success, QString());
    }

    void onChange(const zelkd::farm::FarmTable::Change& c) override
    {
        if (terminal)
            return draw();
        // Piped: each change once, as a line (or an object).
        QJsonArray rows = table.hostJson(c.host).value(QLatin1String("printers")).toArray();
        for (const QJsonValue& v : rows) {
            const QJsonObject row = v.toObject();
            if (!c.printer.isEmpty() && row.value(QLatin1String("printer")).toString() != c.printer)
                continue;
            print(stdout, json
                              ? QString::fromUtf8(QJsonDocument(row).toJson(QJsonDocument::Compact))
                              : line(row));
        }
    }

    void draw()
    {
        const QJsonArray rows = table.printersJson();
        if (json && !watching)
            return print(
                stdout,
                QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Indented)).trimmed());
        if (json) {
            for (const QJsonValue& row : rows)
                print(stdout, QString::fromUtf8(
                                  QJsonDocument(row.toObject()).toJson(QJsonDocument::Compact)));
            return;
        }
        QStringList out{Header};
        for (const QJsonValue& row : rows)
            out.append(line(row.toObject()));
        if (terminal) {
            // Back over what was drawn, each line cleared as it is rewritten.
            QString text = drawn > 0 ? QStringLiteral("\033[%1A").arg(drawn) : QString();
            for (const QString& l : out)
                text += QStringLiteral("\r%1\033[K\n").arg(l);
            for (int extra = int(out.size()); extra < drawn; ++extra)
                text += QStringLiteral("\033[K\n");
            std::fputs(text.toUtf8().constData(), stdout);
            std::fflush(stdout);
            drawn = std::max(drawn, int(out.size()));
            return;
        }
        for (const QString& l : out)
            print(stdout, l);
    }

    bool terminal = false;
    int drawn = 0;
};

// HOST/PRINTER into its parts.
bool target(const Invocation& inv, QString& host, QString& printer)
{
    const QStringList parts = inv.arguments.value(0).split(QLatin1Char('/'));
    if (parts.size() != 2 || !zelkd::farm::isTopicSafe(parts[0]) ||
        !zelkd::farm::isTopicSafe(parts[1]))
        return false;
    host = parts[0];
    printer = parts[1];
    return true;
}

// A command to one printer (or, for forget, its host): sent once the
// retained state says who is there, answered on a response topic of its
// own (MQTT 5) or matched by its request id (3.1.1).
class Command : public Farm
{
public:
    Command(const Invocation& invocation, const Account& a, const QString& host,
            const QString& serial)
        : Farm(invocation, a), topics{a.prefix, host}, printer(serial)
    {
        QObject::connect(&client, &zelkd::MqttClient::published, &loop, [this](int n, int rc) {
            if (!pending.contains(n))
                return;
            pending.remove(n);
            if (rc == NotAuthorized)
                finish(PrinterFailure,
                       QStringLiteral("the broker refused it: this account (%1) may not %2")
                           .arg(account.options.user.isEmpty() ? QStringLiteral("anonymous")
                                                               : account.options.user,
                                name()));
            else if (rc >= 0x80 || rc < 0) // below 0x80: taken (0x10: nobody listens)
                finish(PrinterFailure,
                       QStringLiteral("the broker did not take it (reason %1)").arg(rc));
            else if (pending.isEmpty() && !waitForReply)
                done();
        });
        what = QStringLiteral("%1/%2").arg(topics.host, this->printer);
        id = QString::number(QRandomGenerator::global()->generate64(), 16);
    }

    QStringList filters() const
    {
        return {topics.status(), topics.printerStatus(printer), topics.printerState(printer),
                replyBase() + QStringLiteral("/#")};
    }

    bool forget = false;

private:
    QString name() const
    {
        return forget ? QStringLiteral("forget printers") : QStringLiteral("command printers");
    }
    // MQTT 5 answers on a topic of this session's own (under the host's
    // reply topic, where its ACL lets it write); 3.1.1 on the shared reply
    // topic. Either way the answer carries the request id back.
    QString replyBase() const { return forget ? topics.reply() : topics.printerReply(printer); }

    void onMessage(const zelkd::MqttMessage& m) override
    {
        Farm::onMessage(m);
        if (!m.topic.startsWith(replyBase()))
            return;
        const QJsonObject r = QJsonDocument::fromJson(m.payload).object();
        if (r.value(QLatin1String("request_id")).toString() != id)
            return;
        if (r.value(QLatin1String("ok")).toBool())
            return done();
        finish(PrinterFailure,
               QStringLiteral("%1 refused %2: %3 (%4)")
                   .arg(what, inv.command.mid(5), r.value(QLatin1String("reason")).toString(),
                        r.value(QLatin1String("outcome")).toString()));
    }

    void onSettled() override
    {
        const QJsonObject host = table.hostJson(topics.host);
        const QJsonObject row = table.printerJson(topics.host, printer);
        const bool hostOnline = host.value(QLatin1String("online")).toBool();
        if (forget) {
            if (row.value(QLatin1String("online")).toBool())
                return finish(
                    PrinterFailure,
                    QStringLiteral("%1 is online: unplug it before forgetting it").arg(what));
            if (hostOnline) {
                waitForReply = true;
                send(topics.command(),
                     QJsonObject{{QStringLiteral("command"), QStringLiteral("forget")},
                                 {QStringLiteral("printer"), printer}});
            }
            // Cleared here too: a host that is gone cannot do it.
            QStringList cleared{topics.printerStatus(printer), topics.printerState(printer)};
            cleared += zelkd::farm::discoveryTopics(account.discoveryPrefix, topics, printer);
            for (const QString& t : cleared)
                pending.insert(client.publish({t, QByteArray(), true, 1, {}, {}}));
            pending.remove(0);
            if (pending.isEmpty() && !waitForReply)
                done();
            return;
        }
        if (row.isEmpty())
            return finish(NoPrinter, QStringLiteral("no printer %1 in the farm").arg(what));
        if (!hostOnline || !row.value(QLatin1String("online")).toBool())
            return finish(NoPrinter, QStringLiteral("%1 is offline").arg(what));
        waitForReply = true;
        send(topics.printerCommand(printer),
             QJsonObject{{QStringLiteral("command"), inv.command.mid(5)}});
    }

    void send(const QString& topic, QJsonObject body)
    {
        body.insert(QStringLiteral("request_id"), id);
        const QString responseTopic =
            client.isMqtt5() ? replyBase() + QLatin1Char('/') + account.options.clientId
                             : QString();
        const int n = client.publish({topic, QJsonDocument(body).toJson(QJsonDocument::Compact),
                                      false, 1, responseTopic, id.toUtf8()});
        if (n == 0)
            return finish(NoPrinter, QStringLiteral("the broker went away"));
        pending.insert(n);
        deadline.start(ReplyWaitMs);
    }

    void done()
    {
        print(stdout, forget ? QStringLiteral("%1 forgotten").arg(what)
                             : QStringLiteral("%1: %2 done").arg(what, inv.command.mid(5)));
        finish(Success, QString());
    }

    const zelkd::farm::Topics topics;
    const QString printer;
    QString id;
    QSet<int> pending;
    bool waitForReply = false;
};

} // namespace

int runFarm(const Invocation& inv)
{
    Account account;
    QString why;
    if (!loadAccount(inv, account, why))
        return inv.fail(UsageError, why);
    Listing listing(inv, account);
    listing.json = inv.has("--json");
    return listing.run(zelkd::farm::FarmTable(account.prefix).filters());
}

int runFarmCommand(const Invocation& inv)
{
    Account account;
    QString why, host, printer;
    if (!loadAccount(inv, account, why))
        return inv.fail(UsageError, why);
    if (!target(inv, host, printer))
        return inv.fail(UsageError, QStringLiteral("want HOST/PRINTER (e.g. shop-a/ZK1-000101), "
                                                   "as zelkctl farm lists them"));
    Command command(inv, account, host, printer);
    command.forget = inv.command == QLatin1String("farm forget");
    return command.run(command.filters());
}

} // namespace zelkctl
