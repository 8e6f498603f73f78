#pragma once

#include "Subcommand.h"

#include <RMDevice.h>
#include <RMDeviceRegistry.h>
#include <TrelQt.h>

#include <QObject>
#include <QSharedPointer>
#include <QVector>

#include <functional>

class RMPrintTimeEstimator;

namespace zelkctl {

// A command's hold on the printers: the device layer of the desktop program
// (the registry, its devices, a time estimator) driven from a command line.
// It appends what the printer says to the printer log, as the window does.
// A command runs its steps one after the other and waits for the printer in
// waitFor(), which runs the event loop meanwhile.
class Session : public QObject
{
    Q_OBJECT

public:
    // How often a waiting command asks the printer for its status. Printers
    // report changes only when asked.
    static constexpr int PollIntervalMs = 1000;

    explicit Session(const Invocation& invocation);
    ~Session() override; // lets the printers go and ends the printer log

    // Starts the device layer and waits until the attached printers have
    // answered (a few seconds at most).
    void start();
    // start(), then picks the printer: --printer's, else the only one.
    // Success, or the exit code after saying why on standard error.
    int open();

    // The followed printer: open() picked it; after it went away, the never
    // open placeholder, or its successor when following a return. A command
    // keeps its own reference: the registry lets go of a printer that went.
    QSharedPointer<RMDevice> device() const { return current; }
    // Asks the printers at `ports` for their status and waits until each has
    // answered. open() does it for its printer: a printer may still hold
    // status messages that nobody read, which arrive first.
    void settle(const QVector<TrelDeviceAddress>& ports);
    QVector<TrelDeviceAddress> activePorts() const;
    // The active printer at `port`, or the never-open placeholder.
    QSharedPointer<RMDevice> deviceAt(TrelDeviceAddress port) const;
    // Printers the link library opened that have not answered (yet).
    QVector<TrelDeviceAddress> silentPorts() const;
    // Printers in normal mode that are attached but that this process could
    // not open (another program holds them, or this user may not), by address.
    const QVector<RMUnopenedPrinter>& notOpened() const { return unopened; }
    // Why the printer at `row` cannot be used, for a command's error message:
    // "the printer at 1:5 is held by zelkd (PID 812); ...".
    static QString whyNotOpened(const RMUnopenedPrinter& row);
    // How a user gets the permission that the udev rule of the package gives.
    static constexpr const char* PermissionHint =
        "install the .deb package (its udev rule lets the logged-in user open the printer) or "
        "join the group zelkd, then plug the printer in again";
    int dfuAttached() const;

    // The status line of the followed printer, as the window shows it. Until
    // the time estimator has an estimate of its own, `fallbackRemaining`
    // (milliseconds; below 1: none) stands in for it.
    QString statusText(qint64 fallbackRemaining = -1) const;
    qint64 timeRemaining() const;

    // Whether a followed printer that went away is waited for (and the one
    // that then appears followed) instead of ending waits with Lost.
    void setFollowReturn(bool on) { followReturn = on; }

    enum class Wait { Reached, TimedOut, Interrupted, Lost };
    // Runs the event loop until `reached` holds, asking the printer for its
    // status every PollIntervalMs; no limit when `timeoutMs` is negative. A
    // wait that is not `interruptible` goes on after SIGINT, SIGTERM or SIGHUP.
    Wait waitFor(const std::function<bool()>& reached, int timeoutMs = -1,
                 bool interruptible = true);

    // The exit code for a wait that ended without reaching its goal, after
    // saying why; `timeoutText` is the why of a wait that timed out.
    int waitFailed(Wait wait, const QString& timeoutText);

signals:
    // The followed printer's state, progress, temperature or connection
    // changed, or another printer is followed.
    void statusChanged();

private:
    void follow();
    TrelDeviceAddress wanted() const;

    const Invocation& invocation;
    RMDeviceRegistry* registry = nullptr;
    RMPrintTimeEstimator* estimator;
    QSharedPointer<RMDevice> current;
    bool explicitPort = false;
    TrelDeviceAddress port = NO_PRINTER;
    QVector<RMUnopenedPrinter> unopened;
    bool followReturn = false;
    bool following = false; // open() picked the printer
    bool lost = false;
};

} // namespace zelkctl
