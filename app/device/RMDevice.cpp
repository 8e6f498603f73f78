#include "RMDevice.h"
#include "RMDeviceEvents.h"
#include "RMDevice_p.h"
#include "RMWiFi.h"

#include <LogCategories.h>
#include <RMUtil.h>

#include <trel/TrelClient.h>
#include <trel/TrelException.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QPointer>
#include <QSet>
#include <QThread>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

#ifdef Q_OS_LINUX
#include <pthread.h>
#endif

namespace {

// Status strings after the printer's six-character prefix.
const struct
{
    const char* text;
    RMDevice::State state;
} STATES[] = {
    {"PRE_INIT", RMDevice::PreInit},
    {"INIT_MECH", RMDevice::Initializing},
    {"IDLE", RMDevice::Idle},
    {"EXEC_PAUSE_CMD", RMDevice::Pausing},
    {"PAUSED", RMDevice::Paused},
    {"UNPAUSED", RMDevice::Unpaused},
    {"FILE_RX", RMDevice::FileRx},
    {"JOB_QUEUED", RMDevice::JobQueued},
    {"JOB_PREP", RMDevice::PreparingBuild},
    {"BUILDING", RMDevice::Building},
    {"LOADFIL_HEATING", RMDevice::LoadHeating},
    {"LOADFIL_EXTRUDING", RMDevice::LoadExtruding},
    {"REMFIL_HEATING", RMDevice::UnloadHeating},
    {"REMFIL_RETRACTING", RMDevice::UnloadRetracting},
    {"HOMING_INIT", RMDevice::HomingInit},
    {"HOMING_HEATING", RMDevice::HomingHeating},
    {"HOMING_COOLING", RMDevice::HomingCooling},
    {"HOMING_XY", RMDevice::HomingXY},
    {"HOMING_Z_ROUGH", RMDevice::HomingZRough},
    {"HOMING_Z_FINE", RMDevice::HomingZFine},
    {"HOMING_COMPLETE", RMDevice::HomingComplete},
    {"FILAMENT_OUT", RMDevice::OutOfFilament},
};

RMDevice::Error errorFromCode(int code)
{
    switch (code) {
    case 0:
        return RMDevice::NoError;
    case 6:
        return RMDevice::FilamentAlreadyLoaded;
    case 8:
    case 9:
        return RMDevice::LoadTimeout;
    case 11:
        return RMDevice::FilamentAlreadyUnloaded;
    case 13:
        return RMDevice::UnloadTimeout;
    default:
        return RMDevice::UnknownError;
    }
}

// A NUL-terminated copy of a text, as the firmware commands take it.
std::shared_ptr<char> cText(const QByteArray& bytes)
{
    std::shared_ptr<char> p(new char[static_cast<size_t>(bytes.size()) + 1](),
                            std::default_delete<char[]>());
    std::memcpy(p.get(), bytes.constData(), static_cast<size_t>(bytes.size()));
    return p;
}

QString latin1(const std::shared_ptr<char>& text)
{
    return text ? QString::fromLatin1(text.get()) : QString();
}

constexpr servo_dc_name_t Z_AXIS = SERVO_DC_Z;

} // namespace

std::atomic<int> RMDevicePrivate::zPollIntervalMs{1000};

namespace {

// Every private object not yet deleted, whether its device is alive or gone:
// waitForTasks() looks through them. Never destroyed: a retirement may still
// end while the process exits.
struct Privates
{
    // Guards `all`. A standard mutex underneath: ThreadSanitizer sees it (Qt's
    // it does not), and clang checks every use of `all` holds it. What it
    // does not check: waitForTasks() holds it while it waits for pools, which
    // is safe only because no pool task takes it (a retirement takes it to
    // delete its private object, on its own thread, once the pools are idle).
    TrelMutex mutex;
    QSet<RMDevicePrivate*> all TREL_GUARDED_BY(mutex);
};
Privates& privates()
{
    static Privates* p = new Privates;
    return *p;
}

// Where a private object whose device is gone waits for its pools to idle
// before it is deleted: a thread of its own for each ("zelk-retire"), never
// the GUI thread. A running task ends by itself (every exchange has its
// timeout, an upload ends with its file), and queued ones find the device
// closed. Plain threads and a standard mutex rather than a QThreadPool:
// ThreadSanitizer sees their ordering, not that of a shared pool's own
// queue, on which two retirements that end together would look like a race.
// Never destroyed: a retirement may still end while the process exits.
struct Retirements
{
    TrelMutex mutex;
    std::condition_variable_any ended;
    int running TREL_GUARDED_BY(mutex) = 0;

    // Whether every retirement ended within `timeoutMs`.
    bool waitForDone(int timeoutMs)
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        TrelMutexLocker lock(mutex);
        while (running != 0) {
            if (ended.wait_until(lock, deadline) == std::cv_status::timeout)
                return running == 0;
        }
        return true;
    }
};
Retirements& retirements()
{
    static Retirements* r = [] {
        auto* p = new Retirements;
        // No retirement may still be deleting Qt objects while the
        // application object goes (the process's end, past the event loop).
        qAddPostRoutine([] { retirements().waitForDone(5000); });
        return p;
    }();
    return *r;
}

} // namespace

RMDevicePrivate::RMDevicePrivate(RMDevice* owner, TrelDeviceAddress address, TrelClient* c)
    : q_ptr(owner), client(c), port(address)
{
    commandPool.setMaxThreadCount(1);
    jobPool.setMaxThreadCount(1);
    Privates& p = privates();
    TrelMutexLocker lock(p.mutex);
    p.all.insert(this);
}

RMDevicePrivate::~RMDevicePrivate()
{
    Privates& p = privates();
    TrelMutexLocker lock(p.mutex);
    p.all.remove(this);
}

