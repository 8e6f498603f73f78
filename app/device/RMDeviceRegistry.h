#pragma once

#include "RMDevice.h"
#include "TrelQt.h"

#include <QObject>
#include <QScopedPointer>
#include <QSharedPointer>
#include <QVector>

class RMDeviceRegistryPrivate;

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

signals:
    void devicesChanged(QVector<TrelDeviceAddress> activePorts);

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
