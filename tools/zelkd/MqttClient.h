#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

namespace zelkd {

// Where and how to reach an MQTT broker.
struct MqttOptions
{
    QString host;
    quint16 port = 1883;
    QString caFile; // PEM; set: TLS, the broker's certificate checked against it
    QString user;
    QByteArray password;
    QString clientId;
    int keepaliveS = 60;
    // The last will: published by the broker when the connection dies
    // without a DISCONNECT (a killed process, a vanished machine).
    QString willTopic;
    QByteArray willPayload;
    QByteArray threadName = "mqtt";
    // Messages larger than this are not wanted (MQTT 5 asks the broker not
    // to send them; with 3.1.1 they arrive and are refused by size).
    int maximumPacket = 1024 * 1024;
};

struct MqttMessage
{
    QString topic;
    QByteArray payload;
    bool retained = false;
    // MQTT 5 request/response: where the answer goes and what it carries
    // back; empty otherwise.
    QString responseTopic;
    QByteArray correlation;
};

struct MqttPublication
{
    QString topic;
    QByteArray payload;
    bool retain = false;
    int qos = 0;
    QString responseTopic; // MQTT 5 only
    QByteArray correlation;
};

// One connection to a broker through libmosquitto, on a thread of its own
// (named by MqttOptions::threadName) that runs a Qt event loop: the
// library's socket is watched there and every call into the library is made
// there, so the library is used single-threaded and nothing of it blocks the
// owner's thread (name lookups and connects to a broker that is gone
// included). The connection is made again after every loss, MQTT 5 first and
// 3.1.1 when the broker refuses 5, with a growing pause (at most
// MaxRetryMs); subscriptions are renewed on every connect.
//
// Lives on (and signals on) the thread that made it. publish() and
// subscribe() may be called from that thread at any time: while the broker
// is away, publications are dropped (the owner republishes its state on
// connected()).
class MqttClient : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRetryMs = 10000;

    explicit MqttClient(const MqttOptions& options, QObject* parent = nullptr);
    ~MqttClient() override; // stop()

    void start();
    // Publishes `last` (QoS 1, waiting up to `waitMs` for the broker to take
    // them), disconnects cleanly (the will is not sent) and ends the thread.
    // Idempotent.
    void stop(const QVector<MqttPublication>& last = {}, int waitMs = 2000);

    // Returns a number that published() reports for a QoS 1 publication, or
    // 0 when it could not be sent (not connected, refused locally).
    int publish(const MqttPublication& publication);
    // Filters subscribed at QoS 0 on this and every later connection.
    void subscribe(const QStringList& filters);

    bool isConnected() const { return up; }
    bool isMqtt5() const { return v5; }
    const MqttOptions& options() const { return opts; }

    // libmosquitto's error text.
    static QString errorText(int code);
    // A topic filter or name is valid for a publication (no wildcards, UTF-8).
    static bool isValidTopic(const QString& topic);

signals:
    void connected(bool mqtt5);
    void disconnected(const QString& why);
    // Every subscription of a connect was acknowledged (retained messages of
    // the subscribed topics are on their way, or here).
    void subscribed();
    void message(const zelkd::MqttMessage& message);
    // The broker's answer to a QoS 1 publication: 0 taken, else the reason
    // code (0x87 not authorized: the broker's ACL refused it).
    void published(int id, int reasonCode);

private:
    struct Link;
    friend struct Link;
    const MqttOptions opts;
    Link* link = nullptr; // lives on the client's thread
    QThread* thread = nullptr;
    QStringList filters; // every subscription asked for, for a link yet to come
    bool up = false;
    bool v5 = true;
    int nextId = 1;
};

} // namespace zelkd

Q_DECLARE_METATYPE(zelkd::MqttMessage)
