#pragma once

#include <QFuture>
#include <QList>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>

class QObject;
class RMDFUDeviceData;
class RMDFUUpdate;

// One printer in firmware-update (DFU) mode as dfu-util reported it
// (implicitly shared). dfu-util is the only way this program talks to a
// printer in that mode: the device remembers the dfu-util that found it and
// flashes through the same one.
class RMDFUDevice
{
public:
    RMDFUDevice();
    RMDFUDevice(const QString& dfuUtilPath, const QString& vid, const QString& pid,
                const QString& serial);
    RMDFUDevice(const RMDFUDevice& other);
    RMDFUDevice& operator=(const RMDFUDevice& other);
    ~RMDFUDevice();

    QString dfuUtilPath() const;
    // USB ids as dfu-util prints them: hexadecimal digits, no prefix.
    QString vid() const;
    QString pid() const;
    QString serial() const;

    // Lists the DFU devices with `dfu-util -l` on a worker of the global
    // thread pool, which it blocks for up to a minute. Every failure (no
    // dfu-util, a crash, an error exit) yields an empty list and a warning.
    static QFuture<QList<RMDFUDevice>> connectedDevices(const QString& dfuUtilPath);
    // The listing's parser, libtrel's trel_dfu_parse_listing(): one device
    // per output line of the form
    //   Found DFU: [vid:pid] ... serial="SERIAL" ...\n
    // in output order; a line without a quoted alphanumeric serial or without
    // its line end is no device.
    static QList<RMDFUDevice> parseListing(const QString& dfuUtilPath, const QString& output);

    // Starts writing `firmwareFile` to this device and returns at once; the
    // outcome arrives through the returned object's signals on this thread.
    // The caller owns the returned object.
    RMDFUUpdate* startUpdate(const QString& firmwareFile, QObject* parent) const;

private:
    QSharedDataPointer<RMDFUDeviceData> d;
};

Q_DECLARE_METATYPE(RMDFUDevice)
