#include "RMDeviceRegistry.h"
#include "RMDeviceEvents.h"
#include "RMDeviceRegistry_p.h"
#include "RMHandoff.h"

#include <LogCategories.h>

#include <trel/TrelTransport.h>
#include <trel/TrelUsb.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTimerEvent>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace {
RMDeviceRegistry* g_registry = nullptr;

void deleteDevice(RMDevice* device)
{
    delete device; // null is fine
}

// zelkd's system service runs as a user of its own, whose descriptors an
// unprivileged caller cannot look through: when no holder can be seen, a
// process named zelkd of another user is the one that holds the printer
// (it serves every printer it can open). Its name and owner are public.
void findHiddenZelkd(RMUnopenedPrinter& p)
{
    const uid_t self = ::getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool number = false;
        const int pid = entry.toInt(&number);
        struct stat st;
        const QByteArray dir = QByteArrayLiteral("/proc/") + entry.toLatin1();
        if (!number || ::stat(dir.constData(), &st) != 0 || st.st_uid == self)
            continue;
        QFile comm(QString::fromLatin1(dir + "/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readLine().trimmed() == "zelkd") {
            p.holderPid = pid;
            p.holderName = QStringLiteral("zelkd");
            return;
        }
    }
}
} // namespace

RMDRPHolder::RMDRPHolder(RMDeviceRegistry* registry) : q_ptr(registry)
{
    pendingTimer = q_ptr->startTimer(5000, Qt::CoarseTimer);
    unopenedTimer = q_ptr->startTimer(RMDeviceRegistry::UnopenedPollMs, Qt::CoarseTimer);
}

RMDeviceRegistryPrivate::RMDeviceRegistryPrivate(RMDeviceRegistry* registry)
    : RMDRPHolder(registry), TrelClient()
{
    placeholder = newDevice(NO_PRINTER);
    placeholder->setConnected(false);
    // Printers libtrel opened before this client registered are announced to
    // it like new ones, held until start_callbacks(): announcing them here
    // too would make a second pending device for the same printer.
    start_callbacks();
    refreshUnopened(true);
}

bool RMDeviceRegistryPrivate::shutDown()
{
    // Devices' tasks call into this client: they must have ended before it
    // goes, and none may start after. Closed, a device sends nothing again
    // (a device may outlive us in someone's shared pointer); closing the
    // printers makes every exchange in flight fail at once, so that the
    // pools drain quickly; then no callback may reach us.
    QVector<QSharedPointer<RMDevice>> all;
    {
        TrelMutexLocker lock(devicesMutex);
        all = devices.values().toVector();
    }
    for (const auto& device : qAsConst(pendingDevices))
        all.append(device);
    for (const auto& device : qAsConst(all))
        device->setConnected(false);
    for (TrelDeviceAddress address : list_connected()) {
        try {
            close(address);
        } catch (const std::exception&) {
            // already closed
        }
    }
    stop_callbacks();
    {
        TrelMutexLocker lock(devicesMutex);
        devices.clear();
    }
    pendingDevices.clear();
    all.clear(); // devices let go of here end without waiting
    placeholder.reset();
    // Every task of every device of ours, also of those let go of earlier
    // and of those that others still hold, ends before the client goes.
    return RMDevice::waitForTasks(this, ShutdownWaitMs);
}

QSharedPointer<RMDevice> RMDeviceRegistryPrivate::newDevice(TrelDeviceAddress port)
{
    return QSharedPointer<RMDevice>(new RMDevice(port, this), deleteDevice);
}

