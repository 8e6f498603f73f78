#pragma once

#include "RMDevice.h"
#include "RMHandoff.h"
#include "RMOutcome.h"
#include "RMWiFi.h"

#include <trel/TrelCommandInterface.h>

#include <QString>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <mutex>
#include <type_traits>
#include <utility>

class TrelClient;

// A task's function as the pool's task object stores it: the copy into that
// object is the GUI thread's last touch of the captures, the call the pool
// thread's first (see RMHandoff.h).
template <typename F>
class RMHandedTask
{
public:
    explicit RMHandedTask(F function) : f(std::move(function)) {}
    RMHandedTask(const RMHandedTask& other) : f(other.f) { rmHandoffSent(this); }
    RMHandedTask(RMHandedTask&& other) noexcept : f(std::move(other.f)) { rmHandoffSent(this); }
    RMHandedTask& operator=(const RMHandedTask&) = delete;
    RMHandedTask& operator=(RMHandedTask&&) = delete;
    ~RMHandedTask() = default;

    auto operator()()
    {
        rmHandoffReceived(this);
        return f();
    }

private:
    F f;
};

template <typename F>
QFuture<typename std::result_of<F()>::type> rmRunHanded(QThreadPool* pool, F f)
{
    return QtConcurrent::run(pool, RMHandedTask<F>(std::move(f)));
}

// The device's data and its two pools. Its tasks use it (never the RMDevice),
// so it outlives the device: the device's end hands it to retire(), which
// deletes it once both pools are idle, on a thread of its own, so that letting
// a device go never waits for a printer.
class RMDevicePrivate
{
public:
    RMDevicePrivate(RMDevice* q, TrelDeviceAddress port, TrelClient* client);
    ~RMDevicePrivate();

    // Runs `body` (RMResult<T>(RMDevicePrivate*)) on `pool`. When the task
    // starts and the device is no longer open it fails without touching the
    // printer. checked() delivers the result, plain() its value alone.
    template <typename T, typename Body>
    QFuture<RMResult<T>> checked(QThreadPool* pool, Body body)
    {
        RMDevicePrivate* self = this;
        return rmRunHanded(pool, [self, pool, body] { return self->perform<T>(pool, body); });
    }
    template <typename T, typename Body>
    QFuture<T> plain(QThreadPool* pool, Body body)
    {
        RMDevicePrivate* self = this;
        return rmRunHanded(pool, [self, pool, body]() -> T {
            if constexpr (std::is_void<T>::value)
                self->perform<T>(pool, body);
            else
                return self->perform<T>(pool, body).value;
        });
    }

    // Names the pool thread after its device and role ("zelk-cmd 1:5").
    void nameThread(const char* role) const;

    // The operations (pool threads).
    RMResult<QString>
    text(const char* name,
         TrelResult<std::shared_ptr<char>> (TrelCommandInterface::*command)(TrelDeviceAddress));
    RMResult<bool> gcode(const QString& code);
    RMResult<bool> storeConnected();
    RMResult<void> filament(bool load);
    RMResult<bool> jobRequest(bool pause);
    RMResult<bool> raiseHead();
    RMResult<bool> lowerHeadToShipment();
    RMResult<RMWiFiStatus> wifiStatus();
    RMResult<RMWiFiConfig> wifiConfig();
    RMResult<QList<RMWiFiNetwork>> scanWiFi();
    RMResult<bool> connectWifi(const QString& ssid, const QString& password);
    RMResult<bool> disconnectWifi();
    RMResult<bool> setWiFiConfig(const QString& ssid, const QString& password, bool autoConnect);
    // A change of the Wi-Fi settings whose answer was lost: the printer may
    // or may not have made it. Reads the state back into the outcome's text.
    void readBackWifi(RMOutcome& outcome, bool stored);

    // Posts `event` to `receiver`, a child of the device, unless the device
    // has gone (any thread).
    void postToChild(QObject* receiver, QEvent* event);

    // The printer answers a filament request with 0 whatever it makes of it
    // and tells the outcome in its status. A refusal shows only as an error
    // code, which may be the very code an earlier refusal left standing (the
    // printer keeps it until its button is pressed): so once the request has
    // been carried out a fresh status is asked for, and that status reports
    // its error whether it changed or not, unless a changed error has told
    // of it already (GUI thread).
    void reportOutcomeOf(const QFuture<void>& request);
    bool outcomeReported = false;
    bool outcomeAwaited = false;

    // From now on tasks post nothing to the device's children (GUI thread,
    // at the device's end).
    void stopPosting();
    // The device's end (GUI thread): `d` is deleted once both pools are
    // idle, on a thread of its own.
    static void retire(RMDevicePrivate* d);
    // See RMDevice::waitForTasks.
    static bool waitForTasks(const TrelClient* client, int timeoutMs);

    RMDevice* const q;
    TrelClient* const client;
    RMJobSend* currentJobSend = nullptr;
    QThreadPool commandPool;
    QThreadPool jobPool;
    // Read by pool threads while the GUI thread writes them.
    std::atomic<bool> open{true};
    std::atomic<int> state{RMDevice::Disconnected};
    const TrelDeviceAddress port;
    QString model;
    QString cpuId;
    QString fwName;
    QString fwVersion;
    uint protoVersion = 0;
    int printProgress = 0;
    double temperature = 0.0;
    RMDevice::Error lastError = RMDevice::NoError;
    bool isFirmwareValid = false;

    static std::atomic<int> zPollIntervalMs;

private:
    template <typename T, typename Body>
    RMResult<T> perform(QThreadPool* pool, const Body& body)
    {
        nameThread(pool == &commandPool ? "cmd" : "job");
        RMResult<T> result;
        if (!open)
            result.outcome = RMOutcome::notOpen();
        else
            result = body(this);
        rmHandoffSent(this); // to whoever waits for the pools (retire, waitForTasks)
        return result;
    }

    // Guards deviceGone against the device's end: a task posts to the
    // device's children under it.
    std::mutex postMutex;
    bool deviceGone = false;
};