void RMDevicePrivate::nameThread(const char* role) const
{
    const QString name =
        QStringLiteral("zelk-%1 %2:%3").arg(QLatin1String(role)).arg(port.bus).arg(port.address);
    QThread::currentThread()->setObjectName(name);
#ifdef Q_OS_LINUX
    pthread_setname_np(pthread_self(), name.left(15).toLatin1().constData());
#endif
}

void RMDevicePrivate::postToChild(QObject* receiver, QEvent* event)
{
    TrelMutexLocker lock(postMutex);
    if (deviceGone) {
        delete event;
        return;
    }
    // Posted while the device cannot go: the device's end takes the lock
    // before its children are deleted, and ~QObject discards what was
    // posted to them.
    rmPostAcross(receiver, event);
}

void RMDevicePrivate::stopPosting()
{
    TrelMutexLocker lock(postMutex);
    deviceGone = true;
}

void RMDevicePrivate::retire(RMDevicePrivate* d)
{
    d->open = false;
    d->stopPosting();
    Retirements& r = retirements();
    {
        TrelMutexLocker lock(r.mutex);
        ++r.running;
    }
    auto body = [d, &r] {
        d->commandPool.waitForDone();
        d->jobPool.waitForDone();
        rmHandoffReceived(d);
        delete d;
        TrelMutexLocker lock(r.mutex);
        --r.running;
        r.ended.notify_all();
    };
    try {
        std::thread([body] {
#ifdef Q_OS_LINUX
            pthread_setname_np(pthread_self(), "zelk-retire");
#endif
            body();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had (the process is out of them): waiting here is
        // late rather than never, and nothing is left undeleted.
        body();
    }
}

bool RMDevicePrivate::waitForTasks(const TrelClient* client, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return int(std::max<qint64>(0, timeoutMs - clock.elapsed())); };
    bool done = true;
    {
        // Held throughout, so that no private object is deleted meanwhile
        // (a retirement that wants to delete one waits for it).
        Privates& p = privates();
        TrelMutexLocker lock(p.mutex);
        for (RMDevicePrivate* d : qAsConst(p.all)) {
            if (d->client != client)
                continue;
            for (QThreadPool* pool : {&d->commandPool, &d->jobPool})
                done = pool->waitForDone(left()) && done;
            rmHandoffReceived(d);
        }
    }
    // And the retirements, which now end at once: none is left running as
    // the process ends.
    return retirements().waitForDone(left()) && done;
}

// --- construction

RMDevice::RMDevice(TrelDeviceAddress port, TrelClient* client)
    : d_ptr(new RMDevicePrivate(this, port, client))
{
    qRegisterMetaType<RMDevice::State>("RMDevice::State");
    qRegisterMetaType<RMDevice::Error>("RMDevice::Error");
}

RMDevice::~RMDevice()
{
    Q_D(RMDevice);
    // Nothing here waits for a task: the GUI thread must not wait for a
    // printer (a write that times out, a head move waiting for the servo can
    // hold a pool for seconds). The tasks keep the private object, which
    // goes once both pools are idle. Queued ones still run, find the device
    // closed and end at once: dropped from the pool, their futures would
    // never finish, and whoever waits for one would wait for ever.
    d->open = false;
    d->stopPosting();
    // An upload still under way goes with this device (its RMJobSend is a
    // child), and with it whatever its task would post from now on: the user
    // would never be told. What it posted so far is delivered; if that did
    // not end it, it ends here, and says so, while whoever follows it is
    // still connected.
    if (RMJobSend* send = d->currentJobSend) {
        QCoreApplication::sendPostedEvents(send);
        if (!send->isDone() && !send->isFailed()) {
            RMJobFailedEvent failure(TREL_ERROR_NO_DEVICE,
                                     QStringLiteral("Send failed - Device no longer connected."));
            QCoreApplication::sendEvent(send, &failure);
        }
    }
    // d_ptr hands `d` to RMDevicePrivate::retire() after this.
}

void RMDeviceRetirement::cleanup(RMDevicePrivate* d)
{
    if (d)
        RMDevicePrivate::retire(d); // d may be gone from here on
}

bool RMDevice::waitForTasks(const TrelClient* client, int timeoutMs)
{
    return RMDevicePrivate::waitForTasks(client, timeoutMs);
}

// --- accessors

TrelDeviceAddress RMDevice::port() const
{
    Q_D(const RMDevice);
    return d->port;
}
bool RMDevice::isOpen() const
{
    Q_D(const RMDevice);
    return d->open;
}
QString RMDevice::model() const
{
    Q_D(const RMDevice);
    return d->model;
}
QString RMDevice::cpuId() const
{
    Q_D(const RMDevice);
    return d->cpuId;
}
QString RMDevice::fwName() const
{
    Q_D(const RMDevice);
    return d->fwName;
}
QString RMDevice::fwVersion() const
{
    Q_D(const RMDevice);
    return d->fwVersion;
}
uint RMDevice::protoVersion() const
{
    Q_D(const RMDevice);
    return d->protoVersion;
}
RMDevice::State RMDevice::state() const
{
    Q_D(const RMDevice);
    return static_cast<State>(d->state.load());
}
int RMDevice::printProgress() const
{
    Q_D(const RMDevice);
    return d->printProgress;
}
double RMDevice::temperature() const
{
    Q_D(const RMDevice);
    return d->temperature;
}
RMDevice::Error RMDevice::lastError() const
{
    Q_D(const RMDevice);
    return d->lastError;
}
bool RMDevice::isFirmwareValid() const
{
    Q_D(const RMDevice);
    return d->isFirmwareValid;
}

QString RMDevice::minFwVersion()
{
    return QStringLiteral("0.9.0");
}

QPair<int, int> RMDevice::numDevicesAttached() const
{
    QPair<int, int> counts(0, 0);
    try {
        for (const TrelUsbDevice& device : TrelTransport::list_attached()) {
            if (device.mode == 1)
                ++counts.first;
            else if (device.mode == 2)
                ++counts.second;
        }
    } catch (const std::exception& e) {
        qCWarning(Device) << "Cannot list attached printers:" << e.what();
    }
    return counts;
}

void RMDevice::setZPollInterval(int milliseconds)
{
    RMDevicePrivate::zPollIntervalMs = milliseconds;
}

// --- status

void RMDevice::statusMessage(const TrelJobInterface::StatusMsg& status)
{
    Q_D(RMDevice);
    qCDebug(Device) << "Port" << d->port << "status" << status.status.state.c_str();

    const QString oldModel = d->model, oldCpuId = d->cpuId, oldFwName = d->fwName,
                  oldFwVersion = d->fwVersion;
    const uint oldProto = d->protoVersion;
    const State oldState = state();
    const int oldProgress = d->printProgress;
    const double oldTemperature = d->temperature;
    const Error oldError = d->lastError;
    const bool oldValid = d->isFirmwareValid;

    d->model = QString::fromStdString(status.printer.model_name);
    d->cpuId = QString::fromStdString(status.printer.cpu_id);
    d->fwName = QString::fromStdString(status.printer.firmware.name);
    d->fwVersion = QString::fromStdString(status.printer.firmware.version);
    d->protoVersion = static_cast<uint>(status.printer.accept_version);

    const std::string& text = status.status.state;
    if (text.size() >= 7) {
        const std::string name = text.substr(6);
        for (const auto& row : STATES)
            if (name == row.text)
                d->state = row.state;
    }
    d->printProgress = status.job.progress;
    d->temperature = status.status.extruder_temperature;
    d->lastError = errorFromCode(status.error);
    // Not the empty status of a printer that went away: nothing answered.
    const bool outcome = d->outcomeAwaited && d->open;
    if (d->open)
        d->outcomeAwaited = false;
    d->isFirmwareValid = d->fwVersion == QLatin1String("0.0.0") ||
                         RMUtil::compareVersion(minFwVersion(), d->fwVersion) >= 0;

    // Every field is in place before the first signal, so that any slot sees
    // the whole new state.
    if (d->model != oldModel)
        emit modelChanged(d->model);
    if (d->cpuId != oldCpuId)
        emit cpuIdChanged(d->cpuId);
    if (d->fwName != oldFwName)
        emit fwNameChanged(d->fwName);
    if (d->fwVersion != oldFwVersion)
        emit fwVersionChanged(d->fwVersion);
    if (d->protoVersion != oldProto)
        emit protoVersionChanged(d->protoVersion);
    if (state() != oldState)
        emit stateChanged(state(), oldState);
    if (d->printProgress != oldProgress)
        emit printProgressChanged(d->printProgress);
    if (!(d->temperature == oldTemperature)) // a NaN on either side is a change
        emit temperatureChanged(d->temperature);
    if (status.error != 0 && (d->lastError != oldError || outcome)) {
        d->outcomeReported = true;
        qCWarning(Device) << "Printer error:" << status.error;
        emit error(d->lastError);
    }
    if (d->isFirmwareValid != oldValid)
        emit fwValidChanged(d->isFirmwareValid);
    // Not for the empty status with which a printer that went away is
    // cleared: nothing answered.
    if (d->open)
        emit statusReceived();
}

void RMDevice::setConnected(bool connected)
{
    Q_D(RMDevice);
    d->open = connected;
    if (!connected) {
        const State old = state();
        d->state = Disconnected;
        emit stateChanged(Disconnected, old);
        statusMessage(TrelJobInterface::StatusMsg());
    }
    emit deviceConnected(connected);
}

void RMDevice::jobData(const QByteArray& data)
{
    rmPostAcross(this, new RMJobDataEvent(data));
}

bool RMDevice::event(QEvent* e)
{
    rmHandoffReceived(this);
    if (e->type() == RMJobDataEvent::eventType()) {
        emit jobDataReceived(static_cast<RMJobDataEvent*>(e)->data);
        return true;
    }
    return QObject::event(e);
}

// --- actions

namespace {

// A job-channel request or a library call that throws: its outcome.
RMOutcome thrown(const std::exception& e)
{
    const auto* trel = dynamic_cast<const TrelException*>(&e);
    const TrelStatus status = trel ? trel->status() : TREL_ERROR_OTHER;
    return RMOutcome::failure(status,
                              QStringLiteral("%1 (%2)").arg(QLatin1String(trel_status_name(status)),
                                                            QString::fromUtf8(e.what())));
}

QString gcodeRefusal(int code)
{
    switch (code) {
    case GCODE_PROCESS_BUSY:
        return QStringLiteral("busy");
    case GCODE_PROCESS_UNKNOWN_COMMAND:
        return QStringLiteral("unknown command");
    case GCODE_PROCESS_BAD_ARGUMENT:
        return QStringLiteral("bad argument");
    case GCODE_PROCESS_FAILED:
        return QStringLiteral("failed");
    default:
        return QStringLiteral("refused");
    }
}

} // namespace

RMResult<QString> RMDevicePrivate::text(
    const char* command,
    TrelResult<std::shared_ptr<char>> (TrelCommandInterface::*call)(TrelDeviceAddress))
{
    const TrelResult<std::shared_ptr<char>> r = (client->*call)(port);
    RMResult<QString> result{rmExchangeOutcome(r.status, command), QString()};
    if (r.ok())
        result.value = latin1(r.value);
    return result;
}

RMResult<bool> RMDevicePrivate::gcode(const QString& code)
{
    qCDebug(Device) << "sendGCode:" << code;
    const TrelResult<gcode_process_result_t> r =
        client->gcode_process_command_checked(port, cText(code.toUtf8()));
    RMResult<bool> result{rmExchangeOutcome(r.status, "gcode_process_command"), false};
    if (!r.ok())
        return result;
    if (r.value != GCODE_PROCESS_OK)
        result.outcome = RMOutcome::refusal(r.value, QStringLiteral("the printer refused \"%1\": "
                                                                    "%2 (code %3)")
                                                         .arg(code, gcodeRefusal(r.value))
                                                         .arg(int(r.value)));
    result.value = result.outcome.isOk();
    return result;
}

RMResult<bool> RMDevicePrivate::storeConnected()
{
    qCDebug(Device) << "queryStoreConnected";
    const TrelResult<unsigned char> r = client->check_store_connection_checked(port);
    return {rmExchangeOutcome(r.status, "check_store_connection"), r.ok() && r.value != 0};
}

RMResult<void> RMDevicePrivate::filament(bool load)
{
    qCDebug(Device) << (load ? "startFilamentLoad" : "startFilamentUnload");
    // Its answer is 0 whatever the printer makes of the request (see
    // reportOutcomeOf): only the exchange counts here.
    const TrelResult<unsigned char> r =
        load ? client->load_initiate_checked(port) : client->unload_initiate_checked(port);
    return {rmExchangeOutcome(r.status, load ? "load_initiate" : "unload_initiate")};
}

RMResult<bool> RMDevicePrivate::jobRequest(bool pause)
{
    qCDebug(Device) << (pause ? "pause" : "abort");
    try {
        if (pause)
            client->SendPause(port);
        else
            client->SendAbort(port);
        return {RMOutcome(), true};
    } catch (const std::exception& e) {
        qCWarning(Device) << (pause ? "Pause not sent:" : "Abort not sent:") << e.what();
        return {thrown(e), false};
    }
}

QFuture<QString> RMDevice::queryVersion()
{
    Q_D(RMDevice);
    return d->plain<QString>(&d->commandPool, [](RMDevicePrivate* p) {
        qCDebug(Device) << "queryVersion";
        return p->text("bio_get_version", &TrelCommandInterface::bio_get_version_checked);
    });
}

QFuture<RMResult<QString>> RMDevice::queryVersionChecked()
{
    Q_D(RMDevice);
    return d->checked<QString>(&d->commandPool, [](RMDevicePrivate* p) {
        qCDebug(Device) << "queryVersion";
        return p->text("bio_get_version", &TrelCommandInterface::bio_get_version_checked);
    });
}

QFuture<QString> RMDevice::querySerial()
{
    Q_D(RMDevice);
    return d->plain<QString>(&d->commandPool, [](RMDevicePrivate* p) {
        qCDebug(Device) << "querySerial";
        return p->text("bio_get_serial", &TrelCommandInterface::bio_get_serial_checked);
    });
}

QFuture<RMResult<QString>> RMDevice::querySerialChecked()
{
    Q_D(RMDevice);
    return d->checked<QString>(&d->commandPool, [](RMDevicePrivate* p) {
        qCDebug(Device) << "querySerial";
        return p->text("bio_get_serial", &TrelCommandInterface::bio_get_serial_checked);
    });
}

QFuture<bool> RMDevice::sendGCode(const QString& code)
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->commandPool, [code](RMDevicePrivate* p) { return p->gcode(code); });
}

