#include "MqttClient.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace zelkd {

namespace {

constexpr int FirstRetryMs = 500;
// A broker that took the TCP connection but says nothing (stopped, or
// overloaded) is given this long to answer the CONNECT.
constexpr int ConnectTimeoutMs = 10000;
constexpr int MiscIntervalMs = 1000;

// mosquitto's property lists are freed on every way out.
struct Properties
{
    mosquitto_property* list = nullptr;
    ~Properties() { mosquitto_property_free_all(&list); }
};

} // namespace

// The part that lives on the connection's thread: the libmosquitto handle,
// its socket's notifiers and the timers. Every libmosquitto call is made
// here, so the library runs unthreaded (no locks of its own are relied on).
// A connection attempt has a fresh handle: destroying it is the one way to
// drop a connection in any state (connecting, TLS handshake, live).
struct MqttClient::Link : QObject
{
    MqttClient* const client; // receives every report, queued
    const MqttOptions opts;
    mosquitto* m = nullptr;
    QSocketNotifier* readable = nullptr;
    QSocketNotifier* writable = nullptr;
    // Children, so that they move to the connection's thread with the link.
    QTimer misc{this}, retry{this}, connectTimeout{this};
    bool v5 = true;
    bool up = false;
    bool dead = false; // the library dropped the socket inside a call
    bool stopping = false;
    int retryMs = FirstRetryMs;
    QString refusal; // the CONNACK's reason, for the disconnect that follows
    QStringList filters;
    int subscribeMid = 0;
    QHash<int, int> pending; // mosquitto mid of a QoS 1 publication -> our id
    int lastWordsLeft = 0;

    Link(MqttClient* c, const MqttOptions& o) : client(c), opts(o)
    {
        misc.setInterval(MiscIntervalMs);
        connect(&misc, &QTimer::timeout, this, [this] {
            if (m)
                mosquitto_loop_misc(m);
            afterIo();
        });
        retry.setSingleShot(true);
        connect(&retry, &QTimer::timeout, this, &Link::attempt);
        connectTimeout.setSingleShot(true);
        connectTimeout.setInterval(ConnectTimeoutMs);
        connect(&connectTimeout, &QTimer::timeout, this,
                [this] { lost(QStringLiteral("the broker did not answer the connect in time")); });
    }

    ~Link() override { teardown(); }

    template <typename F>
    void report(F&& f)
    {
        QMetaObject::invokeMethod(client, std::forward<F>(f), Qt::QueuedConnection);
    }

    void teardown()
    {
        delete readable;
        delete writable;
        readable = writable = nullptr;
        misc.stop();
        connectTimeout.stop();
        if (m) {
            mosquitto_destroy(m);
            m = nullptr;
        }
        pending.clear();
        up = false;
        dead = false;
    }

    void attempt()
    {
        teardown();
        if (stopping)
            return;
        const QByteArray id = opts.clientId.toUtf8();
        m = mosquitto_new(id.constData(), true, this);
        if (!m)
            return lost(QStringLiteral("out of memory"));
        mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION,
                             v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
        mosquitto_connect_v5_callback_set(m, &Link::onConnect);
        mosquitto_disconnect_v5_callback_set(m, &Link::onDisconnect);
        mosquitto_message_v5_callback_set(m, &Link::onMessage);
        mosquitto_publish_v5_callback_set(m, &Link::onPublish);
        mosquitto_subscribe_v5_callback_set(m, &Link::onSubscribe);
        int rc = MOSQ_ERR_SUCCESS;
        if (!opts.user.isEmpty())
            rc = mosquitto_username_pw_set(m, opts.user.toUtf8().constData(),
                                           opts.password.isEmpty() ? nullptr
                                                                   : opts.password.constData());
        if (rc == MOSQ_ERR_SUCCESS && !opts.caFile.isEmpty())
            rc = mosquitto_tls_set(m, opts.caFile.toLocal8Bit().constData(), nullptr, nullptr,
                                   nullptr, nullptr);
        if (rc == MOSQ_ERR_SUCCESS && !opts.willTopic.isEmpty())
            rc = mosquitto_will_set_v5(m, opts.willTopic.toUtf8().constData(),
                                       int(opts.willPayload.size()), opts.willPayload.constData(),
                                       1, true, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return lost(errorText(rc));
        // A name lookup blocks this thread only; the TCP connect does not.
        rc = mosquitto_connect_async(m, opts.host.toUtf8().constData(), opts.port,
                                     std::max(5, opts.keepaliveS));
        if (rc != MOSQ_ERR_SUCCESS)
            return lost(rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                             : errorText(rc));
        const int fd = mosquitto_socket(m);
        readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(readable, &QSocketNotifier::activated, this, [this] {
            if (m)
                mosquitto_loop_read(m, 1);
            afterIo();
        });
        writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(writable, &QSocketNotifier::activated, this, [this] {
            if (m)
                mosquitto_loop_write(m, 1);
            afterIo();
        });
        misc.start();
        connectTimeout.start();
        afterIo();
    }

    // After every call into the library: a socket it closed ends this
    // attempt; otherwise write readiness is watched only while it has
    // something to write (a TLS handshake included).
    void afterIo()
    {
        if (!m)
            return;
        if (dead || mosquitto_socket(m) < 0)
            return lost(refusal.isEmpty() ? QStringLiteral("connection lost") : refusal);
        if (writable)
            writable->setEnabled(mosquitto_want_write(m));
    }

    void lost(const QString& why)
    {
        teardown();
        if (stopping)
            return;
        refusal.clear();
        report([c = client, why] {
            c->up = false;
            emit c->disconnected(why);
        });
        retry.start(retryMs);
        retryMs = retryMs == 0 ? FirstRetryMs : std::min(retryMs * 2, MaxRetryMs);
    }

    // --- libmosquitto's callbacks, inside the calls above (this thread)

    static void onConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*)
    {
        static_cast<Link*>(self)->connected(rc);
    }

