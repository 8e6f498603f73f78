#pragma once

#include "RMDevice.h"
#include "RMHandoff.h"

#include <trel/TrelCommandTypes.h>

#include <QString>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
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

class RMDevicePrivate
{
public:
    RMDevicePrivate(RMDevice* q, TrelDeviceAddress port, TrelClient* client);

    // Runs `body` on `pool`; when the task starts and the device is no longer
    // open it yields `fallback` without touching the printer.
    template <typename T, typename Body>
    QFuture<T> run(QThreadPool* pool, T fallback, Body body)
    {
        RMDevicePrivate* self = this;
        const char* role = pool == commandPool ? "cmd" : "job";
        return rmRunHanded(pool, [self, role, fallback, body]() -> T {
            self->nameThread(role);
            if (!self->open)
                return fallback;
            T result = body();
            rmHandoffSent(self); // to the device's end (waitForDone)
            return result;
        });
    }
    template <typename Body>
    QFuture<void> runVoid(QThreadPool* pool, Body body)
    {
        RMDevicePrivate* self = this;
        const char* role = pool == commandPool ? "cmd" : "job";
        return rmRunHanded(pool, [self, role, body]() {
            self->nameThread(role);
            if (self->open)
                body();
            rmHandoffSent(self); // to the device's end (waitForDone)
        });
    }

    // Names the pool thread after its device and role ("zelk-cmd 1:5").
    void nameThread(const char* role) const;

    // Head moves (command pool thread).
    bool waitForZStop();
    void waitForCmdComplete();
    void setPwmCap(servo_dc_client_config_t& config, int32_t cap, uint32_t capTime);
    void zero();
    void move(uint32_t type, double target, float distance, float speed, float accel);

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

    RMDevice* const q;
    TrelClient* const client;
    RMJobSend* currentJobSend = nullptr;
    QThreadPool* commandPool;
    QThreadPool* jobPool;
    // Read by pool threads while the GUI thread writes them.
    std::atomic<bool> open{true};
    const TrelDeviceAddress port;
    QString model;
    QString cpuId;
    QString fwName;
    QString fwVersion;
    uint protoVersion = 0;
    std::atomic<int> state{RMDevice::Disconnected};
    int printProgress = 0;
    double temperature = 0.0;
    RMDevice::Error lastError = RMDevice::NoError;
    bool isFirmwareValid = false;

    static std::atomic<int> zPollIntervalMs;
};