QFuture<RMResult<bool>> RMDevice::sendGCodeChecked(const QString& code)
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->commandPool, [code](RMDevicePrivate* p) { return p->gcode(code); });
}

QFuture<bool> RMDevice::queryStoreConnected()
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->commandPool, [](RMDevicePrivate* p) { return p->storeConnected(); });
}

QFuture<RMResult<bool>> RMDevice::queryStoreConnectedChecked()
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->commandPool,
                            [](RMDevicePrivate* p) { return p->storeConnected(); });
}

void RMDevice::startFilamentLoad()
{
    startFilamentLoadChecked();
}

void RMDevice::startFilamentUnload()
{
    startFilamentUnloadChecked();
}

QFuture<RMResult<void>> RMDevice::startFilamentLoadChecked()
{
    Q_D(RMDevice);
    const QFuture<RMResult<void>> request =
        d->checked<void>(&d->commandPool, [](RMDevicePrivate* p) { return p->filament(true); });
    d->reportOutcomeOf(request);
    return request;
}

QFuture<RMResult<void>> RMDevice::startFilamentUnloadChecked()
{
    Q_D(RMDevice);
    const QFuture<RMResult<void>> request =
        d->checked<void>(&d->commandPool, [](RMDevicePrivate* p) { return p->filament(false); });
    d->reportOutcomeOf(request);
    return request;
}

