#pragma once

#include "RMDevice.h"

#include <trel/TrelCommandTypes.h>

#include <QString>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>

class TrelClient;

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
        return QtConcurrent::run(pool, [self, role, fallback, body]() -> T {
            self->nameThread(role);
            if (!self->open)
                return fallback;
            return body();
        });
    }
    template <typename Body>
    QFuture<void> runVoid(QThreadPool* pool, Body body)
    {
        RMDevicePrivate* self = this;
        const char* role = pool == commandPool ? "cmd" : "job";
        return QtConcurrent::run(pool, [self, role, body]() {
            self->nameThread(role);
            if (self->open)
                body();
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
