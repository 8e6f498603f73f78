#include "RMDevice.h"
#include "RMDeviceEvents.h"
#include "RMDevice_p.h"
#include "RMWiFi.h"

#include <LogCategories.h>
#include <RMUtil.h>

#include <trel/TrelClient.h>
#include <trel/TrelException.h>

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QPointer>
#include <QThread>

#include <cmath>
#include <cstring>
#include <exception>
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

RMDevicePrivate::RMDevicePrivate(RMDevice* owner, TrelDeviceAddress address, TrelClient* c)
    : q(owner), client(c), commandPool(new QThreadPool(owner)), jobPool(new QThreadPool(owner)),
      port(address)
{
    commandPool->setMaxThreadCount(1);
    jobPool->setMaxThreadCount(1);
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

// --- construction

RMDevice::RMDevice(TrelDeviceAddress port, TrelClient* client)
    : d(new RMDevicePrivate(this, port, client))
{
    qRegisterMetaType<RMDevice::State>("RMDevice::State");
    qRegisterMetaType<RMDevice::Error>("RMDevice::Error");
}

RMDevice::~RMDevice()
{
    // Tasks hold this device's private object: none may outlive it. A
    // running one ends soon, since the device is only let go of after its
    // printer went away (every exchange then fails at once) or at shutdown,
    // after the printers were closed. Queued ones still run, find the device
    // closed and end at once with their fallback: dropped from the pool,
    // their futures would never finish, and whoever waits for one (a
    // watcher, a caller of result()) would wait for ever.
    d->open = false;
    d->commandPool->waitForDone();
    d->jobPool->waitForDone();
    rmHandoffReceived(d);
    // An upload still under way goes with this device (its RMJobSend is a
    // child), and with it the failure its task posted: the user was never
    // told. It ends here, and says so, while whoever follows it is still
    // connected.
    if (RMJobSend* send = d->currentJobSend) {
        QCoreApplication::sendPostedEvents(send);
        if (!send->isDone() && !send->isFailed()) {
            RMJobFailedEvent failure(QStringLiteral("Send failed - Device no longer connected."));
            QCoreApplication::sendEvent(send, &failure);
        }
    }
    delete d;
}

// --- accessors

TrelDeviceAddress RMDevice::port() const
{
    return d->port;
}
bool RMDevice::isOpen() const
{
    return d->open;
}
QString RMDevice::model() const
{
    return d->model;
}
QString RMDevice::cpuId() const
{
    return d->cpuId;
}
QString RMDevice::fwName() const
{
    return d->fwName;
}
QString RMDevice::fwVersion() const
{
    return d->fwVersion;
}
uint RMDevice::protoVersion() const
{
    return d->protoVersion;
}
RMDevice::State RMDevice::state() const
{
    return static_cast<State>(d->state.load());
}
int RMDevice::printProgress() const
{
    return d->printProgress;
}
double RMDevice::temperature() const
{
    return d->temperature;
}
RMDevice::Error RMDevice::lastError() const
{
    return d->lastError;
}
bool RMDevice::isFirmwareValid() const
{
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

QFuture<QString> RMDevice::queryVersion()
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, QString(), [p] {
        qCDebug(Device) << "queryVersion";
        return latin1(p->client->bio_get_version(p->port));
    });
}

QFuture<QString> RMDevice::querySerial()
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, QString(), [p] {
        qCDebug(Device) << "querySerial";
        return latin1(p->client->bio_get_serial(p->port));
    });
}

QFuture<bool> RMDevice::sendGCode(const QString& code)
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, false, [p, code] {
        qCDebug(Device) << "sendGCode:" << code;
        return p->client->gcode_process_command(p->port, cText(code.toUtf8())) == 0;
    });
}

QFuture<bool> RMDevice::queryStoreConnected()
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, false, [p] {
        qCDebug(Device) << "queryStoreConnected";
        return p->client->check_store_connection(p->port) != 0;
    });
}