void RMDevicePrivate::reportOutcomeOf(const QFuture<void>& request)
{
    // The watcher's signal comes as an event posted when the task ends:
    // after every status that the printer sent before it had the request.
    Q_Q(RMDevice);
    outcomeReported = false;
    auto* watcher = new QFutureWatcher<void>(q);
    QObject::connect(watcher, &QFutureWatcherBase::finished, q, [this, q, watcher] {
        watcher->deleteLater();
        if (outcomeReported)
            return;
        outcomeAwaited = true;
        q->pollStatus();
    });
    watcher->setFuture(request);
}

void RMDevice::enterDfu()
{
    Q_D(RMDevice);
    d->plain<void>(&d->commandPool, [](RMDevicePrivate* p) {
        qCDebug(Device) << "enterDfu";
        // The printer leaves the bus as it obeys: a lost answer is expected.
        const TrelResult<void> r = p->client->Enter_dfu_mode_checked(p->port);
        if (!r.ok())
            qCDebug(Device) << "Enter_dfu_mode:" << r.status_name();
        if (p->open) {
            qCDebug(Device) << "closeDevice";
            try {
                TrelTransport::close(p->port);
            } catch (const std::exception& e) {
                qCWarning(Device) << e.what();
            }
        }
        return RMResult<void>();
    });
}

