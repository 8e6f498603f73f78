#include "DeviceAdapter.h"

#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>
#include <RMStatusText.h>

#include <trel/TrelTransport.h>

#include <QFutureWatcher>
#include <QPointer>

namespace zelkd {

DeviceAdapter::DeviceAdapter(QObject* parent) : QObject(parent) {}

DeviceAdapter::~DeviceAdapter()
{
    // Devices that go now report their uploads as failed; nobody is left
    // to tell.
    stopping = true;
    for (Printer& p : printers) {
        disconnect(p.device.data(), nullptr, this, nullptr);
        p.estimator->setDevice({});
    }
    printers.clear();
    if (registry)
        RMDeviceRegistry::shutdown();
}

void DeviceAdapter::start()
{
    if (registry)
        return;
    registry = RMDeviceRegistry::instance();
    connect(registry, &RMDeviceRegistry::devicesChanged, this, &DeviceAdapter::devicesChanged);
    // Printers that answered before we listened.
    if (!registry->activePorts().isEmpty())
        QMetaObject::invokeMethod(
            this, [this] { devicesChanged(registry->activePorts()); }, Qt::QueuedConnection);
}

void DeviceAdapter::devicesChanged(const QVector<TrelDeviceAddress>& active)
{
    for (auto it = printers.begin(); it != printers.end();) {
        if (active.contains(it.key())) {
            ++it;
            continue;
        }
        const TrelDeviceAddress port = it.key();
        // Let go of the device only once it is out of the table: its end
        // reports an upload under way as failed, through our own handler.
        QSharedPointer<RMDevice> gone = it->device;
        RMPrintTimeEstimator* estimator = it->estimator;
        disconnect(gone.data(), nullptr, this, nullptr);
        it = printers.erase(it);
        estimator->setDevice({});
        estimator->deleteLater();
        emit detached(port);
        gone.reset();
    }
    for (TrelDeviceAddress port : active) {
        if (printers.contains(port))
            continue;
        Printer p;
        p.device = registry->getDevice(port);
        p.estimator = new RMPrintTimeEstimator(this);
        p.estimator->setDevice(p.device);
        RMDevice* d = p.device.data();
        connect(d, &RMDevice::statusReceived, this, [this, port] { emit statusReceived(port); });
        connect(d, &RMDevice::jobDataReceived, this,
                [this, port](const QByteArray& data) { emit text(port, data); });
        printers.insert(port, p);
        emit attached(port);
    }
}

RMDevice* DeviceAdapter::device(TrelDeviceAddress port) const
{
    const auto it = printers.constFind(port);
    return it == printers.constEnd() ? nullptr : it->device.data();
}

QVector<TrelDeviceAddress> DeviceAdapter::ports() const
{
    return printers.keys().toVector();
}

DeviceStatus DeviceAdapter::status(TrelDeviceAddress port) const
{
    DeviceStatus s;
    const auto it = printers.constFind(port);
    if (it == printers.constEnd())
        return s;
    const RMDevice* d = it->device.data();
    s.port = port;
    s.state = d->state();
    s.progress = d->printProgress();
    s.temperature = d->temperature();
    s.error = d->lastError();
    s.model = d->model();
    s.firmware = d->fwVersion();
    s.firmwareValid = d->isFirmwareValid();
    s.timeRemainingMs = it->estimator->timeRemaining();
    s.statusLine = RMStatusText::text(s.state, s.temperature, s.progress, s.timeRemainingMs, false);
    return s;
}

int DeviceAdapter::heldElsewhere() const
{
    if (!registry)
        return 0;
    try {
        return std::max(0, registry->numOfRMDevicesAttached() -
                               static_cast<int>(TrelTransport::list_connected().size()));
    } catch (const std::exception&) {
        return 0;
    }
}

void DeviceAdapter::poll(TrelDeviceAddress port)
{
    if (RMDevice* d = device(port))
        d->pollStatus();
}

template <typename T>
void DeviceAdapter::whenDone(const QFuture<RMResult<T>>& future, const QString& what, Done done)
{
    auto* watcher = new QFutureWatcher<RMResult<T>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [watcher, what, done] {
        RMOutcome outcome;
        try {
            outcome = watcher->result().outcome;
        } catch (...) {
            outcome = RMOutcome::failure(TREL_ERROR_OTHER, QStringLiteral("unexpected error"));
        }
        watcher->deleteLater();
        // A request whose exchange failed is never done: the printer may not
        // have had it, and what it made of it is unknown.
        if (outcome.isOk())
            return done(Outcome::success());
        // A refusal's text names what was refused.
        done(Outcome::failure(outcome.hasFirmwareCode()
                                  ? outcome.text()
                                  : QStringLiteral("%1: %2").arg(what, outcome.text()),
                              outcome.status()));
    });
    watcher->setFuture(future);
}