void RMDevice::startFilamentLoad()
{
    RMDevicePrivate* p = d;
    d->reportOutcomeOf(d->runVoid(d->commandPool, [p] {
        qCDebug(Device) << "startFilamentLoad";
        p->client->load_initiate(p->port);
    }));
}

void RMDevice::startFilamentUnload()
{
    RMDevicePrivate* p = d;
    d->reportOutcomeOf(d->runVoid(d->commandPool, [p] {
        qCDebug(Device) << "startFilamentUnload";
        p->client->unload_initiate(p->port);
    }));
}

void RMDevicePrivate::reportOutcomeOf(const QFuture<void>& request)
{
    // The watcher's signal comes as an event posted when the task ends:
    // after every status that the printer sent before it had the request.
    outcomeReported = false;
    auto* watcher = new QFutureWatcher<void>(q);
    QObject::connect(watcher, &QFutureWatcherBase::finished, q, [this, watcher] {
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
    RMDevicePrivate* p = d;
    d->runVoid(d->commandPool, [p] {
        qCDebug(Device) << "enterDfu";
        p->client->Enter_dfu_mode(p->port);
        if (!p->open)
            return;
        qCDebug(Device) << "closeDevice";
        try {
            TrelTransport::close(p->port);
        } catch (const std::exception& e) {
            qCWarning(Device) << e.what();
        }
    });
}

void RMDevice::pollStatus()
{
    RMDevicePrivate* p = d;
    d->runVoid(d->jobPool, [p] {
        if (p->state != FileRx)
            p->client->RequestStatus(p->port);
    });
}

QFuture<bool> RMDevice::pause()
{
    RMDevicePrivate* p = d;
    return d->run(d->jobPool, false, [p] {
        qCDebug(Device) << "pause";
        try {
            p->client->SendPause(p->port);
            return true;
        } catch (const std::exception& e) {
            qCWarning(Device) << "Pause not sent:" << e.what();
            return false;
        }
    });
}

QFuture<bool> RMDevice::abort()
{
    RMDevicePrivate* p = d;
    return d->run(d->jobPool, false, [p] {
        qCDebug(Device) << "abort";
        try {
            p->client->SendAbort(p->port);
            return true;
        } catch (const std::exception& e) {
            qCWarning(Device) << "Abort not sent:" << e.what();
            return false;
        }
    });
}

void RMDevice::sendJobData(QByteArray data)
{
    RMDevicePrivate* p = d;
    d->runVoid(d->jobPool, [p, data] {
        p->client->SendJobData(p->port, reinterpret_cast<const unsigned char*>(data.constData()),
                               static_cast<unsigned int>(data.size()));
    });
}

namespace {
void postProgress(double percent, std::string, void* user)
{
    rmPostAcross(static_cast<RMJobSend*>(user), new RMJobProgressEvent(static_cast<int>(percent)));
}
} // namespace

RMJobSend* RMDevice::sendJob(const QString& path)
{
    if (d->currentJobSend || !d->open)
        return nullptr;
    RMJobSend* send = new RMJobSend(this);
    d->currentJobSend = send;
    // The device takes new jobs again once this one is over, whichever way.
    auto release = [this, send] {
        if (d->currentJobSend == send)
            d->currentJobSend = nullptr;
    };
    connect(send, &RMJobSend::done, this, release);
    connect(send, &RMJobSend::failed, this, release);

    RMDevicePrivate* p = d;
    const std::string file = path.toUtf8().toStdString();
    rmRunHanded(d->jobPool, [p, send, file] {
        p->nameThread("job");
        try {
            if (!p->open)
                throw TrelException("Send failed - Device no longer connected.");
            p->client->SendJobFile(p->port, file, postProgress, send, false);
        } catch (const std::exception& e) {
            // Without this the device would refuse every later job and nobody
            // would know why.
            qCWarning(Device) << "Upload of" << file.c_str() << "failed:" << e.what();
            rmPostAcross(send, new RMJobFailedEvent(QString::fromUtf8(e.what())));
        }
        rmHandoffSent(p); // to the device's end (waitForDone)
    });
    return send;
}

// --- head moves

void RMDevicePrivate::setPwmCap(servo_dc_client_config_t& config, int32_t cap, uint32_t capTime)
{
    config.pwm_cap = cap;
    config.pwm_cap_time = capTime;
    client->servo_dc_config_set(port, Z_AXIS, config);
}

void RMDevicePrivate::zero()
{
    client->servo_dc_position_set_client(port, Z_AXIS, 0.0f);
}

void RMDevicePrivate::move(uint32_t type, double target, float distance, float speed, float accel)
{
    auto config = std::make_shared<servo_dc_move_config_t>(client->servo_dc_move_default(port));
    config->move_type = type;
    if (type == 1)
        config->distance = distance;
    else
        config->target = target;
    config->speed_f = speed;
    config->accel_f = accel;
    config->ignore_stalls = true;
    client->servo_dc_move(port, Z_AXIS, config);
    waitForZStop();
    waitForCmdComplete();
}

bool RMDevicePrivate::waitForZStop()
{
    qCDebug(Device) << "Waiting for move to complete";
    const auto interval = std::chrono::milliseconds(zPollIntervalMs.load());
    int last = client->servo_dc_position_get(port, Z_AXIS);
    for (int i = 0; i < 60; ++i) {
        std::this_thread::sleep_for(interval);
        const int now = client->servo_dc_position_get(port, Z_AXIS);
        const bool settled = now == last;
        last = now;
        if (settled)
            break;
    }
    const bool done = client->servo_dc_position_get(port, Z_AXIS) == last;
    if (done)
        qCDebug(Device) << "Move completed";
    else
        qCDebug(Device) << "Move not completed in time";
    return done;
}

void RMDevicePrivate::waitForCmdComplete()
{
    client->gcode_process_command(port, cText("M400"));
}

QFuture<void> RMDevice::raiseHead()
{
    RMDevicePrivate* p = d;
    return d->runVoid(d->commandPool, [p] {
        qCDebug(Device) << "raiseHead";
        servo_dc_client_config_t config = p->client->servo_dc_config_get(p->port, Z_AXIS);
        const int32_t keptCap = config.pwm_cap;
        const uint32_t keptTime = config.pwm_cap_time;
        p->setPwmCap(config, 2000, 5);
        p->move(1, 0.0, 35.0f, 2.5f, 2.5f);
        p->setPwmCap(config, 3580, 200);
        qCDebug(Device) << "Unjamming head";
        p->zero();
        p->move(3, -5.0, 0.0f, 1.0f, 1.0f);
        p->setPwmCap(config, keptCap, keptTime);
    });
}

QFuture<void> RMDevice::lowerHeadToShipment()
{
    RMDevicePrivate* p = d;
    return d->runVoid(d->commandPool, [p] {
        qCDebug(Device) << "lowerHeadToShipment";
        servo_dc_client_config_t config = p->client->servo_dc_config_get(p->port, Z_AXIS);
        const int32_t keptCap = config.pwm_cap;
        const uint32_t keptTime = config.pwm_cap_time;
        p->setPwmCap(config, 2000, 5);
        qCDebug(Device) << "Bumping head up";
        p->zero();
        p->move(3, 150.0, 0.0f, 2.5f, 2.5f);
        p->setPwmCap(config, 3580, 200);
        qCDebug(Device) << "Unjamming head";
        p->zero();
        p->move(3, -5.0, 0.0f, 1.0f, 1.0f);
        qCDebug(Device) << "Moving head down";
        p->zero();
        p->move(3, -120.0, 0.0f, 5.0f, 20.0f);
        p->setPwmCap(config, keptCap, keptTime);
    });
}

// --- Wi-Fi

QFuture<RMWiFiStatus> RMDevice::queryWiFiStatus()
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, RMWiFiStatus(), [p] {
        qCDebug(Device) << "queryWiFiStatus";
        return RMWiFiStatus::fromFirmware(
            p->client->wifi_client_get_status(p->port, WIFI_INTERFACE_CLIENT));
    });
}