void RMDevice::pollStatus()
{
    Q_D(RMDevice);
    d->plain<void>(&d->jobPool, [](RMDevicePrivate* p) {
        if (p->state != FileRx) {
            try {
                p->client->RequestStatus(p->port);
            } catch (const std::exception& e) {
                // Nothing answers; a printer that went away is told apart by
                // its disconnection.
                qCDebug(Device) << "Status request not sent:" << e.what();
            }
        }
        return RMResult<void>();
    });
}

QFuture<bool> RMDevice::pause()
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->jobPool, [](RMDevicePrivate* p) { return p->jobRequest(true); });
}

QFuture<RMResult<bool>> RMDevice::pauseChecked()
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->jobPool, [](RMDevicePrivate* p) { return p->jobRequest(true); });
}

QFuture<bool> RMDevice::abort()
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->jobPool, [](RMDevicePrivate* p) { return p->jobRequest(false); });
}

QFuture<RMResult<bool>> RMDevice::abortChecked()
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->jobPool, [](RMDevicePrivate* p) { return p->jobRequest(false); });
}

void RMDevice::sendJobData(QByteArray data)
{
    Q_D(RMDevice);
    d->plain<void>(&d->jobPool, [data](RMDevicePrivate* p) {
        try {
            p->client->SendJobData(p->port,
                                   reinterpret_cast<const unsigned char*>(data.constData()),
                                   static_cast<unsigned int>(data.size()));
        } catch (const std::exception& e) {
            qCWarning(Device) << "Job data not sent:" << e.what();
        }
        return RMResult<void>();
    });
}

namespace {
// Where an upload's progress goes: its RMJobSend, while the device lives.
struct UploadTarget
{
    RMDevicePrivate* device;
    RMJobSend* send;
};

void postProgress(double percent, std::string, void* user)
{
    const auto* target = static_cast<UploadTarget*>(user);
    target->device->postToChild(target->send, new RMJobProgressEvent(static_cast<int>(percent)));
}
} // namespace

RMJobSend* RMDevice::sendJob(const QString& path)
{
    Q_D(RMDevice);
    if (d->currentJobSend || !d->open)
        return nullptr;
    RMJobSend* send = new RMJobSend(this);
    d->currentJobSend = send;
    // The device takes new jobs again once this one is over, whichever way.
    auto release = [d, send] {
        if (d->currentJobSend == send)
            d->currentJobSend = nullptr;
    };
    connect(send, &RMJobSend::done, this, release);
    connect(send, &RMJobSend::failed, this, release);

    RMDevicePrivate* p = d;
    const std::string file = path.toUtf8().toStdString();
    rmRunHanded(&d->jobPool, [p, send, file] {
        p->nameThread("job");
        UploadTarget target{p, send};
        try {
            if (!p->open)
                throw TrelException(TREL_ERROR_NO_DEVICE,
                                    "Send failed - Device no longer connected.");
            p->client->SendJobFile(p->port, file, postProgress, &target, false);
        } catch (const std::exception& e) {
            // Without this the device would refuse every later job and nobody
            // would know why.
            qCWarning(Device) << "Upload of" << file.c_str() << "failed:" << e.what();
            p->postToChild(send,
                           new RMJobFailedEvent(thrown(e).status(), QString::fromUtf8(e.what())));
        }
        rmHandoffSent(p); // to whoever waits for the pools
    });
    return send;
}

// --- head moves

namespace {

// One head move on the Z servo: its settings are read first, its power caps
// lowered for the move, and what was read is written back at the end, after
// a failed step too. A failed read ends it before anything is written: the
// value of a failed read is not the printer's (an all-zero record would zero
// the servo's caps, gains and speeds). Each step does nothing once one has
// failed.
class HeadMove
{
public:
    explicit HeadMove(RMDevicePrivate* device) : p(device)
    {
        const TrelResult<servo_dc_client_config_t> r =
            p->client->servo_dc_config_get_checked(p->port, Z_AXIS);
        if (check(r.status, "servo_dc_config_get")) {
            read = r.value;
            config = r.value;
            haveRead = true;
        }
    }

    HeadMove& caps(int32_t cap, uint32_t capTime)
    {
        if (outcome.isOk()) {
            config.pwm_cap = cap;
            config.pwm_cap_time = capTime;
            check(p->client->servo_dc_config_set_checked(p->port, Z_AXIS, config).status,
                  "servo_dc_config_set");
        }
        return *this;
    }

    HeadMove& zero(const char* what)
    {
        if (outcome.isOk()) {
            qCDebug(Device) << what;
            check(p->client->servo_dc_position_set_client_checked(p->port, Z_AXIS, 0.0f).status,
                  "servo_dc_position_set_client");
        }
        return *this;
    }

    // Type 1 moves by `distance`, type 3 to `target`; then waits until the
    // axis has stopped and the printer's queue is empty.
    HeadMove& move(uint32_t type, double target, float distance, float speed, float accel)
    {
        if (!outcome.isOk())
            return *this;
        const TrelResult<servo_dc_move_config_t> defaults =
            p->client->servo_dc_move_default_checked(p->port);
        if (!check(defaults.status, "servo_dc_move_default"))
            return *this;
        auto move = std::make_shared<servo_dc_move_config_t>(defaults.value);
        move->move_type = type;
        if (type == 1)
            move->distance = distance;
        else
            move->target = target;
        move->speed_f = speed;
        move->accel_f = accel;
        move->ignore_stalls = true;
        if (check(p->client->servo_dc_move_checked(p->port, Z_AXIS, move).status,
                  "servo_dc_move") &&
            waitForZStop())
            check(p->client->gcode_process_command_checked(p->port, cText("M400")).status,
                  "gcode_process_command");
        return *this;
    }