void DeviceAdapter::querySerial(TrelDeviceAddress port, std::function<void(const QString&)> done)
{
    RMDevice* d = device(port);
    if (!d) {
        done(QString());
        return;
    }
    auto* watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcher<QString>::finished, this, [watcher, done] {
        QString serial;
        try {
            serial = watcher->result().trimmed();
        } catch (...) {
        }
        watcher->deleteLater();
        done(serial);
    });
    watcher->setFuture(d->querySerial());
}

void DeviceAdapter::pause(TrelDeviceAddress port, Done done)
{
    RMDevice* d = device(port);
    if (!d)
        return done(
            Outcome::failure(QStringLiteral("the printer went away"), TREL_ERROR_NO_DEVICE));
    whenDone(d->pauseChecked(), QStringLiteral("the pause request did not reach the printer"),
             done);
}

void DeviceAdapter::abort(TrelDeviceAddress port, Done done)
{
    RMDevice* d = device(port);
    if (!d)
        return done(
            Outcome::failure(QStringLiteral("the printer went away"), TREL_ERROR_NO_DEVICE));
    whenDone(d->abortChecked(), QStringLiteral("the abort request did not reach the printer"),
             done);
}

void DeviceAdapter::loadFilament(TrelDeviceAddress port, Done done)
{
    RMDevice* d = device(port);
    if (!d)
        return done(
            Outcome::failure(QStringLiteral("the printer went away"), TREL_ERROR_NO_DEVICE));
    // What the printer makes of the request shows in its next status.
    whenDone(d->startFilamentLoadChecked(), QStringLiteral("the load request failed"), done);
}

void DeviceAdapter::unloadFilament(TrelDeviceAddress port, Done done)
{
    RMDevice* d = device(port);
    if (!d)
        return done(
            Outcome::failure(QStringLiteral("the printer went away"), TREL_ERROR_NO_DEVICE));
    whenDone(d->startFilamentUnloadChecked(), QStringLiteral("the unload request failed"), done);
}

void DeviceAdapter::sendGCode(TrelDeviceAddress port, const QString& line, Done done)
{
    RMDevice* d = device(port);
    if (!d)
        return done(
            Outcome::failure(QStringLiteral("the printer went away"), TREL_ERROR_NO_DEVICE));
    whenDone(d->sendGCodeChecked(line), QStringLiteral("\"%1\"").arg(line), done);
}

bool DeviceAdapter::sendJob(TrelDeviceAddress port, const QString& path,
                            std::function<void(int)> progress, Done done)
{
    auto it = printers.find(port);
    if (it == printers.end() || it->sending)
        return false;
    RMJobSend* send = it->device->sendJob(path);
    if (!send)
        return false;
    it->sending = true;
    // The send is a child of its device: it goes when the printer does, after
    // reporting its failure (the device's destructor sees to that).
    auto finish = [this, port, done](const Outcome& outcome) {
        if (stopping)
            return;
        auto p = printers.find(port);
        if (p != printers.end())
            p->sending = false;
        done(outcome);
    };
    connect(send, &RMJobSend::progressChanged, this,
            [progress](int percent) { progress(percent); });
    connect(send, &RMJobSend::done, this, [finish] { finish(Outcome::success()); });
    connect(send, &RMJobSend::failed, this, [finish, send](const QString& reason) {
        const TrelStatus status = send->outcome().status();
        // The cable, not the file.
        finish(Outcome::failure(
            status == TREL_ERROR_NO_DEVICE
                ? QStringLiteral("the printer went away while the file was sent (%1)").arg(reason)
                : reason,
            status));
    });
    return true;
}

bool DeviceAdapter::isSendingJob(TrelDeviceAddress port) const
{
    const auto it = printers.constFind(port);
    return it != printers.constEnd() && it->sending;
}

} // namespace zelkd