QFuture<RMWiFiConfig> RMDevice::queryWiFiConfig()
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, RMWiFiConfig(), [p] {
        qCDebug(Device) << "queryWiFiConfig";
        return RMWiFiConfig(
            p->client->wifi_client_get_configuration(p->port, WIFI_INTERFACE_CLIENT));
    });
}

QFuture<QList<RMWiFiNetwork>> RMDevice::scanWiFi()
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, QList<RMWiFiNetwork>(), [p] {
        qCDebug(Device) << "scanWiFi";
        const int n = p->client->wifi_client_scan_refresh(p->port, WIFI_INTERFACE_CLIENT);
        qCDebug(Device) << "got " << n << "networks";
        QList<RMWiFiNetwork> networks;
        for (int i = 0; i < n && i <= 255; ++i) {
            const wifi_scan_network_t scanned = p->client->wifi_client_scan_get(
                p->port, WIFI_INTERFACE_CLIENT, static_cast<unsigned char>(i));
            RMWiFiNetwork net;
            net.ssid = QString::fromLatin1(
                scanned.ssid, static_cast<int>(strnlen(scanned.ssid, sizeof scanned.ssid)));
            net.strength = static_cast<quint8>(scanned.strength);
            switch (scanned.encryption) {
            case 0:
                net.security = WIFI_OPEN;
                break;
            case 1:
                net.security = WIFI_WEP;
                break;
            case 2:
            case 3:
                net.security = WIFI_WPA_PSK;
                break;
            default:
                qCCritical(Device)
                    << "Unexpected security type " << scanned.encryption << "in scan results";
                net.security = WIFI_WPA_PSK;
                net.known = false;
                break;
            }
            networks.append(net);
        }
        return networks;
    });
}

