#include "RMDeviceEvents.h"

namespace {
QEvent::Type registered()
{
    return static_cast<QEvent::Type>(QEvent::registerEventType());
}
} // namespace

// Function-local statics: registered once, on first use, thread-safely.
QEvent::Type RMJobProgressEvent::eventType()
{
    static const QEvent::Type type = registered();
    return type;
}

QEvent::Type RMJobFailedEvent::eventType()
{
    static const QEvent::Type type = registered();
    return type;
}

QEvent::Type RMJobDataEvent::eventType()
{
    static const QEvent::Type type = registered();
    return type;
}

QEvent::Type RMConnectEvent::eventType()
{
    static const QEvent::Type type = registered();
    return type;
}

QEvent::Type RMStatusEvent::eventType()
{
    static const QEvent::Type type = registered();
    return type;
}
