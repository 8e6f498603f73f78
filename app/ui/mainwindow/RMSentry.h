#pragma once

#include <TrelQt.h>

#include <QObject>
#include <QVector>

// Lives for the whole run of the program. Its destructor shuts the device
// registry down, so that the library client and its USB thread are gone
// however main() is left. It is also the receiver of the device logger, so
// that every logging connection to a device ends with it.
class RMSentry : public QObject
{
    Q_OBJECT
public:
    explicit RMSentry(QObject* parent = nullptr);
    ~RMSentry() override;

public slots:
    // Logs the identity of every active printer and, from then on, its state,
    // error and progress transitions (default category).
    void logDevices(const QVector<TrelDeviceAddress>& ports);
};
