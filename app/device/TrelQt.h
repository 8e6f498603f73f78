#pragma once

// The link library's printer address as a Qt value: hashable for QHash,
// printable for QDebug, known to the meta-type system for queued signals.

#include <trel/TrelDeviceAddress.h>

#include <QDebug>
#include <QMetaType>
#include <QVector>

inline uint qHash(TrelDeviceAddress address, uint = 0)
{
    return address.value();
}

inline QDebug operator<<(QDebug debug, TrelDeviceAddress address)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << address.bus << ':' << address.address;
    return debug;
}

Q_DECLARE_METATYPE(TrelDeviceAddress)

// The address that names no printer.
constexpr TrelDeviceAddress NO_PRINTER = TrelDeviceAddress::from_value(0xFFFF);
