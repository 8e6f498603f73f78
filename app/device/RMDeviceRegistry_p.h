#pragma once

#include "RMDeviceRegistry.h"

#include <trel/TrelClient.h>

#include <QHash>
#include <QMutex>

// The registry's data, built before the library client: the client's
// interfaces register with the USB back end in their constructors, and a
// callback may arrive at once.
struct RMDRPHolder
{
    explicit RMDRPHolder(RMDeviceRegistry* registry);

    RMDeviceRegistry* q;
    QSharedPointer<RMDevice> placeholder;
    QVector<TrelDeviceAddress> activePorts;
    // Guards `devices` against the job-data lookup on the library's USB
    // thread; every change of the table (GUI thread) holds it.
    QMutex devicesMutex;
    QHash<TrelDeviceAddress, QSharedPointer<RMDevice>> devices;
    QHash<TrelDeviceAddress, QSharedPointer<RMDevice>> pendingDevices;
    int pendingTimer = 0;
};

class RMDeviceRegistryPrivate : public RMDRPHolder, public TrelClient
{
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
};
