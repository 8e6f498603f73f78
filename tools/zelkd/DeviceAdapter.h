#pragma once

#include <RMDevice.h>
#include <TrelQt.h>

#include <QHash>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <functional>

class RMDeviceRegistry;
class RMPrintTimeEstimator;

namespace zelkd {

// One printer as the device layer reports it, copied on the main thread.
struct DeviceStatus
{
    TrelDeviceAddress port = NO_PRINTER;
    RMDevice::State state = RMDevice::Disconnected;
    int progress = 0;
    double temperature = 0;
    RMDevice::Error error = RMDevice::NoError;
    QString model;
    QString firmware;
    bool firmwareValid = false;
    QString statusLine;          // the window's status line
    qint64 timeRemainingMs = -1; // the window's estimate; below 1: none
};

// How a command to a printer ended; reported exactly once.
struct Outcome
{
    bool ok = false;
    QString reason; // why not, in words for a user, a failed exchange named
    // The link library's outcome of the exchange that failed; TREL_SUCCESS
    // for a success, and for a request the printer answered with a refusal.
    TrelStatus status = TREL_SUCCESS;
    static Outcome success() { return {true, QString(), TREL_SUCCESS}; }
    static Outcome failure(const QString& why, TrelStatus status = TREL_SUCCESS)
    {
        return {false, why, status};
    }
};

// zelkd's one door to the device layer: the registry, its printers, their
// estimators. Everything zelkd asks of a printer goes through here, and
// everything the device layer reports comes out of here as a copy, so that
// a change of the device layer's interface touches this class only.
//
// Main thread only. Commands never block: each hands its work to the
// device's own threads and reports its outcome later, on the main thread.
class DeviceAdapter : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const Outcome&)>;

    explicit DeviceAdapter(QObject* parent = nullptr);
    ~DeviceAdapter() override; // lets the printers go

    // Starts the device layer; printers attached already are announced by
    // attached() from the event loop on.
    void start();

    QVector<TrelDeviceAddress> ports() const;
    DeviceStatus status(TrelDeviceAddress port) const;
    // Printers on the bus in normal mode that this process could not open:
    // another program holds them.
    int heldElsewhere() const;

    void poll(TrelDeviceAddress port);
    // The printer's serial number; empty when it does not answer.
    void querySerial(TrelDeviceAddress port, std::function<void(const QString&)> done);
    void pause(TrelDeviceAddress port, Done done); // toggles: pauses, or resumes
    void abort(TrelDeviceAddress port, Done done);
    void loadFilament(TrelDeviceAddress port, Done done);
    void unloadFilament(TrelDeviceAddress port, Done done);
    void sendGCode(TrelDeviceAddress port, const QString& line, Done done);
    // Pushes a print file to the printer. `progress` sees percents, then
    // `done` is called once. False (and nothing called) when the printer is
    // gone or already taking a file.
    bool sendJob(TrelDeviceAddress port, const QString& path, std::function<void(int)> progress,
                 Done done);
    bool isSendingJob(TrelDeviceAddress port) const;

signals:
    void attached(TrelDeviceAddress port);
    void detached(TrelDeviceAddress port);
    // After every status message of the printer, changed or not.
    void statusReceived(TrelDeviceAddress port);
    // Text that the printer wrote on its job channel (its log).
    void text(TrelDeviceAddress port, const QByteArray& text);

private:
    struct Printer
    {
        QSharedPointer<RMDevice> device;
        RMPrintTimeEstimator* estimator = nullptr;
        bool sending = false;
    };

    void devicesChanged(const QVector<TrelDeviceAddress>& active);
    RMDevice* device(TrelDeviceAddress port) const;
    // Calls `done` with the operation's outcome on the main thread; a
    // failure's reason is `what`, then the device layer's account of it.
    template <typename T>
    void whenDone(const QFuture<RMResult<T>>& future, const QString& what, Done done);

    RMDeviceRegistry* registry = nullptr;
    QHash<TrelDeviceAddress, Printer> printers;
    bool stopping = false;
};

} // namespace zelkd
