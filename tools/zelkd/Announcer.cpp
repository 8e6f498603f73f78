#include "Announcer.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <QHostInfo>
#include <QLoggingCategory>
#include <QMutex>
#include <QNetworkInterface>
#include <QStringList>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(AnnounceLog, "zelkd.announce")

namespace zelkd {

namespace {

// What a printer host's TXT record says (OctoPrint's discovery plugin
// publishes these; PrusaSlicer's lookup reads "path", "version" and
// "model", and hides hosts whose model is "SL1" from FFF printers).
const char ApiVersion[] = "0.1";
const char Model[] = "Zelk";
const char Vendor[] = "Zelk";

// A DNS-SD instance name is one DNS label: at most 63 bytes of UTF-8.
QByteArray label(const QString& name)
{
    QString cut = name;
    while (cut.toUtf8().size() > 63)
        cut.chop(1);
    return cut.toUtf8();
}

QString avahiError(int code)
{
    return QString::fromUtf8(avahi_strerror(code));
}

} // namespace

struct Announcer::Private
{
    const Settings& settings;
    AvahiThreadedPoll* poll = nullptr;
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
    int wake[2] = {-1, -1}; // main -> poll thread: `wanted` changed

    QMutex mutex;       // guards wanted
    QStringList wanted; // serial numbers, as the main thread added them

    // The poll thread's alone (or, once it has ended, the destructor's).
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr; // owned by the client
    QString name;                     // changed on a name collision
    QStringList printers;             // as published
    bool waitingLogged = false;

    explicit Private(const Settings& s) : settings(s) {}

    void connect()
    {
        // NO_FAIL: with the daemon away the client waits for it
        // (CONNECTING) instead of failing.
        int error = AVAHI_OK;
        client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                                  &Private::clientChanged, this, &error);
        if (!client)
            qCWarning(AnnounceLog).noquote()
                << QStringLiteral("not announced on the local network: %1").arg(avahiError(error));
    }

    bool addService(const char* type, const QString& instance, const QByteArray& path, int& error)
    {
        AvahiStringList* txt = nullptr;
        txt = avahi_string_list_add_pair(txt, "path", path.constData());
        txt = avahi_string_list_add_pair(txt, "version", ZELK_VERSION);
        txt = avahi_string_list_add_pair(txt, "api", ApiVersion);
        txt = avahi_string_list_add_pair(txt, "model", Model);
        txt = avahi_string_list_add_pair(txt, "vendor", Vendor);
        error = avahi_entry_group_add_service_strlst(
            group, interface, protocol, AvahiPublishFlags(0), label(instance).constData(), type,
            nullptr, nullptr, settings.port, txt);
        avahi_string_list_free(txt);
        return error == AVAHI_OK;
    }

    // (Re)builds every service.
    void publish(AvahiClient* c)
    {
        if (!group) {
            group = avahi_entry_group_new(c, &Private::groupChanged, this);
            if (!group) {
                qCWarning(AnnounceLog).noquote()
                    << QStringLiteral("not announced on the local network: %1")
                           .arg(avahiError(avahi_client_errno(c)));
                return;
            }
        } else {
            avahi_entry_group_reset(group);
        }
        for (;;) {
            int error = AVAHI_OK;
            bool ok = addService("_octoprint._tcp", name, "/", error) &&
                      addService("_http._tcp", name, "/", error);
            for (const QString& serial : qAsConst(printers))
                ok = ok && addService("_octoprint._tcp", QStringLiteral("%1: %2").arg(name, serial),
                                      "/printers/" + serial.toUtf8() + '/', error);
            if (ok) {
                error = avahi_entry_group_commit(group);
                if (error == AVAHI_OK)
                    return;
            }
            avahi_entry_group_reset(group);
            if (error != AVAHI_ERR_COLLISION) {
                qCWarning(AnnounceLog).noquote()
                    << QStringLiteral("not announced on the local network: %1")
                           .arg(avahiError(error));
                return;
            }
            // Another host (or another zelkd) has the name: the next one.
            renameAfterCollision();
        }
    }

    void renameAfterCollision()
    {
        char* next = avahi_alternative_service_name(label(name).constData());
        qCInfo(AnnounceLog).noquote()
            << QStringLiteral("the name \"%1\" is taken on the local network: \"%2\" instead")
                   .arg(name, QString::fromUtf8(next));
        name = QString::fromUtf8(next);
        avahi_free(next);
    }

