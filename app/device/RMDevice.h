#pragma once

#include "RMOutcome.h"
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
    // Never waits: tasks still running keep the device's private part, which
    // goes once both pools are idle; queued tasks find the device closed and
    // end at once (their futures finish). An upload under way is reported
    // failed here, unless it ended already. The client must stay until
    // waitForTasks() says the tasks have ended (the registry sees to it).
    ~RMDevice() override;

    // Waits (at most `timeoutMs`) until no task of any device using `client`,
    // alive or let go of, is running or queued: after that, and with those
    // devices closed, nothing of this layer touches the client again. True
    // when it came to that in time. GUI thread.
    static bool waitForTasks(const TrelClient* client, int timeoutMs);

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

    // Operations on the printer. Each runs as a task on one of the device's
    // pools and has two forms that run the same task:
    // - the plain method delivers a value only: the printer's answer, or
    //   after any failure its fallback (an empty text, false, a default
    //   record, an empty list); a bool is true exactly when every exchange
    //   completed and every firmware command answered 0;
    // - its sibling with "Checked" appended delivers RMResult<T>: that same
    //   value and the RMOutcome that says how it ended (the library's named
    //   outcome of a failed exchange, the firmware's code of a refusal,
    //   whether a change that lost its answer may have been made, and a text
    //   for people). Callers that report failures (zelkctl, zelkd) use it.
    // A device that is not open fails them all with TREL_ERROR_NO_DEVICE,
    // without a word to the printer.
    QFuture<QString> queryVersion();
    QFuture<RMResult<QString>> queryVersionChecked();
    QFuture<QString> querySerial();
    QFuture<RMResult<QString>> querySerialChecked();
    // True when the printer took the line (it answered 0).
    QFuture<bool> sendGCode(const QString& code);
    QFuture<RMResult<bool>> sendGCodeChecked(const QString& code);
    // The printer's answer: whether it reaches the store. False also when
    // the exchange failed: the checked form tells the two apart.
    QFuture<bool> queryStoreConnected();
    QFuture<RMResult<bool>> queryStoreConnectedChecked();
    // The job channel's pause request: pauses a running print, or resumes a
    // paused one. abort() ends the print (or a filament procedure). True when
    // the request reached the printer; what it did shows in the status.
    QFuture<bool> pause();
    QFuture<RMResult<bool>> pauseChecked();
    QFuture<bool> abort();
    QFuture<RMResult<bool>> abortChecked();
    // Head moves on the Z servo. Each reads the servo's settings first (a
    // failed read ends the move before anything is written), lowers its
    // power caps for the move and writes back what it read at the end, also
    // when a step failed. True when every step and the restore succeeded.
    QFuture<bool> raiseHead();
    QFuture<RMResult<bool>> raiseHeadChecked();
    QFuture<bool> lowerHeadToShipment();
    QFuture<RMResult<bool>> lowerHeadToShipmentChecked();
    // Sends the filament request of startFilamentLoad() / startFilamentUnload()
    // and delivers how the exchange ended; the procedure's own outcome shows
    // in the status (and error()).
    QFuture<RMResult<void>> startFilamentLoadChecked();
    QFuture<RMResult<void>> startFilamentUnloadChecked();
    // Starts an upload; null when one is running or the device is not open.
    // The RMJobSend reports progress, then done() or failed().
    RMJobSend* sendJob(const QString& path);

    // Wi-Fi. A change (connect, disconnect, stored configuration) whose
    // answer is lost may or may not have been made: its outcome says so
    // (isUnknown()) and tells what the printer reports when asked again.
    QFuture<RMWiFiStatus> queryWiFiStatus();
    QFuture<RMResult<RMWiFiStatus>> queryWiFiStatusChecked();
    QFuture<RMWiFiConfig> queryWiFiConfig();
    QFuture<RMResult<RMWiFiConfig>> queryWiFiConfigChecked();
    QFuture<QList<RMWiFiNetwork>> scanWiFi();
    QFuture<RMResult<QList<RMWiFiNetwork>>> scanWiFiChecked();
    QFuture<bool> connectWifi(const QString& ssid, const QString& password);
    QFuture<RMResult<bool>> connectWifiChecked(const QString& ssid, const QString& password);
    QFuture<bool> disconnectWifi();
    QFuture<RMResult<bool>> disconnectWifiChecked();
    QFuture<bool> setWiFiConfig(const QString& ssid, const QString& password, bool autoConnect);
    QFuture<RMResult<bool>> setWiFiConfigChecked(const QString& ssid, const QString& password,
                                                 bool autoConnect);

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
    // How it ended: success once done; after a failure, the link library's
    // outcome (TREL_ERROR_NO_DEVICE: the printer went away) and the reason.
    RMOutcome outcome() const;

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
