#include "Session.h"

#include "Console.h"

#include <LogCategories.h>
#include <Logging.h>
#include <RMDeviceRegistry.h>
#include <RMPrintTimeEstimator.h>
#include <RMStatusText.h>

#include <trel/TrelTransport.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <algorithm>

namespace zelkctl {

namespace {

// A printer answers its first status request within a blink; the registry
// asks a silent one again after 5 s, which the limit lets happen once.
constexpr int DiscoveryMs = 7000;
// The answer to a request comes right behind whatever the printer held: once
// an answer came and nothing followed for this long, the state is current.
constexpr int SettleQuietMs = 200;
constexpr int SettleMs = 3000;
// The link library scans the bus every half second and opens what it finds;
// after a few scans, a printer it has not opened is one it cannot open.
constexpr int OpenAttemptsMs = 2000;

QString names(QVector<TrelDeviceAddress> ports)
{
    std::sort(ports.begin(), ports.end(), [](TrelDeviceAddress a, TrelDeviceAddress b) {
        return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
    });
    QStringList list;
    for (TrelDeviceAddress p : ports)
        list << QStringLiteral("%1:%2").arg(p.bus).arg(p.address);
    return list.join(QStringLiteral(", "));
}

} // namespace

Session::Session(const Invocation& inv) : invocation(inv), estimator(new RMPrintTimeEstimator(this))
{
    // A signal must reach the teardown below rather than end the process
    // with the printers held and the log not written out.
    Interrupt::install();
    const QStringList printer = inv.value("--printer").split(QLatin1Char(':'));
    if (printer.size() == 2) {
        explicitPort = true;
        port = TrelDeviceAddress(static_cast<uint8_t>(printer.at(0).toUInt()),
                                 static_cast<uint8_t>(printer.at(1).toUInt()));
    }
}

Session::~Session()
{
    // Slots of a command's locals (followers, bars) may already be gone.
    blockSignals(true);
    if (current)
        disconnect(current.data(), nullptr, this, nullptr);
    estimator->setDevice({});
    current.reset();
    if (!registry)
        return;
    // Shut down before the log ends: closing the printers may still log.
    RMDeviceRegistry::shutdown();
    Logging::unsetup();
}

void Session::start()
{
    if (registry)
        return;
    // The printer's text goes to the printer log as when the window talks to
    // it; the rest of our messages to the program's log besides the console.
    // Rotating the logs is left to the window, the one process that owns
    // them for a whole session.
    Logging::setupFile();
    registry = RMDeviceRegistry::instance();
    connect(registry, &RMDeviceRegistry::devicesChanged, this, &Session::follow);

    QElapsedTimer clock;
    clock.start();
    int attached = 0, opened = 0;
    for (;;) {
        attached = registry->numOfRMDevicesAttached();
        opened = static_cast<int>(TrelTransport::list_connected().size());
        const int active = registry->activePorts().size();
        if (explicitPort && registry->activePorts().contains(port))
            break;
        if (active >= attached)
            break;
        // The rest cannot be opened, once the registry has heard why.
        const int told = registry->unopenedPrinters().size();
        if (opened <= active && opened + told >= attached && clock.elapsed() > OpenAttemptsMs)
            break;
        if (clock.elapsed() > DiscoveryMs || Interrupt::signal())
            break;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    unopened = registry->unopenedPrinters();
    // Until open() picks a printer: the placeholder, so that there is
    // always a device.
    current = registry->getDevice(NO_PRINTER);
}

int Session::open()
{
    start();
    if (Interrupt::signal())
        return waitFailed(Wait::Interrupted, QString());
    const QVector<TrelDeviceAddress> ports = activePorts();
    if (explicitPort && !ports.contains(port)) {
        QVector<TrelDeviceAddress> attached = ports;
        for (const RMUnopenedPrinter& row : qAsConst(unopened)) {
            if (row.port == port)
                return invocation.fail(NoPrinter, whyNotOpened(row));
            attached.append(row.port);
        }
        QString text = QStringLiteral("no printer at %1:%2").arg(port.bus).arg(port.address);
        if (!attached.isEmpty())
            text += QStringLiteral(" (attached: %1)").arg(names(attached));
        return invocation.fail(NoPrinter, text);
    }
    if (!explicitPort) {
        if (ports.size() > 1)
            return invocation.fail(UsageError,
                                   QStringLiteral("several printers are attached (%1): choose "
                                                  "one with --printer BUS:ADDRESS")
                                       .arg(names(ports)));
        if (ports.isEmpty()) {
            if (!unopened.isEmpty())
                return invocation.fail(NoPrinter, whyNotOpened(unopened.first()));
            if (dfuAttached() > 0)
                return invocation.fail(NoPrinter,
                                       QStringLiteral("the printer is in firmware-update mode "
                                                      "(zelkctl dfu flash installs firmware)"));
            if (!silentPorts().isEmpty())
                return invocation.fail(NoPrinter,
                                       QStringLiteral("a printer is attached but does not answer"));
            return invocation.fail(NoPrinter, QStringLiteral("no printer attached"));
        }
        port = ports.first();
    }
    // What the printer held from before must not reach the estimator: it
    // would take a print's start for now.
    settle({port});
    following = true;
    follow();
    return Success;
}

QString Session::whyNotOpened(const RMUnopenedPrinter& row)
{
    const QString at =
        QStringLiteral("the printer at %1:%2").arg(row.port.bus).arg(row.port.address);
    switch (row.reason) {
    case RMUnopenedPrinter::HeldElsewhere:
        if (row.holderName == QLatin1String("zelkd"))
            return at + QStringLiteral(" is held by zelkd (PID %1), which did not answer here: "
                                       "set ZELKD_URL and ZELKD_API_KEY to go through it")
                            .arg(row.holderPid);
        if (!row.holderName.isEmpty())
            return at + QStringLiteral(" is held by %1 (PID %2); a printer talks to one "
                                       "program at a time")
                            .arg(row.holderName)
                            .arg(row.holderPid);
        return at + QStringLiteral(" is held by another program (the desktop program, zelkd or "
                                   "another zelkctl); a printer talks to one program at a time");
    case RMUnopenedPrinter::NoPermission:
        return at + QStringLiteral(" may not be opened by this user (%1): %2")
                        .arg(row.node, QLatin1String(PermissionHint));
    case RMUnopenedPrinter::OpenFailed:
        break;
    }
    return at + QStringLiteral(" could not be opened (%1)").arg(row.node);
}

void Session::settle(const QVector<TrelDeviceAddress>& ports)
{
    QSet<RMDevice*> waiting;
    QElapsedTimer quiet;
    quiet.start();
    QObject context; // ends the connections below with this call
    for (TrelDeviceAddress p : ports) {
        const QSharedPointer<RMDevice> d = deviceAt(p);
        if (!d || !d->isOpen())
            continue;
        waiting.insert(d.data());
        connect(d.data(), &RMDevice::statusReceived, &context, [&waiting, &quiet, d = d.data()] {
            waiting.remove(d);
            quiet.restart();
        });
        d->pollStatus();
    }
    waitFor([&] { return waiting.isEmpty() && quiet.elapsed() >= SettleQuietMs; }, SettleMs);
}

QVector<TrelDeviceAddress> Session::activePorts() const
{
    return registry ? registry->activePorts() : QVector<TrelDeviceAddress>();
}

QSharedPointer<RMDevice> Session::deviceAt(TrelDeviceAddress at) const
{
    return registry ? registry->getDevice(at) : QSharedPointer<RMDevice>();
}

QVector<TrelDeviceAddress> Session::silentPorts() const
{
    QVector<TrelDeviceAddress> silent;
    const QVector<TrelDeviceAddress> active = activePorts();
    for (TrelDeviceAddress p : TrelTransport::list_connected())
        if (!active.contains(p))
            silent.append(p);
    return silent;
}

int Session::dfuAttached() const
{
    return registry ? registry->numOfDfuDevicesAttached() : 0;
}

TrelDeviceAddress Session::wanted() const
{
    const QVector<TrelDeviceAddress> ports = activePorts();
    if (ports.contains(port))
        return port;
    // The window's rule: the one printer, whichever it is (a printer plugged
    // in again may come back at another address).
    if (explicitPort || !followReturn || ports.size() != 1)
        return NO_PRINTER;
    return ports.first();
}

void Session::follow()
{
    if (!following)
        return;
    const TrelDeviceAddress want = wanted();
    QSharedPointer<RMDevice> next = registry->getDevice(want);
    if (next == current)
        return;
    if (current) {
        disconnect(current.data(), nullptr, this, nullptr);
        if (current->port() != NO_PRINTER)
            lost = true;
    }
    if (want != NO_PRINTER)
        port = want;
    current = next;
    // The estimator first, so that a status line drawn on a change carries
    // the estimate that the change brought.
    estimator->setDevice(current);
    RMDevice* d = current.data();
    connect(d, &RMDevice::stateChanged, this, &Session::statusChanged);
    connect(d, &RMDevice::printProgressChanged, this, &Session::statusChanged);
    connect(d, &RMDevice::temperatureChanged, this, &Session::statusChanged);
    connect(d, &RMDevice::deviceConnected, this, &Session::statusChanged);
    connect(d, &RMDevice::jobDataReceived, this,
            [](const QByteArray& block) { qCInfo(PrinterLog).noquote() << block; });
    emit statusChanged();
}

QString Session::statusText(qint64 fallbackRemaining) const
{
    const RMDevice* d = current.data();
    const qint64 remaining = estimator->timeRemaining();
    // "More than one printer connected" is the window's word for following
    // none of several; a printer picked by address is simply gone.
    return RMStatusText::text(d->state(), d->temperature(), d->printProgress(),
                              remaining >= 1 ? remaining : fallbackRemaining,
                              !explicitPort && activePorts().size() > 1);
}

qint64 Session::timeRemaining() const
{
    return estimator->timeRemaining();
}

Session::Wait Session::waitFor(const std::function<bool()>& reached, int timeoutMs,
                               bool interruptible)
{
    QElapsedTimer clock, sincePoll;
    clock.start();
    sincePoll.start();
    for (;;) {
        if (reached())
            return Wait::Reached;
        if (lost && !followReturn)
            return Wait::Lost;
        if (interruptible && Interrupt::signal())
            return Wait::Interrupted;
        if (timeoutMs >= 0 && clock.elapsed() >= timeoutMs)
            return Wait::TimedOut;
        if (sincePoll.elapsed() >= PollIntervalMs) {
            current->pollStatus();
            sincePoll.restart();
        }
        // A slice of the event loop, cut short by any news of the printer.
        QEventLoop loop;
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        connect(this, &Session::statusChanged, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

int Session::waitFailed(Wait wait, const QString& timeoutText)
{
    switch (wait) {
    case Wait::Reached:
        return Success;
    case Wait::Lost:
        return invocation.fail(PrinterFailure, QStringLiteral("the printer went away"));
    case Wait::Interrupted:
        return invocation.fail(Interrupted + Interrupt::signal(), QStringLiteral("interrupted"));
    case Wait::TimedOut:
        return invocation.fail(PrinterFailure, timeoutText);
    }
    return PrinterFailure;
}

} // namespace zelkctl