QFuture<bool> RMDevice::connectWifi(const QString& ssid, const QString& password)
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, false, [p, ssid, password] {
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
        return p->client->wifi_client_connect(p->port, WIFI_INTERFACE_CLIENT, record) == 0;
    });
}

QFuture<bool> RMDevice::disconnectWifi()
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, false, [p] {
        qCDebug(Device) << "disconnectWifi";
        return p->client->wifi_disconnect(p->port, WIFI_INTERFACE_CLIENT) == 0;
    });
}

QFuture<bool> RMDevice::setWiFiConfig(const QString& ssid, const QString& password,
                                      bool autoConnect)
{
    RMDevicePrivate* p = d;
    return d->run(d->commandPool, false, [p, ssid, password, autoConnect] {
        qCDebug(Device) << "setWiFiConfig";
        if (p->client->wifi_set_auto_connect_ssid_configuration_item(
                p->port, WIFI_INTERFACE_CLIENT, cText(ssid.left(32).toUtf8())) != 0)
            return false;
        if (p->client->wifi_set_auto_connect_key_configuration_item(
                p->port, WIFI_INTERFACE_CLIENT, cText(password.left(64).toUtf8())) != 0)
            return false;
        return p->client->wifi_set_auto_connect_configuration_item(p->port, WIFI_INTERFACE_CLIENT,
                                                                   autoConnect) == 0;
    });
}

// --- RMJobSend

struct RMJobSend::Private
{
    int progress = 0;
    bool done = false;
    bool failed = false;
    QString errorString;
};

RMJobSend::RMJobSend(QObject* parent) : QObject(parent), d(new Private) {}

RMJobSend::~RMJobSend()
{
    delete d;
}

int RMJobSend::progress() const
{
    return d->progress;
}

bool RMJobSend::isDone() const
{
    return d->done;
}

bool RMJobSend::isFailed() const
{
    return d->failed;
}

QString RMJobSend::errorString() const
{
    return d->errorString;
}

bool RMJobSend::event(QEvent* e)
{
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
            d->errorString = static_cast<RMJobFailedEvent*>(e)->reason;
            emit failed(d->errorString);
        }
        return true;
    }
    return QObject::event(e);
}
