#include "RMDeviceRegistry.h"
#include "RMDeviceEvents.h"
#include "RMDeviceRegistry_p.h"
#include "RMHandoff.h"

#include <LogCategories.h>

#include <QCoreApplication>
#include <QTimerEvent>

namespace {
RMDeviceRegistry* g_registry = nullptr;

void deleteDevice(RMDevice* device)
{
    delete device; // null is fine
}
} // namespace

RMDRPHolder::RMDRPHolder(RMDeviceRegistry* registry) : q(registry)
{
    pendingTimer = q->startTimer(5000, Qt::CoarseTimer);
}

RMDeviceRegistryPrivate::RMDeviceRegistryPrivate(RMDeviceRegistry* registry)
    : RMDRPHolder(registry), TrelClient()
{
    placeholder = newDevice(NO_PRINTER);
    placeholder->setConnected(false);
    // Printers attached before we started are announced like new ones.
    for (TrelDeviceAddress address : list_connected())
        device_connected(address);
    start_callbacks();
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
        QMutexLocker lock(&devicesMutex);
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
        QMutexLocker lock(&devicesMutex);
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

void RMDeviceRegistryPrivate::device_connected(TrelDeviceAddress address)
{
    rmPostAcross(q, new RMConnectEvent(address, true));
}

void RMDeviceRegistryPrivate::device_disconnected(TrelDeviceAddress address)
{
    rmPostAcross(q, new RMConnectEvent(address, false));
}

void RMDeviceRegistryPrivate::StatusReceived(TrelDeviceAddress address, StatusMsg status)
{
    rmPostAcross(q, new RMStatusEvent(address, std::move(status)));
}

void RMDeviceRegistryPrivate::JobDataReceived(TrelDeviceAddress address, const unsigned char* data,
                                              unsigned int length)
{
    QMutexLocker lock(&devicesMutex);
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

RMDeviceRegistry::RMDeviceRegistry() : d(nullptr)
{
    qRegisterMetaType<TrelDeviceAddress>("TrelDeviceAddress");
    qRegisterMetaType<QVector<TrelDeviceAddress>>("QVector<TrelDeviceAddress>");
    d = new RMDeviceRegistryPrivate(this);
}

RMDeviceRegistry::~RMDeviceRegistry()
{
    if (d->shutDown()) {
        delete d;
        return;
    }
    // A task still inside the library: destroying the client under it would
    // corrupt the library's state. Left alive, the client only holds memory
    // and its closed printers until the process ends.
    qCCritical(DeviceRegistry) << "A printer task did not end within"
                               << RMDeviceRegistryPrivate::ShutdownWaitMs
                               << "ms; the link library's client is left in place";
}

QSharedPointer<RMDevice> RMDeviceRegistry::getDevice(TrelDeviceAddress port)
{
    auto it = d->devices.constFind(port);
    return it == d->devices.constEnd() ? d->placeholder : it.value();
}

const QVector<TrelDeviceAddress>& RMDeviceRegistry::activePorts() const
{
    return d->activePorts;
}

int RMDeviceRegistry::numOfRMDevicesAttached()
{
    return d->placeholder->numDevicesAttached().first;
}

int RMDeviceRegistry::numOfDfuDevicesAttached()
{
    return d->placeholder->numDevicesAttached().second;
}

bool RMDeviceRegistry::event(QEvent* e)
{
    rmHandoffReceived(this);
    if (e->type() == RMConnectEvent::eventType()) {
        auto* c = static_cast<RMConnectEvent*>(e);
        onDeviceConnected(c->address, c->connected);
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
    if (e->timerId() != d->pendingTimer) {
        QObject::timerEvent(e);
        return;
    }
    for (auto it = d->pendingDevices.constBegin(); it != d->pendingDevices.constEnd(); ++it) {
        qCDebug(DeviceRegistry) << "Polling again pending device on port" << it.key();
        it.value()->pollStatus();
    }
}

void RMDeviceRegistry::onDeviceConnected(TrelDeviceAddress address, bool connected)
{
    qCDebug(DeviceRegistry) << "Port" << address << (connected ? "connected" : "disconnected");
    if (!connected) {
        d->pendingDevices.remove(address);
        QSharedPointer<RMDevice> device;
        {
            QMutexLocker lock(&d->devicesMutex);
            device = d->devices.take(address);
        }
        if (!device)
            return;
        device->setConnected(false);
        d->activePorts.removeAll(address);
        emit devicesChanged(d->activePorts);
        return;
    }
    if (d->devices.contains(address))
        return;
    QSharedPointer<RMDevice> device = d->newDevice(address);
    d->pendingDevices.insert(address, device);
    device->pollStatus();
}

void RMDeviceRegistry::onDeviceStatus(TrelDeviceAddress address,
                                      const TrelJobInterface::StatusMsg& status)
{
    if (QSharedPointer<RMDevice> pending = d->pendingDevices.take(address)) {
        {
            QMutexLocker lock(&d->devicesMutex);
            d->devices.insert(address, pending);
        }
        d->activePorts.append(address);
        pending->statusMessage(status);
        emit devicesChanged(d->activePorts);
        return;
    }
    auto it = d->devices.constFind(address);
    if (it != d->devices.constEnd())
        it.value()->statusMessage(status);
}