    // Writes back what was read; the move's result.
    RMResult<bool> finish()
    {
        if (!haveRead) {
            outcome.addDetail(QStringLiteral("nothing was changed"));
            return {outcome, false};
        }
        const TrelStatus restored =
            p->client->servo_dc_config_set_checked(p->port, Z_AXIS, read).status;
        if (outcome.isOk() && restored != TREL_SUCCESS) {
            outcome = rmExchangeOutcome(restored, "servo_dc_config_set");
            outcome.addDetail(QStringLiteral("the Z servo's settings may not be restored"));
        } else if (!outcome.isOk()) {
            outcome.addDetail(restored == TREL_SUCCESS
                                  ? QStringLiteral("the Z servo's settings were restored")
                                  : QStringLiteral("restoring the Z servo's settings failed "
                                                   "too (%1)")
                                        .arg(QLatin1String(trel_status_name(restored))));
        }
        if (!outcome.isOk())
            qCWarning(Device) << "Head move failed:" << outcome.text();
        return {outcome, outcome.isOk()};
    }

private:
    bool check(TrelStatus status, const char* command)
    {
        if (status == TREL_SUCCESS)
            return true;
        outcome = rmExchangeOutcome(status, command);
        return false;
    }

    bool waitForZStop()
    {
        qCDebug(Device) << "Waiting for move to complete";
        const auto interval = std::chrono::milliseconds(RMDevicePrivate::zPollIntervalMs.load());
        auto position = [this](int& at) {
            const TrelResult<int> r = p->client->servo_dc_position_get_checked(p->port, Z_AXIS);
            at = r.value;
            return check(r.status, "servo_dc_position_get");
        };
        int last = 0, now = 0;
        if (!position(last))
            return false;
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(interval);
            if (!position(now))
                return false;
            const bool settled = now == last;
            last = now;
            if (settled)
                break;
        }
        if (!position(now))
            return false;
        if (now == last)
            qCDebug(Device) << "Move completed";
        else
            qCDebug(Device) << "Move not completed in time";
        return true;
    }

    RMDevicePrivate* const p;
    servo_dc_client_config_t read{};
    servo_dc_client_config_t config{};
    bool haveRead = false;
    RMOutcome outcome;
};

} // namespace

RMResult<bool> RMDevicePrivate::raiseHead()
{
    qCDebug(Device) << "raiseHead";
    HeadMove m(this);
    // Up 35 mm with the caps lowered, then unjammed 5 mm down.
    m.caps(2000, 5)
        .move(1, 0.0, 35.0f, 2.5f, 2.5f)
        .caps(3580, 200)
        .zero("Unjamming head")
        .move(3, -5.0, 0.0f, 1.0f, 1.0f);
    return m.finish();
}

RMResult<bool> RMDevicePrivate::lowerHeadToShipment()
{
    qCDebug(Device) << "lowerHeadToShipment";
    HeadMove m(this);
    m.caps(2000, 5)
        .zero("Bumping head up")
        .move(3, 150.0, 0.0f, 2.5f, 2.5f)
        .caps(3580, 200)
        .zero("Unjamming head")
        .move(3, -5.0, 0.0f, 1.0f, 1.0f)
        .zero("Moving head down")
        .move(3, -120.0, 0.0f, 5.0f, 20.0f);
    return m.finish();
}

QFuture<bool> RMDevice::raiseHead()
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->commandPool, [](RMDevicePrivate* p) { return p->raiseHead(); });
}

QFuture<RMResult<bool>> RMDevice::raiseHeadChecked()
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->commandPool, [](RMDevicePrivate* p) { return p->raiseHead(); });
}

QFuture<bool> RMDevice::lowerHeadToShipment()
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->commandPool,
                          [](RMDevicePrivate* p) { return p->lowerHeadToShipment(); });
}

QFuture<RMResult<bool>> RMDevice::lowerHeadToShipmentChecked()
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->commandPool,
                            [](RMDevicePrivate* p) { return p->lowerHeadToShipment(); });
}

// --- Wi-Fi

RMResult<RMWiFiStatus> RMDevicePrivate::wifiStatus()
{
    qCDebug(Device) << "queryWiFiStatus";
    const TrelResult<wifi_status_t> r =
        client->wifi_client_get_status_checked(port, WIFI_INTERFACE_CLIENT);
    RMResult<RMWiFiStatus> result{rmExchangeOutcome(r.status, "wifi_client_get_status"), {}};
    if (r.ok())
        result.value = RMWiFiStatus::fromFirmware(r.value);
    return result;
}

RMResult<RMWiFiConfig> RMDevicePrivate::wifiConfig()
{
    qCDebug(Device) << "queryWiFiConfig";
    const TrelResult<wifi_config_t> r =
        client->wifi_client_get_configuration_checked(port, WIFI_INTERFACE_CLIENT);
    RMResult<RMWiFiConfig> result{rmExchangeOutcome(r.status, "wifi_client_get_configuration"), {}};
    if (r.ok())
        result.value = RMWiFiConfig(r.value);
    return result;
}