void RMDeviceRegistryPrivate::refreshUnopened(bool lookUpHolders)
{
    Q_Q(RMDeviceRegistry);
    std::vector<TrelUnopenedPrinter> rows;
    try {
        rows = TrelTransport::list_unopened();
    } catch (const std::exception& e) {
        qCWarning(DeviceRegistry) << "Cannot list the printers not opened:" << e.what();
        return;
    }
    std::sort(rows.begin(), rows.end(),
              [](const TrelUnopenedPrinter& a, const TrelUnopenedPrinter& b) {
                  return a.address.value() < b.address.value();
              });
    QVector<RMUnopenedPrinter> now;
    for (const TrelUnopenedPrinter& row : rows) {
        RMUnopenedPrinter p;
        p.port = row.address;
        p.reason = row.reason == TREL_ERROR_ACCESS ? RMUnopenedPrinter::NoPermission
                   : row.reason == TREL_ERROR_BUSY ? RMUnopenedPrinter::HeldElsewhere
                                                   : RMUnopenedPrinter::OpenFailed;
        p.node = QString::fromStdString(row.node);
        if (p.reason == RMUnopenedPrinter::HeldElsewhere) {
            // Looking through /proc takes milliseconds: once per held
            // printer, and again on the slower poll (the holder may change).
            auto known = std::find_if(unopened.cbegin(), unopened.cend(), [&p](const auto& o) {
                return o.port == p.port && o.reason == p.reason && o.node == p.node;
            });
            if (known != unopened.cend() && !lookUpHolders) {
                p.holderPid = known->holderPid;
                p.holderName = known->holderName;
            } else if (const auto holder = TrelUsb::node_holder(row.node)) {
                p.holderPid = holder->pid;
                p.holderName = QString::fromStdString(holder->name);
            } else {
                findHiddenZelkd(p);
            }
        }
        now.append(p);
    }
    if (now == unopened)
        return;
    unopened = now;
    emit q->unopenedPrintersChanged(unopened);
}

void RMDeviceRegistryPrivate::device_connected(TrelDeviceAddress address)
{
    Q_Q(RMDeviceRegistry);
    rmPostAcross(q, new RMConnectEvent(address, true));
}

void RMDeviceRegistryPrivate::device_disconnected(TrelDeviceAddress address)
{
    Q_Q(RMDeviceRegistry);
    rmPostAcross(q, new RMConnectEvent(address, false));
}

void RMDeviceRegistryPrivate::StatusReceived(TrelDeviceAddress address, StatusMsg status)
{
    Q_Q(RMDeviceRegistry);
    rmPostAcross(q, new RMStatusEvent(address, std::move(status)));
}

void RMDeviceRegistryPrivate::JobDataReceived(TrelDeviceAddress address, const unsigned char* data,
                                              unsigned int length)
{
    // Held across jobData() too: a device taken out of the table (GUI
    // thread, under the lock) may go right after, so the lock is also what
    // keeps this one alive here. clang checks the table's uses, not that.
    TrelMutexLocker lock(devicesMutex);
    auto it = devices.constFind(address);
    if (it == devices.constEnd())
        return; // pending or unknown: dropped
    it.value()->jobData(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(length)));
}

// --- the registry

RMDeviceRegistry* RMDeviceRegistry::instance()
{
    if (!g_registry)
        g_registry = new RMDeviceRegistry();
    return g_registry;
}

void RMDeviceRegistry::shutdown()
{
    delete g_registry;
    g_registry = nullptr;
}

RMDeviceRegistry::RMDeviceRegistry()
{
    qRegisterMetaType<TrelDeviceAddress>("TrelDeviceAddress");
    qRegisterMetaType<QVector<TrelDeviceAddress>>("QVector<TrelDeviceAddress>");
    qRegisterMetaType<QVector<RMUnopenedPrinter>>("QVector<RMUnopenedPrinter>");
    d_ptr.reset(new RMDeviceRegistryPrivate(this));
}

RMDeviceRegistry::~RMDeviceRegistry()
{
    Q_D(RMDeviceRegistry);
    if (d->shutDown())
        return; // d_ptr deletes it
    // A task still inside the library: destroying the client under it would
    // corrupt the library's state. Left alive, the client only holds memory
    // and its closed printers until the process ends.
    qCCritical(DeviceRegistry) << "A printer task did not end within"
                               << RMDeviceRegistryPrivate::ShutdownWaitMs
                               << "ms; the link library's client is left in place";
    d_ptr.take();
}

