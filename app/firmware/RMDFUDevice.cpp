#include "RMDFUDevice.h"

#include "RMDFUUpdate.h"
#include "RMDFUUpdate_p.h"

#include <LogCategories.h>

#include <trel/TrelDfu.h>

#include <QMetaEnum>
#include <QProcess>
#include <QSharedData>
#include <QtConcurrent>

namespace {

constexpr int LISTING_WAIT_MS = 30000;

template <typename Enum>
QString keyOf(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

QList<RMDFUDevice> listDevices(const QString& dfuUtilPath)
{
    qCDebug(DFU) << "Querying DFU devices";
    QProcess process;
    process.start(dfuUtilPath, {QStringLiteral("-l")}, QIODevice::ReadWrite);
    if (!process.waitForStarted(LISTING_WAIT_MS)) {
        qCWarning(DFU).noquote() << "Cannot start dfu-util for device list! Path:" << dfuUtilPath
                                 << "- Error:" << keyOf(process.error());
        return {};
    }
    // A dfu-util that still runs after the wait reads as a clean exit: what
    // it printed so far is listed, and it is killed below.
    process.waitForFinished(LISTING_WAIT_MS);
    if (process.exitCode() != 0 || process.exitStatus() != QProcess::NormalExit) {
        qCWarning(DFU).noquote() << "Cannot start dfu-util! Exit code:" << process.exitCode()
                                 << "- Exit status:" << keyOf(process.exitStatus())
                                 << "Error:" << keyOf(process.error()) << "StdErr:\n"
                                 << QString::fromUtf8(process.readAllStandardError());
        return {};
    }
    const QList<RMDFUDevice> devices =
        RMDFUDevice::parseListing(dfuUtilPath, QString::fromUtf8(process.readAllStandardOutput()));
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(LISTING_WAIT_MS);
    }
    if (devices.isEmpty())
        qCDebug(DFU) << "No DFU devices found";
    return devices;
}

} // namespace

class RMDFUDeviceData : public QSharedData
{
public:
    QString dfuUtilPath;
    QString vid;
    QString pid;
    QString serial;
};

RMDFUDevice::RMDFUDevice() : d(new RMDFUDeviceData) {}

RMDFUDevice::RMDFUDevice(const QString& dfuUtilPath, const QString& vid, const QString& pid,
                         const QString& serial)
    : d(new RMDFUDeviceData)
{
    d->dfuUtilPath = dfuUtilPath;
    d->vid = vid;
    d->pid = pid;
    d->serial = serial;
}

RMDFUDevice::RMDFUDevice(const RMDFUDevice& other) = default;
RMDFUDevice& RMDFUDevice::operator=(const RMDFUDevice& other) = default;
RMDFUDevice::~RMDFUDevice() = default;

QString RMDFUDevice::dfuUtilPath() const
{
    return d->dfuUtilPath;
}

QString RMDFUDevice::vid() const
{
    return d->vid;
}

QString RMDFUDevice::pid() const
{
    return d->pid;
}

QString RMDFUDevice::serial() const
{
    return d->serial;
}

QFuture<QList<RMDFUDevice>> RMDFUDevice::connectedDevices(const QString& dfuUtilPath)
{
    return QtConcurrent::run(listDevices, dfuUtilPath);
}

QList<RMDFUDevice> RMDFUDevice::parseListing(const QString& dfuUtilPath, const QString& output)
{
    QList<RMDFUDevice> devices;
    for (const TrelDfuListing& d : trel_dfu_parse_listing(output.toStdString())) {
        const RMDFUDevice device(dfuUtilPath, QString::fromStdString(d.vendor),
                                 QString::fromStdString(d.product),
                                 QString::fromStdString(d.serial));
        qCDebug(DFU).noquote() << "Found device:" << device.vid() << device.pid()
                               << device.serial();
        devices.append(device);
    }
    return devices;
}

RMDFUUpdate* RMDFUDevice::startUpdate(const QString& firmwareFile, QObject* parent) const
{
    auto* update = new RMDFUUpdate(parent);
    auto* process = new QProcess(update);
    RMDFUUpdatePrivate* p = update->d_func();
    p->process = process;
    qCDebug(DFU).noquote() << "Updating device:" << vid() << pid() << serial();
    QObject::connect(process, &QProcess::errorOccurred, update,
                     [p](QProcess::ProcessError e) { p->processError(e); });
    QObject::connect(process, &QProcess::readyReadStandardOutput, update,
                     [p] { p->standardOutput(); });
    QObject::connect(
        process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), update,
        [p](int code, QProcess::ExitStatus status) { p->processFinished(code, status); });
    // Each argument reaches dfu-util as it is: no shell is involved, so a
    // file name with spaces or quotes stays one argument.
    process->start(dfuUtilPath(),
                   {QStringLiteral("-d"), vid() + QLatin1Char(':') + pid(), QStringLiteral("-a"),
                    QStringLiteral("0"), QStringLiteral("-s0x0:leave"), QStringLiteral("-S"),
                    serial(), QStringLiteral("-D"), firmwareFile},
                   QIODevice::ReadWrite);
    return update;
}
