#pragma once

// Events that carry library and pool-thread results to the GUI thread. Each
// type is registered with QEvent::registerEventType() on first use.

#include "TrelQt.h"

#include <trel/TrelJobInterface.h>
#include <trel/TrelStatus.h>

#include <QByteArray>
#include <QEvent>
#include <QString>

// Upload progress, posted to an RMJobSend.
class RMJobProgressEvent : public QEvent
{
public:
    explicit RMJobProgressEvent(int value) : QEvent(eventType()), percent(value) {}
    static QEvent::Type eventType();
    const int percent;
};

// An upload that ended in an error, posted to an RMJobSend.
class RMJobFailedEvent : public QEvent
{
public:
    RMJobFailedEvent(TrelStatus why, QString text)
        : QEvent(eventType()), status(why), reason(std::move(text))
    {}
    static QEvent::Type eventType();
    const TrelStatus status;
    const QString reason;
};

// A block of job data from the printer, posted to an RMDevice.
class RMJobDataEvent : public QEvent
{
public:
    explicit RMJobDataEvent(QByteArray bytes) : QEvent(eventType()), data(std::move(bytes)) {}
    static QEvent::Type eventType();
    const QByteArray data;
};

// A printer connected or gone, posted to the registry.
class RMConnectEvent : public QEvent
{
public:
    RMConnectEvent(TrelDeviceAddress port, bool isConnected)
        : QEvent(eventType()), address(port), connected(isConnected)
    {}
    static QEvent::Type eventType();
    const TrelDeviceAddress address;
    const bool connected;
};

// A status message, posted to the registry.
class RMStatusEvent : public QEvent
{
public:
    RMStatusEvent(TrelDeviceAddress port, TrelJobInterface::StatusMsg message)
        : QEvent(eventType()), address(port), status(std::move(message))
    {}
    static QEvent::Type eventType();
    const TrelDeviceAddress address;
    const TrelJobInterface::StatusMsg status;
};