    static void clientChanged(AvahiClient* c, AvahiClientState state, void* self)
    {
        // The first call comes from within avahi_client_new(), before
        // `client` is set: only `c` is to be trusted here.
        auto* d = static_cast<Private*>(self);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            d->waitingLogged = false;
            d->publish(c);
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host's own name is being (re)negotiated: withdrawn, and
            // published again once the daemon runs.
            if (d->group)
                avahi_entry_group_reset(d->group);
            break;
        case AVAHI_CLIENT_CONNECTING:
            if (!d->waitingLogged)
                qCInfo(AnnounceLog) << "avahi-daemon is not running: the printers are announced "
                                       "on the local network once it starts";
            d->waitingLogged = true;
            break;
        case AVAHI_CLIENT_FAILURE: {
            const int error = avahi_client_errno(c);
            // Freeing the client from its own callback is what Avahi's own
            // examples do for a lost daemon; its group goes with it.
            avahi_client_free(c);
            d->client = nullptr;
            d->group = nullptr;
            if (error == AVAHI_ERR_DISCONNECTED) {
                qCInfo(AnnounceLog) << "avahi-daemon went away; waiting for it to return";
                d->connect();
            } else {
                qCWarning(AnnounceLog).noquote()
                    << QStringLiteral("no longer announced on the local network: %1")
                           .arg(avahiError(error));
            }
            break;
        }
        }
    }

    static void groupChanged(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self)
    {
        auto* d = static_cast<Private*>(self);
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            qCInfo(AnnounceLog).noquote()
                << QStringLiteral("announced on the local network as \"%1\" (_octoprint._tcp, "
                                  "port %2; %3 printer(s) by serial number)")
                       .arg(d->name)
                       .arg(d->settings.port)
                       .arg(d->printers.size());
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            d->renameAfterCollision();
            d->publish(avahi_entry_group_get_client(g));
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            qCWarning(AnnounceLog).noquote()
                << QStringLiteral("not announced on the local network: %1")
                       .arg(avahiError(avahi_client_errno(avahi_entry_group_get_client(g))));
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    // The poll thread's first turn.
    static void begin(AvahiTimeout* timeout, void* self)
    {
        auto* d = static_cast<Private*>(self);
        pthread_setname_np(pthread_self(), "zelkd-avahi");
        avahi_threaded_poll_get(d->poll)->timeout_free(timeout);
        d->connect();
    }

    // The main thread added printers.
    static void woken(AvahiWatch*, int fd, AvahiWatchEvent, void* self)
    {
        auto* d = static_cast<Private*>(self);
        char drain[64];
        while (::read(fd, drain, sizeof drain) > 0) {
        }
        QStringList now;
        {
            QMutexLocker lock(&d->mutex);
            now = d->wanted;
        }
        if (now == d->printers)
            return;
        d->printers = now;
        if (d->client && avahi_client_get_state(d->client) == AVAHI_CLIENT_S_RUNNING)
            d->publish(d->client);
    }
};

Announcer::Announcer(const Settings& settings) : d(std::make_unique<Private>(settings))
{
    d->name = serviceName();
}

Announcer::~Announcer()
{
    if (d->poll) {
        // The thread ends first, so that nothing runs while the client goes;
        // the daemon withdraws a client's services when it disconnects.
        avahi_threaded_poll_stop(d->poll);
        if (d->client)
            avahi_client_free(d->client);
        avahi_threaded_poll_free(d->poll); // its watch and timeout too
    }
    for (int fd : d->wake)
        if (fd >= 0)
            ::close(fd);
}

QString Announcer::serviceName()
{
    return QStringLiteral("zelkd on %1").arg(QHostInfo::localHostName());
}

bool Announcer::start(QString& why)
{
    const Settings& s = d->settings;
    if (!s.announce) {
        why = QStringLiteral("turned off (announce = false)");
        return false;
    }
    const QHostAddress& a = s.listenAddress;
    if (a.isLoopback()) {
        why = QStringLiteral("zelkd listens on %1, which only this machine reaches (set "
                             "listen_address to announce it)")
                  .arg(a.toString());
        return false;
    }
    if (a == QHostAddress::AnyIPv4) {
        d->protocol = AVAHI_PROTO_INET;
    } else if (a != QHostAddress::Any && a != QHostAddress::AnyIPv6) {
        // One address: announced on its interface only, where it is reached.
        d->protocol =
            a.protocol() == QAbstractSocket::IPv6Protocol ? AVAHI_PROTO_INET6 : AVAHI_PROTO_INET;
        for (const QNetworkInterface& i : QNetworkInterface::allInterfaces())
            for (const QNetworkAddressEntry& e : i.addressEntries())
                if (e.ip().isEqual(a))
                    d->interface = i.index();
    }

    if (::pipe2(d->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = QStringLiteral("no pipe for Avahi's thread");
        return false;
    }
    d->poll = avahi_threaded_poll_new();
    if (!d->poll) {
        why = QStringLiteral("Avahi's event loop could not be made");
        return false;
    }
    // Set up before the thread runs (no lock needed yet); the client is
    // made on the thread, since making it already waits for D-Bus.
    const AvahiPoll* api = avahi_threaded_poll_get(d->poll);
    timeval now{};
    api->timeout_new(api, avahi_elapse_time(&now, 0, 0), &Private::begin, d.get());
    api->watch_new(api, d->wake[0], AVAHI_WATCH_IN, &Private::woken, d.get());
    if (avahi_threaded_poll_start(d->poll) < 0) {
        why = QStringLiteral("Avahi's thread could not start");
        avahi_threaded_poll_free(d->poll);
        d->poll = nullptr;
        return false;
    }
    return true;
}

void Announcer::addPrinter(const QString& serial)
{
    if (!d->poll)
        return;
    {
        QMutexLocker lock(&d->mutex);
        if (d->wanted.contains(serial))
            return;
        d->wanted.append(serial);
    }
    const char c = 1;
    // A full pipe already has the thread's attention.
    [[maybe_unused]] const ssize_t n = ::write(d->wake[1], &c, 1);
}

} // namespace zelkd
