#pragma once

#include "TrelQt.h"

#include <trel/TrelJobInterface.h>

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

class TrelClient;
class RMDevicePrivate;
class RMJobSend;
class RMWiFiStatus;
class RMWiFiConfig;
struct RMWiFiNetwork;

// One attached printer as the program sees it. Lives on the GUI thread; its
// identity and state follow the printer's status messages and every change is
// signalled. Its actions never block the caller: each runs as a task on one
// of two single-thread pools (commands; status polls and uploads), so that
// commands to one printer never overlap and a poll never overlaps an upload.
class RMDevice : public QObject
{
    Q_OBJECT

public:
    enum State {
        Unknown,
        Disconnected,
        PreInit,
        Initializing,
        Idle,
        Pausing,
        Paused,
        Unpaused,
        FileRx,
        JobQueued,
        PreparingBuild,
        Building,
        LoadHeating,
        LoadExtruding,
        UnloadHeating,
        UnloadRetracting,
        HomingInit,
        HomingHeating,
        HomingCooling,
        HomingXY,
        HomingZRough,
        HomingZFine,
        HomingComplete,
        OutOfFilament,
    };
    Q_ENUM(State)

    enum Error {
        NoError,
        UnknownError,
        FilamentAlreadyLoaded,
        LoadTimeout,
        FilamentAlreadyUnloaded,
        UnloadTimeout,
    };
    Q_ENUM(Error)

    enum SecurityType {
        WIFI_OPEN = 0,
        WIFI_WEP = 1,
        WIFI_WPA_PSK = 2,
        WIFI_WPS_PBC = 3,
        WIFI_WPS_PIN = 4,
        WIFI_WPA_ENT = 5,
    };
    Q_ENUM(SecurityType)

    RMDevice(TrelDeviceAddress port, TrelClient* client);
    // Waits for the device's running tasks (queued ones are dropped). A task
    // only runs long while its printer answers, and a device is let go after
    // its printer went away, when every exchange ends at once.
    ~RMDevice() override;

    TrelDeviceAddress port() const;
    bool isOpen() const;
    QString model() const;
    QString cpuId() const;
    QString fwName() const;
    QString fwVersion() const;
    uint protoVersion() const;
    State state() const;
    int printProgress() const;
    double temperature() const;
    Error lastError() const;
    bool isFirmwareValid() const;
    static QString minFwVersion();
    // Attached printers in normal and in firmware-update mode, counted afresh.
    QPair<int, int> numDevicesAttached() const;

    QFuture<QString> queryVersion();
    QFuture<QString> querySerial();
    QFuture<bool> sendGCode(const QString& code);
    QFuture<bool> queryStoreConnected();
    // The job channel's pause request: pauses a running print, or resumes a
    // paused one. abort() ends the print (or a filament procedure). True when
    // the request reached the printer; what it did shows in the status.
    QFuture<bool> pause();
    QFuture<bool> abort();
    QFuture<void> raiseHead();
    QFuture<void> lowerHeadToShipment();
    // Starts an upload; null when one is running or the device is not open.
    // The RMJobSend reports progress, then done() or failed().
    RMJobSend* sendJob(const QString& path);

    QFuture<RMWiFiStatus> queryWiFiStatus();
    QFuture<RMWiFiConfig> queryWiFiConfig();
    QFuture<QList<RMWiFiNetwork>> scanWiFi();
    QFuture<bool> connectWifi(const QString& ssid, const QString& password);
    QFuture<bool> disconnectWifi();
    QFuture<bool> setWiFiConfig(const QString& ssid, const QString& password, bool autoConnect);

    // Entry points of the registry. jobData runs on a library thread.
    void statusMessage(const TrelJobInterface::StatusMsg& status);
    void setConnected(bool connected);
    void jobData(const QByteArray& data);

    // How long the head-move tasks wait between two readings of the Z axis
    // (one second). Tests shorten it.
    static void setZPollInterval(int milliseconds);

signals:
    void modelChanged(QString model);
    void cpuIdChanged(QString id);
    void fwNameChanged(QString name);
    void fwVersionChanged(QString version);
    void protoVersionChanged(uint protoVersion);
    void stateChanged(RMDevice::State state, RMDevice::State oldState);
    void printProgressChanged(int progress);
    void deviceConnected(bool connected);
    void temperatureChanged(double celsius);
    void error(RMDevice::Error error);
    void fwValidChanged(bool outdated);
    void jobDataReceived(QByteArray data);
    // After every status message, changed or not, once the signals of its
    // changes are out: the printer has answered.
    void statusReceived();

public slots:
    void pollStatus();
    void enterDfu();
    void startFilamentLoad();
    void startFilamentUnload();
    void sendJobData(QByteArray data);

protected:
    bool event(QEvent* event) override;

private:
    RMDevicePrivate* d;
    friend class RMDevicePrivate;
};

// One upload of a print file; a child of its device.
class RMJobSend : public QObject
{
    Q_OBJECT

public:
    explicit RMJobSend(QObject* parent);
    ~RMJobSend() override;

    int progress() const;
    bool isDone() const;
    // The upload ended without reaching the printer whole: the file could not
    // be read, or the printer went away or stopped taking data.
    bool isFailed() const;
    QString errorString() const;

signals:
    void progressChanged(int progress);
    void done();
    void failed(QString reason);

protected:
    bool event(QEvent* event) override;

private:
    struct Private;
    Private* d;
};
