#include "RMSentry.h"

#include <RMDevice.h>
#include <RMDeviceRegistry.h>

#include <QDebug>
#include <QMetaEnum>
#include <QSharedPointer>

RMSentry::RMSentry(QObject* parent) : QObject(parent) {}

RMSentry::~RMSentry()
{
    try {
        RMDeviceRegistry::shutdown();
    } catch (...) {
        // A destructor must not throw, and at this point nobody is left to
        // tell.
    }
}

void RMSentry::logDevices(const QVector<TrelDeviceAddress>& ports)
{
    RMDeviceRegistry* registry = RMDeviceRegistry::instance();
    for (const TrelDeviceAddress port : ports) {
        const QSharedPointer<RMDevice> device = registry->getDevice(port);
        RMDevice* const d = device.data();
        // A printer that was already active is logged again with the rest;
        // its old connections go first so that no transition is logged twice.
        disconnect(d, nullptr, this, nullptr);
        qDebug() << "Printer port:" << port;
        qDebug() << "Printer model:" << d->model();
        qDebug() << "Printer cpu id:" << d->cpuId();
        qDebug() << "Printer firmware name:" << d->fwName();
        qDebug() << "Printer firmware version:" << d->fwVersion();
        qDebug() << "Printer protocol version:" << d->protoVersion();
        connect(d, &RMDevice::stateChanged, this,
                [port](RMDevice::State state, RMDevice::State oldState) {
                    const QMetaEnum states = QMetaEnum::fromType<RMDevice::State>();
                    qDebug() << "Port" << port
                             << "printer state transition:" << states.valueToKey(oldState) << "->"
                             << states.valueToKey(state);
                });
        connect(d, &RMDevice::error, this, [port](RMDevice::Error error) {
            qDebug() << "Port" << port << "printer error transition:"
                     << QMetaEnum::fromType<RMDevice::Error>().valueToKey(error);
        });
        connect(d, &RMDevice::printProgressChanged, this, [port](int progress) {
            qDebug() << "Port" << port << "print progress:" << progress;
        });
    }
}
