#pragma once

// Not part of the program's interface: the private implementation of
// RMDeviceRegistry. Only the sources of its library and its tests include it; it
// changes whenever the class's insides do, without notice.

#include "RMDeviceRegistry.h"

#include <trel/TrelClient.h>
#include <trel/TrelThreadSafety.h>

#include <QHash>

// The registry's data, built before the library client: the client's
// interfaces register with the USB back end in their constructors, and a
// callback may arrive at once.
struct RMDRPHolder
{
    explicit RMDRPHolder(RMDeviceRegistry* registry);

    RMDeviceRegistry* const q_ptr;
    QSharedPointer<RMDevice> placeholder;
    QVector<TrelDeviceAddress> activePorts;
    // Guards `devices` against the job-data lookup on the library's USB
    // thread. Every use holds it, the GUI thread's reads too (it is the only
    // writer, but the compiler cannot tell threads apart: it checks the lock).
    TrelMutex devicesMutex;
    QHash<TrelDeviceAddress, QSharedPointer<RMDevice>> devices TREL_GUARDED_BY(devicesMutex);
    QHash<TrelDeviceAddress, QSharedPointer<RMDevice>> pendingDevices;
    int pendingTimer = 0;
    QVector<RMUnopenedPrinter> unopened;
    int unopenedTimer = 0;
};

class RMDeviceRegistryPrivate : public RMDRPHolder, public TrelClient
{
    Q_DECLARE_PUBLIC(RMDeviceRegistry)
public:
    explicit RMDeviceRegistryPrivate(RMDeviceRegistry* registry);
    ~RMDeviceRegistryPrivate() override = default;

    // Before destruction (GUI thread): closes every device and printer,
    // stops the callbacks, lets go of the devices and waits until none of
    // their tasks runs. False when one still did after ShutdownWaitMs: the
    // client must then not be destroyed.
    bool shutDown();
    // Once the printers are closed every exchange fails at once; what is
    // left is a task between two exchanges (a head move sleeps a second
    // between two readings of the axis).
    static constexpr int ShutdownWaitMs = 5000;

    // Library threads.
    void device_connected(TrelDeviceAddress address) override;
    void device_disconnected(TrelDeviceAddress address) override;
    void StatusReceived(TrelDeviceAddress address, StatusMsg status) override;
    void JobDataReceived(TrelDeviceAddress address, const unsigned char* data,
                         unsigned int length) override;

    QSharedPointer<RMDevice> newDevice(TrelDeviceAddress port);
    // GUI thread: reads the library's list of printers it could not open,
    // looks up who holds the new ones (all of them with `lookUpHolders`) and
    // signals a change.
    void refreshUnopened(bool lookUpHolders);
};