    void connected(int rc)
    {
        if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && v5) {
            // A 3.1.1 broker: it answered with its own CONNACK refusal, as
            // that protocol bids it. Again, in its protocol, at once.
            v5 = false;
            refusal = QStringLiteral("the broker speaks MQTT 3.1.1, not 5");
            retryMs = 0;
            return;
        }
        if (rc != 0) {
            refusal = QStringLiteral("the broker refused the connection: %1")
                          .arg(QString::fromUtf8(v5 ? mosquitto_reason_string(rc)
                                                    : mosquitto_connack_string(rc)));
            return;
        }
        connectTimeout.stop();
        up = true;
        retryMs = FirstRetryMs;
        if (!filters.isEmpty())
            subscribeAll();
        report([c = client, v = v5] {
            c->up = true;
            c->v5 = v;
            emit c->connected(v);
        });
    }

    static void onDisconnect(mosquitto*, void* self, int, const mosquitto_property*)
    {
        // The socket is closed already; the attempt ends once the library's
        // call has returned (afterIo), not inside it.
        static_cast<Link*>(self)->dead = true;
    }

    static void onMessage(mosquitto*, void* self, const mosquitto_message* msg,
                          const mosquitto_property* props)
    {
        Link* link = static_cast<Link*>(self);
        MqttMessage message;
        message.topic = QString::fromUtf8(msg->topic);
        message.retained = msg->retain;
        message.payload = QByteArray(static_cast<const char*>(msg->payload),
                                     std::min(msg->payloadlen, link->opts.maximumPacket + 1));
        char* responseTopic = nullptr;
        if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic,
                                           false)) {
            message.responseTopic = QString::fromUtf8(responseTopic);
            std::free(responseTopic);
        }
        void* correlation = nullptr;
        uint16_t length = 0;
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &length,
                                           false)) {
            message.correlation = QByteArray(static_cast<const char*>(correlation), length);
            std::free(correlation);
        }
        link->report([c = link->client, message] { emit c->message(message); });
    }

    static void onPublish(mosquitto*, void* self, int mid, int rc, const mosquitto_property*)
    {
        Link* link = static_cast<Link*>(self);
        if (link->lastWordsLeft > 0)
            --link->lastWordsLeft;
        const auto it = link->pending.constFind(mid);
        if (it == link->pending.constEnd())
            return;
        const int id = *it;
        link->pending.erase(it);
        link->report([c = link->client, id, rc] { emit c->published(id, rc); });
    }

    static void onSubscribe(mosquitto*, void* self, int mid, int, const int*,
                            const mosquitto_property*)
    {
        Link* link = static_cast<Link*>(self);
        if (mid == link->subscribeMid)
            link->report([c = link->client] { emit c->subscribed(); });
    }

    // --- requests from the owner (queued to this thread)

    void subscribeAll()
    {
        if (!m || !up)
            return;
        std::vector<QByteArray> bytes;
        std::vector<char*> list;
        for (const QString& f : qAsConst(filters))
            bytes.push_back(f.toUtf8());
        for (QByteArray& b : bytes)
            list.push_back(b.data());
        mosquitto_subscribe_multiple(m, &subscribeMid, int(list.size()), list.data(), 0, 0,
                                     nullptr);
        afterIo();
    }

    int send(const MqttPublication& p)
    {
        if (!m || !up)
            return MOSQ_ERR_NO_CONN;
        Properties props;
        if (v5 && !p.responseTopic.isEmpty())
            mosquitto_property_add_string(&props.list, MQTT_PROP_RESPONSE_TOPIC,
                                          p.responseTopic.toUtf8().constData());
        if (v5 && !p.correlation.isEmpty())
            mosquitto_property_add_binary(&props.list, MQTT_PROP_CORRELATION_DATA,
                                          p.correlation.constData(),
                                          uint16_t(std::min(p.correlation.size(), 65535)));
        int mid = 0;
        const int rc =
            mosquitto_publish_v5(m, &mid, p.topic.toUtf8().constData(), int(p.payload.size()),
                                 p.payload.constData(), p.qos, p.retain, props.list);
        if (rc == MOSQ_ERR_SUCCESS && p.qos > 0)
            return -mid; // for the caller: which mid to wait for
        return rc;
    }

    void publish(const MqttPublication& p, int id)
    {
        const int rc = send(p);
        if (rc < 0)
            pending.insert(-rc, id);
        else if (id > 0)
            report([c = client, id] { emit c->published(id, -1); });
        afterIo();
    }

    void stop(const QVector<MqttPublication>& last, int waitMs)
    {
        stopping = true;
        retry.stop();
        if (m && up) {
            lastWordsLeft = 0;
            for (const MqttPublication& p : last)
                lastWordsLeft += send(p) < 0 ? 1 : 0;
            QElapsedTimer clock;
            clock.start();
            while (lastWordsLeft > 0 && !dead && clock.elapsed() < waitMs)
                if (mosquitto_loop(m, 50, 1) != MOSQ_ERR_SUCCESS)
                    break;
            // A DISCONNECT: the broker drops the will, the owner said what
            // it had to say.
            mosquitto_disconnect(m);
            mosquitto_loop(m, 50, 1);
        }
        teardown();
    }
};