RMResult<QList<RMWiFiNetwork>> RMDevicePrivate::scanWiFi()
{
    qCDebug(Device) << "scanWiFi";
    RMResult<QList<RMWiFiNetwork>> result;
    const TrelResult<int> n = client->wifi_client_scan_refresh_checked(port, WIFI_INTERFACE_CLIENT);
    result.outcome = rmExchangeOutcome(n.status, "wifi_client_scan_refresh");
    if (!n.ok())
        return result;
    qCDebug(Device) << "got " << n.value << "networks";
    QList<RMWiFiNetwork> networks;
    for (int i = 0; i < n.value && i <= 255; ++i) {
        const TrelResult<wifi_scan_network_t> r = client->wifi_client_scan_get_checked(
            port, WIFI_INTERFACE_CLIENT, static_cast<unsigned char>(i));
        result.outcome = rmExchangeOutcome(r.status, "wifi_client_scan_get");
        if (!r.ok())
            return result; // a list with a hole would pass for the whole scan
        const wifi_scan_network_t& scanned = r.value;
        RMWiFiNetwork net;
        net.ssid = QString::fromLatin1(
            scanned.ssid, static_cast<int>(strnlen(scanned.ssid, sizeof scanned.ssid)));
        net.strength = static_cast<quint8>(scanned.strength);
        switch (scanned.encryption) {
        case 0:
            net.security = RMDevice::WIFI_OPEN;
            break;
        case 1:
            net.security = RMDevice::WIFI_WEP;
            break;
        case 2:
        case 3:
            net.security = RMDevice::WIFI_WPA_PSK;
            break;
        default:
            qCCritical(Device) << "Unexpected security type " << scanned.encryption
                               << "in scan results";
            net.security = RMDevice::WIFI_WPA_PSK;
            net.known = false;
            break;
        }
        networks.append(net);
    }
    result.value = networks;
    return result;
}

void RMDevicePrivate::readBackWifi(RMOutcome& outcome, bool stored)
{
    if (!outcome.isUnknown())
        return;
    outcome.addDetail(QStringLiteral("whether the printer made the change is unknown"));
    if (stored) {
        const RMResult<RMWiFiConfig> now = wifiConfig();
        if (!now.isOk())
            outcome.addDetail(QStringLiteral("its stored settings could not be read back (%1)")
                                  .arg(now.outcome.statusName()));
        else
            outcome.addDetail(
                QStringLiteral("the printer now stores the network \"%1\", automatic connection %2")
                    .arg(now.value.ssid(), now.value.data().ifc_config.auto_connect
                                               ? QStringLiteral("on")
                                               : QStringLiteral("off")));
        return;
    }
    const RMResult<RMWiFiStatus> now = wifiStatus();
    if (!now.isOk())
        outcome.addDetail(QStringLiteral("its Wi-Fi state could not be read back (%1)")
                              .arg(now.outcome.statusName()));
    else if (now.value.connected())
        outcome.addDetail(
            QStringLiteral("the printer now reports: connected to \"%1\"").arg(now.value.ssid()));
    else
        outcome.addDetail(QStringLiteral("the printer now reports: not connected"));
}

RMResult<bool> RMDevicePrivate::connectWifi(const QString& ssid, const QString& password)
{
    qCDebug(Device) << "connectWifi";
    wifi_client_connect_t record{};
    // One byte per character: its code when it fits, else 0.
    auto store = [](const QString& text, char* out, int size) {
        const int n = std::min(text.size(), size);
        for (int i = 0; i < n; ++i) {
            const ushort code = text.at(i).unicode();
            out[i] = static_cast<char>(code <= 0xFF ? code : 0);
        }
    };
    store(ssid, record.ssid, static_cast<int>(sizeof record.ssid));
    store(password, record.key, static_cast<int>(sizeof record.key));
    record.timeout = 15000;
    const TrelResult<int> r =
        client->wifi_client_connect_checked(port, WIFI_INTERFACE_CLIENT, record);
    std::memset(record.key, 0, sizeof record.key);
    RMResult<bool> result{rmExchangeOutcome(r.status, "wifi_client_connect"), false};
    if (!r.ok())
        readBackWifi(result.outcome, false);
    else if (r.value != 0)
        result.outcome = RMOutcome::refusal(
            r.value, QStringLiteral("the printer could not connect to \"%1\" (code %2)")
                         .arg(ssid.left(32))
                         .arg(r.value));
    result.value = result.outcome.isOk();
    return result;
}

RMResult<bool> RMDevicePrivate::disconnectWifi()
{
    qCDebug(Device) << "disconnectWifi";
    const TrelResult<int> r = client->wifi_disconnect_checked(port, WIFI_INTERFACE_CLIENT);
    RMResult<bool> result{rmExchangeOutcome(r.status, "wifi_disconnect"), false};
    if (!r.ok())
        readBackWifi(result.outcome, false);
    else if (r.value != 0)
        result.outcome = RMOutcome::refusal(
            r.value, QStringLiteral("the printer did not disconnect (code %1)").arg(r.value));
    result.value = result.outcome.isOk();
    return result;
}

RMResult<bool> RMDevicePrivate::setWiFiConfig(const QString& ssid, const QString& password,
                                              bool autoConnect)
{
    qCDebug(Device) << "setWiFiConfig";
    // The first that fails ends it; nothing is rolled back (the printer
    // keeps what it took).
    const struct
    {
        const char* command;
        std::function<TrelResult<int>()> send;
    } steps[] = {
        {"wifi_set_auto_connect_ssid_configuration_item",
         [&] {
             return client->wifi_set_auto_connect_ssid_configuration_item_checked(
                 port, WIFI_INTERFACE_CLIENT, cText(ssid.left(32).toUtf8()));
         }},
        {"wifi_set_auto_connect_key_configuration_item",
         [&] {
             return client->wifi_set_auto_connect_key_configuration_item_checked(
                 port, WIFI_INTERFACE_CLIENT, cText(password.left(64).toUtf8()));
         }},
        {"wifi_set_auto_connect_configuration_item",
         [&] {
             return client->wifi_set_auto_connect_configuration_item_checked(
                 port, WIFI_INTERFACE_CLIENT, autoConnect);
         }},
    };
    RMResult<bool> result{RMOutcome(), false};
    for (const auto& step : steps) {
        const TrelResult<int> r = step.send();
        result.outcome = rmExchangeOutcome(r.status, step.command);
        if (!r.ok()) {
            readBackWifi(result.outcome, true);
            return result;
        }
        if (r.value != 0) {
            result.outcome = RMOutcome::refusal(
                r.value,
                QStringLiteral("the printer refused %1 (code %2)").arg(step.command).arg(r.value));
            return result;
        }
    }
    result.value = true;
    return result;
}

