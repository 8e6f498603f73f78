// The printer commands that ask or tell one thing: list, status, pause,
// abort, load, unload, version, serial.
#include "Console.h"
#include "Session.h"
#include "Subcommand.h"

#include <RMDFUDevice.h>
#include <RMStatusText.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>

#include <algorithm>

namespace zelkctl {

namespace {

// Long enough for a printer to finish its move and park (pause), or to stop
// (abort); the printer answers the request itself at once.
constexpr int PauseMs = 15000;
constexpr int AbortMs = 30000;
// How long a filament procedure may take to show up in the status.
constexpr int ProcedureStartMs = 15000;

template <typename Enum>
QString keyOf(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

QString name(TrelDeviceAddress port)
{
    return QStringLiteral("%1:%2").arg(port.bus).arg(port.address);
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QByteArray statusJson(const Session& session)
{
    const QSharedPointer<RMDevice> d = session.device();
    QJsonObject o;
    o.insert(QStringLiteral("printer"),
             d->port() == NO_PRINTER ? QJsonValue() : QJsonValue(name(d->port())));
    o.insert(QStringLiteral("state"), keyOf(d->state()));
    o.insert(QStringLiteral("text"), session.statusText());
    o.insert(QStringLiteral("temperature"), d->temperature());
    o.insert(QStringLiteral("progress"), d->printProgress());
    const qint64 remaining = session.timeRemaining();
    o.insert(QStringLiteral("minutes_left"), d->state() == RMDevice::Building && remaining >= 1
                                                 ? QJsonValue(int(remaining / 60000))
                                                 : QJsonValue());
    o.insert(QStringLiteral("model"), d->model());
    o.insert(QStringLiteral("firmware"), d->fwVersion());
    o.insert(QStringLiteral("error"), keyOf(d->lastError()));
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// Opens the session and asks a question that the printer answers with a text.
int ask(const Invocation& invocation, QFuture<QString> (RMDevice::*query)())
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const QString answer = (session.device().data()->*query)().result();
    if (answer.isEmpty())
        return invocation.fail(PrinterFailure, QStringLiteral("the printer did not answer"));
    print(stdout, answer);
    return Success;
}

int filament(const Invocation& invocation, bool load)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const QSharedPointer<RMDevice> d = session.device();
    const RMDevice::State state = d->state();
    // Where the window offers its filament buttons.
    if (state != RMDevice::Idle && state != RMDevice::Paused && state != RMDevice::OutOfFilament)
        return invocation.fail(
            PrinterFailure, QStringLiteral("the printer is busy (%1); filament is %2 while it "
                                           "is idle or paused")
                                .arg(quoted(session.statusText()),
                                     load ? QStringLiteral("loaded") : QStringLiteral("unloaded")));
    if (!d->isFirmwareValid())
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the printer's firmware %1 is older than %2: "
                                              "zelkctl dfu flash installs a current one")
                                   .arg(d->fwVersion(), RMDevice::minFwVersion()));

    Interrupt::install();
    const RMDevice::State heating = load ? RMDevice::LoadHeating : RMDevice::UnloadHeating;
    const RMDevice::State working = load ? RMDevice::LoadExtruding : RMDevice::UnloadRetracting;
    const RMDevice::Error refused =
        load ? RMDevice::FilamentAlreadyLoaded : RMDevice::FilamentAlreadyUnloaded;
    // A refusal shows as an error in the status. One the printer still shows
    // from an earlier refusal tells nothing: then only the wait below does.
    const bool refusalVisible = d->lastError() != refused;
    if (load)
        d->startFilamentLoad();
    else
        d->startFilamentUnload();
    // Commands run in order on the device's command pool: once this query is
    // answered the printer has had the request, and the next status shows
    // what it made of it.
    d->queryVersion().waitForFinished();
    d->pollStatus();

    StatusFollower follower;
    bool started = false;
    bool hinted = false;
    auto show = [&] {
        const RMDevice::State s = d->state();
        if (s != heating && s != working)
            return;
        started = true;
        follower.show(session.statusText(), s);
        if (load && s == working && !hinted) {
            hinted = true;
            follower.end();
            print(stdout, QStringLiteral("Feed the filament in, and press the printer's button "
                                         "when it comes out of the nozzle."));
        }
    };
    QObject::connect(&session, &Session::statusChanged, &session, show);
    show();

