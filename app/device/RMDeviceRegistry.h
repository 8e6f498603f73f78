#pragma once

#include "RMDevice.h"
#include "TrelQt.h"

#include <QObject>
#include <QScopedPointer>
#include <QSharedPointer>
#include <QVector>

class RMDeviceRegistryPrivate;

// A printer in normal mode on the bus that this process could not open, and
// why, as the link library last found it.
struct RMUnopenedPrinter
{
    enum Reason {
        NoPermission,  // this user may not open the device node (no udev rule grants it)
        HeldElsewhere, // another program holds the printer
        OpenFailed,    // it opened but could not start receiving, or libusb failed
    };
    TrelDeviceAddress port = NO_PRINTER;
    Reason reason = OpenFailed;
    QString node; // "/dev/bus/usb/001/005"
    // The program that has the node open, where the system tells (a process
    // of another user is hidden from us, except that a running zelkd of
    // another user, its system service, is taken as the holder): its PID (0
    // when unknown) and command name ("zelkd").
    int holderPid = 0;
    QString holderName;

    bool operator==(const RMUnopenedPrinter& o) const
    {
        return port == o.port && reason == o.reason && node == o.node && holderPid == o.holderPid &&
               holderName == o.holderName;
    }
    bool operator!=(const RMUnopenedPrinter& o) const { return !(*this == o); }
};
Q_DECLARE_METATYPE(RMUnopenedPrinter)

// The process's registry of attached printers. It owns the link library's
// client, turns the library's callbacks (library threads) into work on the
// GUI thread, creates one RMDevice per printer and admits a printer to the
// active ports only once it answered a status poll. GUI thread only.
class RMDeviceRegistry : public QObject
{
    Q_OBJECT

public:
    static RMDeviceRegistry* instance();
    static void shutdown();

    // The active device of the port, or the never-open placeholder.
    QSharedPointer<RMDevice> getDevice(TrelDeviceAddress port);
    const QVector<TrelDeviceAddress>& activePorts() const;
    int numOfRMDevicesAttached();
    int numOfDfuDevicesAttached();
    // Printers present but not opened, ordered by address: refreshed every
    // UnopenedPollMs and on every connect or disconnect notice; the holder is
    // looked up when a row appears and again on the pending-printer poll.
    QVector<RMUnopenedPrinter> unopenedPrinters() const;
    static constexpr int UnopenedPollMs = 1000;

signals:
    void devicesChanged(QVector<TrelDeviceAddress> activePorts);
    void unopenedPrintersChanged(QVector<RMUnopenedPrinter> printers);

protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    RMDeviceRegistry();
    ~RMDeviceRegistry() override;
    void onDeviceConnected(TrelDeviceAddress address, bool connected);
    void onDeviceStatus(TrelDeviceAddress address, const TrelJobInterface::StatusMsg& status);

    Q_DISABLE_COPY(RMDeviceRegistry)
    Q_DECLARE_PRIVATE(RMDeviceRegistry)
    // Let go of, not deleted, when a printer task outlives the shutdown wait
    // (see the destructor).
    QScopedPointer<RMDeviceRegistryPrivate> d_ptr;
    friend class RMDeviceRegistryPrivate;
};
