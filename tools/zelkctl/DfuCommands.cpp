// zelkctl dfu list / dfu flash: the firmware update dialog's flow without the
// window, through the same RMDFUDevice, RMDFUUpdate and RMFirmwareFile.
#include "Console.h"
#include "Session.h"
#include "Subcommand.h"

#include <RMDFUDevice.h>
#include <RMDFUUpdate.h>
#include <RMFirmwareFile.h>
#include <RMWiFi.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace zelkctl {

namespace {

// How long a printer may take to leave the bus and show up in
// firmware-update mode, and to come back in normal mode after the flash
// (the new firmware starts and the printer enumerates again).
constexpr int EnterDfuMs = 60000;
constexpr int ReturnMs = 90000;
// The window's rule: no update is offered for this version.
const QString FirstFirmware = QStringLiteral("1.0.0");

QString name(TrelDeviceAddress port)
{
    return QStringLiteral("%1:%2").arg(port.bus).arg(port.address);
}

QList<RMDFUDevice> listDfu()
{
    return RMDFUDevice::connectedDevices(dfuUtilPath()).result();
}

QSet<QString> serials(const QList<RMDFUDevice>& devices)
{
    QSet<QString> set;
    for (const RMDFUDevice& d : devices)
        set.insert(d.serial());
    return set;
}

int missingDfuUtil(const Invocation& invocation)
{
    return invocation.fail(FileError,
                           QStringLiteral("dfu-util not found at %1").arg(dfuUtilPath()));
}

} // namespace

QString dfuUtilPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("dfu-util"));
}

int runDfuList(const Invocation& invocation)
{
    if (!QFileInfo(dfuUtilPath()).isExecutable())
        return missingDfuUtil(invocation);
    const QList<RMDFUDevice> devices = listDfu();
    if (devices.isEmpty())
        return invocation.fail(NoPrinter, QStringLiteral("no printer in firmware-update mode"));
    for (const RMDFUDevice& d : devices)
        print(stdout, QStringLiteral("%1:%2  serial %3").arg(d.vid(), d.pid(), d.serial()));
    return Success;
}