    Session::Wait wait = session.waitFor(
        [&] { return started || (refusalVisible && d->lastError() == refused); }, ProcedureStartMs);
    if (!started && (wait == Session::Wait::Reached || d->lastError() == refused))
        return invocation.fail(PrinterFailure, load ? QStringLiteral("filament is already loaded")
                                                    : QStringLiteral("no filament is loaded"));
    if (wait != Session::Wait::Reached)
        return session.waitFailed(wait, QStringLiteral("the printer did not start"));
    wait = session.waitFor([&] {
        const RMDevice::State s = d->state();
        return s != heating && s != working;
    });
    follower.end();
    if (wait != Session::Wait::Reached)
        return session.waitFailed(wait, QString());
    switch (d->lastError()) {
    case RMDevice::LoadTimeout:
        return invocation.fail(PrinterFailure,
                               QStringLiteral("loading timed out: the hot end did not heat, or "
                                              "the button was not pressed"));
    case RMDevice::UnloadTimeout:
        return invocation.fail(PrinterFailure,
                               QStringLiteral("unloading timed out: the hot end did not heat"));
    case RMDevice::UnknownError:
        return invocation.fail(PrinterFailure, QStringLiteral("the printer reported an error"));
    default:
        break;
    }
    print(stdout, load ? QStringLiteral("Filament loaded.") : QStringLiteral("Filament unloaded."));
    return Success;
}

} // namespace

int runList(const Invocation& invocation)
{
    Session session(invocation);
    session.start();

    struct Row
    {
        QString address, mode, model, firmware, state;
        QJsonObject json;
    };
    QVector<Row> rows;
    QVector<TrelDeviceAddress> ports = session.activePorts();
    session.settle(ports);
    std::sort(ports.begin(), ports.end(), [](TrelDeviceAddress a, TrelDeviceAddress b) {
        return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
    });
    for (TrelDeviceAddress port : qAsConst(ports)) {
        const QSharedPointer<RMDevice> d = session.deviceAt(port);
        // No estimate: minutes left need a print watched while it runs.
        const QString text =
            RMStatusText::text(d->state(), d->temperature(), d->printProgress(), -1, false);
        Row row{name(port), QStringLiteral("normal"), d->model(), d->fwVersion(), text, {}};
        row.json = QJsonObject{{QStringLiteral("printer"), row.address},
                               {QStringLiteral("mode"), row.mode},
                               {QStringLiteral("model"), row.model},
                               {QStringLiteral("firmware"), row.firmware},
                               {QStringLiteral("state"), keyOf(d->state())},
                               {QStringLiteral("text"), text}};
        rows.append(row);
    }
    for (TrelDeviceAddress port : session.silentPorts()) {
        Row row{name(port), QStringLiteral("normal"),        QString(),
                QString(),  QStringLiteral("not answering"), {}};
        row.json = QJsonObject{{QStringLiteral("printer"), row.address},
                               {QStringLiteral("mode"), row.mode},
                               {QStringLiteral("state"), QStringLiteral("NotAnswering")}};
        rows.append(row);
    }
    for (const RMUnopenedPrinter& p : session.notOpened()) {
        Row row{name(p.port), QStringLiteral("normal"), QString(), QString(), QString(), {}};
        row.json = QJsonObject{{QStringLiteral("printer"), row.address},
                               {QStringLiteral("mode"), row.mode},
                               {QStringLiteral("node"), p.node}};
        switch (p.reason) {
        case RMUnopenedPrinter::HeldElsewhere:
            row.state = p.holderName.isEmpty() ? QStringLiteral("in use by another program")
                                               : QStringLiteral("in use, held by %1 (PID %2)")
                                                     .arg(p.holderName)
                                                     .arg(p.holderPid);
            row.json.insert(QStringLiteral("state"), QStringLiteral("InUse"));
            if (!p.holderName.isEmpty()) {
                row.json.insert(QStringLiteral("heldBy"), p.holderName);
                row.json.insert(QStringLiteral("holderPid"), p.holderPid);
            }
            break;
        case RMUnopenedPrinter::NoPermission:
            row.state =
                QStringLiteral("no permission: %1").arg(QLatin1String(Session::PermissionHint));
            row.json.insert(QStringLiteral("state"), QStringLiteral("NoPermission"));
            break;
        case RMUnopenedPrinter::OpenFailed:
            row.state = QStringLiteral("could not be opened");
            row.json.insert(QStringLiteral("state"), QStringLiteral("OpenFailed"));
            break;
        }
        row.json.insert(QStringLiteral("text"), row.state);
        rows.append(row);
    }
    const int dfu = session.dfuAttached();
    if (dfu > 0) {
        // dfu-util names them by serial number; the USB address is not ours
        // to know in this mode.
        const QList<RMDFUDevice> listed = RMDFUDevice::connectedDevices(dfuUtilPath()).result();
        for (int i = 0; i < std::max(dfu, int(listed.size())); ++i) {
            const QString serial = i < listed.size() ? listed.at(i).serial() : QString();
            Row row{QString(),
                    QStringLiteral("firmware-update"),
                    QString(),
                    QString(),
                    serial.isEmpty()
                        ? QStringLiteral("firmware-update mode")
                        : QStringLiteral("firmware-update mode, serial %1").arg(serial),
                    {}};
            row.json = QJsonObject{{QStringLiteral("printer"), QJsonValue()},
                                   {QStringLiteral("mode"), row.mode},
                                   {QStringLiteral("serial"), serial},
                                   {QStringLiteral("state"), QStringLiteral("FirmwareUpdate")}};
            rows.append(row);
        }
    }
    if (rows.isEmpty())
        return invocation.fail(NoPrinter, QStringLiteral("no printer attached"));

    if (invocation.has("--json")) {
        QJsonArray array;
        for (const Row& row : qAsConst(rows))
            array.append(row.json);
        print(stdout, QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
        return Success;
    }
    const QString dash = QStringLiteral("-");
    auto cell = [&dash](const QString& text) { return text.isEmpty() ? dash : text; };
    int widths[4] = {7, 4, 5, 8}; // the headings
    for (const Row& row : qAsConst(rows)) {
        widths[0] = std::max(widths[0], int(cell(row.address).size()));
        widths[1] = std::max(widths[1], int(cell(row.mode).size()));
        widths[2] = std::max(widths[2], int(cell(row.model).size()));
        widths[3] = std::max(widths[3], int(cell(row.firmware).size()));
    }
    auto line = [&widths](const QString& a, const QString& b, const QString& c, const QString& d,
                          const QString& e) {
        // Padded by hand: what the printer names itself must not be taken
        // for a place marker of a later arg().
        return a.leftJustified(widths[0]) + QLatin1String("  ") + b.leftJustified(widths[1]) +
               QLatin1String("  ") + c.leftJustified(widths[2]) + QLatin1String("  ") +
               d.leftJustified(widths[3]) + QLatin1String("  ") + e;
    };
    print(stdout, line(QStringLiteral("ADDRESS"), QStringLiteral("MODE"), QStringLiteral("MODEL"),
                       QStringLiteral("FIRMWARE"), QStringLiteral("STATE")));
    for (const Row& row : qAsConst(rows))
        print(stdout, line(cell(row.address), cell(row.mode), cell(row.model), cell(row.firmware),
                           row.state));
    return Success;
}

int runStatus(const Invocation& invocation)
{
    const bool json = invocation.has("--json");
    const bool watch = invocation.has("--watch");
    if (watch)
        Interrupt::install();
    Session session(invocation);
    session.setFollowReturn(watch);
    if (int code = session.open())
        return code;
    if (!watch) {
        print(stdout, json ? QString::fromUtf8(statusJson(session)) : session.statusText());
        return Success;
    }

    StatusFollower follower;
    QByteArray shownJson;
    auto show = [&] {
        if (!json) {
            follower.show(session.statusText(), session.device()->state());
            return;
        }
        const QByteArray now = statusJson(session);
        if (now != shownJson)
            print(stdout, QString::fromUtf8(now));
        shownJson = now;
    };
    QObject::connect(&session, &Session::statusChanged, &session, show);
    show();
    // Until interrupted: that is how a watch ends.
    session.waitFor([] { return false; });
    return Success;
}

int runPause(const Invocation& invocation)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const QSharedPointer<RMDevice> d = session.device();
    const RMDevice::State before = d->state();
    if (before != RMDevice::Building && before != RMDevice::Paused)
        return invocation.fail(PrinterFailure,
                               QStringLiteral("nothing to pause: the printer says %1")
                                   .arg(quoted(session.statusText())));
    Interrupt::install();
    if (!d->pause().result())
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the request did not reach the printer"));
    d->pollStatus(); // after the request on the job channel: answers with its effect
    const Session::Wait wait = session.waitFor([&] { return d->state() != before; }, PauseMs);
    if (wait != Session::Wait::Reached)
        return session.waitFailed(wait, before == RMDevice::Paused
                                            ? QStringLiteral("the printer did not resume")
                                            : QStringLiteral("the printer did not pause"));
    print(stdout, session.statusText());
    return Success;
}