MqttClient::MqttClient(const MqttOptions& options, QObject* parent) : QObject(parent), opts(options)
{
    static std::once_flag init;
    std::call_once(init, [] {
        mosquitto_lib_init();
        qRegisterMetaType<zelkd::MqttMessage>();
    });
}

MqttClient::~MqttClient()
{
    stop();
}

void MqttClient::start()
{
    if (thread)
        return;
    thread = new QThread(this);
    thread->setObjectName(QString::fromUtf8(opts.threadName));
    link = new Link(this, opts);
    link->filters = filters;
    link->moveToThread(thread);
    connect(thread, &QThread::finished, link, &QObject::deleteLater);
    thread->start();
    QMetaObject::invokeMethod(
        link, [l = link] { l->attempt(); }, Qt::QueuedConnection);
}

void MqttClient::stop(const QVector<MqttPublication>& last, int waitMs)
{
    if (!thread)
        return;
    // Blocking: the link's last words and its handle go before the thread.
    QMetaObject::invokeMethod(
        link, [l = link, last, waitMs] { l->stop(last, waitMs); }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete thread;
    thread = nullptr;
    link = nullptr; // deleted with the thread's end
    up = false;
}

int MqttClient::publish(const MqttPublication& publication)
{
    if (!link || !up)
        return 0;
    const int id = publication.qos > 0 ? nextId++ : -1;
    QMetaObject::invokeMethod(
        link, [l = link, publication, id] { l->publish(publication, id); }, Qt::QueuedConnection);
    return id > 0 ? id : 0;
}

void MqttClient::subscribe(const QStringList& more)
{
    filters += more;
    if (!link)
        return;
    QMetaObject::invokeMethod(
        link,
        [l = link, more] {
            l->filters += more;
            if (l->up)
                l->subscribeAll();
        },
        Qt::QueuedConnection);
}

QString MqttClient::errorText(int code)
{
    return QString::fromUtf8(mosquitto_strerror(code));
}

bool MqttClient::isValidTopic(const QString& topic)
{
    const QByteArray t = topic.toUtf8();
    return !t.isEmpty() && t.size() <= 65535 &&
           mosquitto_validate_utf8(t.constData(), t.size()) == MOSQ_ERR_SUCCESS &&
           mosquitto_pub_topic_check(t.constData()) == MOSQ_ERR_SUCCESS;
}

} // namespace zelkd