QSharedPointer<RMDevice> RMDeviceRegistry::getDevice(TrelDeviceAddress port)
{
    Q_D(RMDeviceRegistry);
    TrelMutexLocker lock(d->devicesMutex);
    auto it = d->devices.constFind(port);
    return it == d->devices.constEnd() ? d->placeholder : it.value();
}

const QVector<TrelDeviceAddress>& RMDeviceRegistry::activePorts() const
{
    Q_D(const RMDeviceRegistry);
    return d->activePorts;
}

int RMDeviceRegistry::numOfRMDevicesAttached()
{
    Q_D(RMDeviceRegistry);
    return d->placeholder->numDevicesAttached().first;
}

int RMDeviceRegistry::numOfDfuDevicesAttached()
{
    Q_D(RMDeviceRegistry);
    return d->placeholder->numDevicesAttached().second;
}

QVector<RMUnopenedPrinter> RMDeviceRegistry::unopenedPrinters() const
{
    Q_D(const RMDeviceRegistry);
    return d->unopened;
}

bool RMDeviceRegistry::event(QEvent* e)
{
    rmHandoffReceived(this);
    if (e->type() == RMConnectEvent::eventType()) {
        auto* c = static_cast<RMConnectEvent*>(e);
        onDeviceConnected(c->address, c->connected);
        d_func()->refreshUnopened(false);
        return true;
    }
    if (e->type() == RMStatusEvent::eventType()) {
        auto* s = static_cast<RMStatusEvent*>(e);
        onDeviceStatus(s->address, s->status);
        return true;
    }
    return QObject::event(e);
}

void RMDeviceRegistry::timerEvent(QTimerEvent* e)
{
    Q_D(RMDeviceRegistry);
    if (e->timerId() == d->unopenedTimer) {
        d->refreshUnopened(false);
        return;
    }
    if (e->timerId() != d->pendingTimer) {
        QObject::timerEvent(e);
        return;
    }
    for (auto it = d->pendingDevices.constBegin(); it != d->pendingDevices.constEnd(); ++it) {
        qCDebug(DeviceRegistry) << "Polling again pending device on port" << it.key();
        it.value()->pollStatus();
    }
    d->refreshUnopened(true);
}

void RMDeviceRegistry::onDeviceConnected(TrelDeviceAddress address, bool connected)
{
    Q_D(RMDeviceRegistry);
    qCDebug(DeviceRegistry) << "Port" << address << (connected ? "connected" : "disconnected");
    if (!connected) {
        d->pendingDevices.remove(address);
        QSharedPointer<RMDevice> device;
        {
            TrelMutexLocker lock(d->devicesMutex);
            device = d->devices.take(address);
        }
        if (!device)
            return;
        device->setConnected(false);
        d->activePorts.removeAll(address);
        emit devicesChanged(d->activePorts);
        return;
    }
    {
        TrelMutexLocker lock(d->devicesMutex);
        if (d->devices.contains(address))
            return;
    }
    QSharedPointer<RMDevice> device = d->newDevice(address);
    d->pendingDevices.insert(address, device);
    device->pollStatus();
}

void RMDeviceRegistry::onDeviceStatus(TrelDeviceAddress address,
                                      const TrelJobInterface::StatusMsg& status)
{
    Q_D(RMDeviceRegistry);
    if (QSharedPointer<RMDevice> pending = d->pendingDevices.take(address)) {
        {
            TrelMutexLocker lock(d->devicesMutex);
            d->devices.insert(address, pending);
        }
        d->activePorts.append(address);
        pending->statusMessage(status);
        emit devicesChanged(d->activePorts);
        return;
    }
    QSharedPointer<RMDevice> device;
    {
        TrelMutexLocker lock(d->devicesMutex);
        device = d->devices.value(address);
    }
    // Outside the lock: the device's signals reach the window, which may ask
    // the registry again.
    if (device)
        device->statusMessage(status);
}