int runAbort(const Invocation& invocation)
{
    Session session(invocation);
    if (int code = session.open())
        return code;
    const QSharedPointer<RMDevice> d = session.device();
    switch (d->state()) {
    case RMDevice::Idle:
    case RMDevice::PreInit:
    case RMDevice::Initializing:
    case RMDevice::FileRx:
        return invocation.fail(PrinterFailure,
                               QStringLiteral("nothing to abort: the printer says %1")
                                   .arg(quoted(session.statusText())));
    default:
        break;
    }
    Interrupt::install();
    if (!d->abort().result())
        return invocation.fail(PrinterFailure,
                               QStringLiteral("the request did not reach the printer"));
    d->pollStatus();
    const Session::Wait wait =
        session.waitFor([&] { return d->state() == RMDevice::Idle; }, AbortMs);
    if (wait != Session::Wait::Reached)
        return session.waitFailed(wait, QStringLiteral("the printer did not stop: it says %1")
                                            .arg(quoted(session.statusText())));
    print(stdout, session.statusText());
    return Success;
}

int runLoad(const Invocation& invocation)
{
    return filament(invocation, true);
}

int runUnload(const Invocation& invocation)
{
    return filament(invocation, false);
}

int runVersion(const Invocation& invocation)
{
    return ask(invocation, &RMDevice::queryVersion);
}

int runSerial(const Invocation& invocation)
{
    return ask(invocation, &RMDevice::querySerial);
}

} // namespace zelkctl