int runDfuFlash(const Invocation& invocation)
{
    if (!QFileInfo(dfuUtilPath()).isExecutable())
        return missingDfuUtil(invocation);
    const QString file = invocation.arguments.isEmpty()
                             ? RMFirmwareFile::choose(QCoreApplication::applicationDirPath())
                             : invocation.arguments.first();
    {
        QFile f(file);
        if (!QFileInfo(file).isFile() || !f.open(QIODevice::ReadOnly))
            return invocation.fail(
                FileError,
                QStringLiteral("cannot read the firmware %1: %2")
                    .arg(file, QFileInfo::exists(file)
                                   ? (f.errorString().isEmpty() ? QStringLiteral("not a file")
                                                                : f.errorString())
                                   : QStringLiteral("no such file")));
    }
    Interrupt::install();
    Session session(invocation);
    // The printer leaves the bus on the way and comes back: neither ends a
    // wait here.
    session.setFollowReturn(true);
    session.start();

    const QList<RMDFUDevice> waiting = session.dfuAttached() > 0 ? listDfu() : QList<RMDFUDevice>();
    RMDFUDevice target;
    QString oldVersion;
    if (!invocation.value("--printer").isEmpty() || waiting.isEmpty()) {
        if (int code = session.open())
            return code;
        const QSharedPointer<RMDevice> d = session.device();
        oldVersion = d->fwVersion();
        if (oldVersion == FirstFirmware)
            return invocation.fail(PrinterFailure,
                                   QStringLiteral("firmware %1 is not updated from the computer "
                                                  "(the desktop program offers no update for it)")
                                       .arg(oldVersion));
        print(stdout, QStringLiteral("Printer %1 (firmware %2) goes into firmware-update mode")
                          .arg(name(d->port()), oldVersion));
        // As the dialog does: the Wi-Fi settings first, so that the printer
        // has answered whatever was queued before it leaves the bus.
        d->queryWiFiConfig().waitForFinished();
        d->enterDfu();
        // The printer that appears is the one that was not in that mode yet.
        const QSet<QString> before = serials(waiting);
        QList<RMDFUDevice> appeared;
        QElapsedTimer sinceListing;
        const Session::Wait wait = session.waitFor(
            [&] {
                // Each listing runs dfu-util: once a second is plenty.
                if (session.dfuAttached() == 0 ||
                    (sinceListing.isValid() && sinceListing.elapsed() < 1000))
                    return false;
                sinceListing.start();
                appeared.clear();
                for (const RMDFUDevice& candidate : listDfu())
                    if (!before.contains(candidate.serial()))
                        appeared.append(candidate);
                return !appeared.isEmpty();
            },
            EnterDfuMs);
        if (wait != Session::Wait::Reached)
            return session.waitFailed(
                wait, QStringLiteral("the printer did not show up in firmware-update mode"));
        if (appeared.size() > 1)
            return invocation.fail(PrinterFailure,
                                   QStringLiteral("several printers entered firmware-update mode "
                                                  "at once; run zelkctl dfu flash again"));
        target = appeared.first();
    } else if (waiting.size() > 1) {
        return invocation.fail(
            UsageError,
            QStringLiteral("several printers are in firmware-update mode (serials "
                           "%1): leave one attached")
                .arg(QStringList(serials(waiting).values()).join(QStringLiteral(", "))));
    } else {
        target = waiting.first();
    }

    print(stdout, QStringLiteral("Installing %1 on the printer with serial %2; do not unplug it")
                      .arg(file, target.serial()));
    const QVector<TrelDeviceAddress> portsBefore = session.activePorts();
    RMDFUUpdate* update = target.startUpdate(file, &session);
    {
        ProgressBar bar(QStringLiteral("Flashing"));
        bar.setValue(0);
        const QMetaObject::Connection progress =
            QObject::connect(update, &RMDFUUpdate::progressChanged, update,
                             [&bar](int percent) { bar.setValue(percent); });
        // Not cut short by a signal: a printer left half written by a
        // killed dfu-util would need this command again to start.
        bool told = false;
        session.waitFor(
            [&] {
                if (Interrupt::signal() && !told) {
                    told = true;
                    invocation.tell(QStringLiteral("the firmware is being written; this "
                                                   "cannot be interrupted"));
                }
                return update->isSuccess() || update->isError();
            },
            -1, false);
        QObject::disconnect(progress); // the bar goes with this block
    }
    if (update->isError())
        return invocation.fail(PrinterFailure,
                               QStringLiteral("flashing failed; the printer stays in "
                                              "firmware-update mode (run zelkctl dfu flash "
                                              "again)"));

    print(stdout, QStringLiteral("Firmware written; waiting for the printer to start it"));
    TrelDeviceAddress back = NO_PRINTER;
    const Session::Wait wait = session.waitFor(
        [&] {
            for (TrelDeviceAddress port : session.activePorts())
                if (!portsBefore.contains(port))
                    back = port;
            return back != NO_PRINTER;
        },
        ReturnMs);
    if (wait != Session::Wait::Reached)
        return session.waitFailed(
            wait, session.dfuAttached() > 0
                      ? QStringLiteral("the printer did not start the new firmware and stays in "
                                       "firmware-update mode (is %1 firmware for it?)")
                            .arg(file)
                      : QStringLiteral("the printer did not come back in normal mode"));
    const QString version = session.deviceAt(back)->queryVersion().result();
    if (version.isEmpty())
        return invocation.fail(
            PrinterFailure,
            QStringLiteral("printer %1 is back but does not tell its version").arg(name(back)));
    print(stdout,
          QStringLiteral("Printer %1 runs firmware %2%3")
              .arg(name(back), version,
                   oldVersion.isEmpty() ? QString() : QStringLiteral(" (was %1)").arg(oldVersion)));
    return Success;
}

} // namespace zelkctl