QFuture<RMWiFiStatus> RMDevice::queryWiFiStatus()
{
    Q_D(RMDevice);
    return d->plain<RMWiFiStatus>(&d->commandPool,
                                  [](RMDevicePrivate* p) { return p->wifiStatus(); });
}

QFuture<RMResult<RMWiFiStatus>> RMDevice::queryWiFiStatusChecked()
{
    Q_D(RMDevice);
    return d->checked<RMWiFiStatus>(&d->commandPool,
                                    [](RMDevicePrivate* p) { return p->wifiStatus(); });
}

QFuture<RMWiFiConfig> RMDevice::queryWiFiConfig()
{
    Q_D(RMDevice);
    return d->plain<RMWiFiConfig>(&d->commandPool,
                                  [](RMDevicePrivate* p) { return p->wifiConfig(); });
}

QFuture<RMResult<RMWiFiConfig>> RMDevice::queryWiFiConfigChecked()
{
    Q_D(RMDevice);
    return d->checked<RMWiFiConfig>(&d->commandPool,
                                    [](RMDevicePrivate* p) { return p->wifiConfig(); });
}

QFuture<QList<RMWiFiNetwork>> RMDevice::scanWiFi()
{
    Q_D(RMDevice);
    return d->plain<QList<RMWiFiNetwork>>(&d->commandPool,
                                          [](RMDevicePrivate* p) { return p->scanWiFi(); });
}

QFuture<RMResult<QList<RMWiFiNetwork>>> RMDevice::scanWiFiChecked()
{
    Q_D(RMDevice);
    return d->checked<QList<RMWiFiNetwork>>(&d->commandPool,
                                            [](RMDevicePrivate* p) { return p->scanWiFi(); });
}

QFuture<bool> RMDevice::connectWifi(const QString& ssid, const QString& password)
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->commandPool, [ssid, password](RMDevicePrivate* p) {
        return p->connectWifi(ssid, password);
    });
}

QFuture<RMResult<bool>> RMDevice::connectWifiChecked(const QString& ssid, const QString& password)
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->commandPool, [ssid, password](RMDevicePrivate* p) {
        return p->connectWifi(ssid, password);
    });
}

QFuture<bool> RMDevice::disconnectWifi()
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->commandPool, [](RMDevicePrivate* p) { return p->disconnectWifi(); });
}

QFuture<RMResult<bool>> RMDevice::disconnectWifiChecked()
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->commandPool,
                            [](RMDevicePrivate* p) { return p->disconnectWifi(); });
}

QFuture<bool> RMDevice::setWiFiConfig(const QString& ssid, const QString& password,
                                      bool autoConnect)
{
    Q_D(RMDevice);
    return d->plain<bool>(&d->commandPool, [ssid, password, autoConnect](RMDevicePrivate* p) {
        return p->setWiFiConfig(ssid, password, autoConnect);
    });
}

QFuture<RMResult<bool>> RMDevice::setWiFiConfigChecked(const QString& ssid, const QString& password,
                                                       bool autoConnect)
{
    Q_D(RMDevice);
    return d->checked<bool>(&d->commandPool, [ssid, password, autoConnect](RMDevicePrivate* p) {
        return p->setWiFiConfig(ssid, password, autoConnect);
    });
}

// --- RMJobSend

class RMJobSendPrivate
{
public:
    int progress = 0;
    bool done = false;
    bool failed = false;
    TrelStatus status = TREL_SUCCESS;
    QString errorString;
};

RMJobSend::RMJobSend(QObject* parent) : QObject(parent), d_ptr(new RMJobSendPrivate) {}

RMJobSend::~RMJobSend() = default;

int RMJobSend::progress() const
{
    Q_D(const RMJobSend);
    return d->progress;
}

bool RMJobSend::isDone() const
{
    Q_D(const RMJobSend);
    return d->done;
}

bool RMJobSend::isFailed() const
{
    Q_D(const RMJobSend);
    return d->failed;
}

QString RMJobSend::errorString() const
{
    Q_D(const RMJobSend);
    return d->errorString;
}

RMOutcome RMJobSend::outcome() const
{
    Q_D(const RMJobSend);
    return d->failed ? RMOutcome::failure(d->status, d->errorString) : RMOutcome();
}

bool RMJobSend::event(QEvent* e)
{
    Q_D(RMJobSend);
    rmHandoffReceived(this);
    if (e->type() == RMJobProgressEvent::eventType()) {
        const int percent = static_cast<RMJobProgressEvent*>(e)->percent;
        d->progress = percent;
        // A slot may spin the event loop (a modal QProgressDialog's
        // setValue() does), and the printer may go in it, and this upload
        // with its device: nothing of this object is touched once it is
        // gone. Its device reported it failed on the way out.
        const QPointer<RMJobSend> self(this);
        emit progressChanged(percent);
        if (self && percent == 100 && !d->done && !d->failed) {
            d->done = true;
            emit done();
        }
        return true;
    }
    if (e->type() == RMJobFailedEvent::eventType()) {
        if (!d->done && !d->failed) {
            d->failed = true;
            d->status = static_cast<RMJobFailedEvent*>(e)->status;
            d->errorString = static_cast<RMJobFailedEvent*>(e)->reason;
            emit failed(d->errorString);
        }
        return true;
    }
    return QObject::event(e);
}
