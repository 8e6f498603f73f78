#include "PrinterHub.h"

#include "EventBus.h"
#include "History.h"
#include "OctoJson.h"

#include <LogCategories.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QMetaEnum>
#include <QPointer>

#include <memory>

Q_LOGGING_CATEGORY(HubLog, "zelkd")

namespace zelkd {

namespace {

// A command that failed, answered as an OctoPrint client expects: 409 when
// the printer is not there (not operational), 503 when it did not answer in
// time, 500 otherwise; the text names the link library's outcome.
Result failed(const Outcome& o)
{
    switch (o.status) {
    case TREL_ERROR_NO_DEVICE:
        return {Result::Conflict, o.reason};
    case TREL_ERROR_TIMEOUT:
        return {Result::Timeout, o.reason};
    default:
        return {Result::Failed, o.reason};
    }
}

constexpr qint64 TemperatureWindowMs = 30 * 60 * 1000;
// Today's printer log as the push stream replays it to a page opened later.
constexpr qint64 LogBudgetBytes = 2 * 1024 * 1024;
// From the end of an upload until the printer has said whether it took it.
constexpr qint64 TakeFileMs = 30000;

QString addressOf(TrelDeviceAddress port)
{
    return QStringLiteral("%1:%2").arg(port.bus).arg(port.address);
}

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

bool isPrintingState(RMDevice::State s)
{
    return s == RMDevice::PreparingBuild || s == RMDevice::Building || s == RMDevice::Pausing ||
           s == RMDevice::Paused || s == RMDevice::Unpaused || s == RMDevice::OutOfFilament ||
           (s >= RMDevice::HomingInit && s <= RMDevice::HomingComplete);
}

bool isFilamentState(RMDevice::State s)
{
    return s >= RMDevice::LoadHeating && s <= RMDevice::UnloadRetracting;
}

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The one place where a job takes its file's figures from the analysis.
void takeFigures(Job& j, const StoredFile& file)
{
    j.targetCelsius = file.hotendCelsius;
    j.estimatedSeconds = file.estimatedSeconds();
    j.filamentMm = file.filamentMm();
}

} // namespace

PrinterHub::PrinterHub(DeviceAdapter* a, FileStore* f, History* h, EventBus* b, int pollMs,
                       QObject* parent)
    : QObject(parent), adapter(a), files(f), history(h), bus(b), pollIntervalMs(pollMs)
{
    connect(adapter, &DeviceAdapter::attached, this, &PrinterHub::attached);
    connect(adapter, &DeviceAdapter::detached, this, &PrinterHub::detached);
    connect(adapter, &DeviceAdapter::statusReceived, this, &PrinterHub::statusReceived);
    connect(adapter, &DeviceAdapter::text, this, &PrinterHub::text);
    pollTimer.setInterval(pollIntervalMs);
    connect(&pollTimer, &QTimer::timeout, this, &PrinterHub::pollAll);
    midnight.setSingleShot(true);
    connect(&midnight, &QTimer::timeout, this, &PrinterHub::dayChange);
}

PrinterHub::~PrinterHub() = default;

void PrinterHub::start()
{
    pollTimer.start();
    const QDateTime t = QDateTime::currentDateTime();
    midnight.start(int(qBound<qint64>(1000, t.msecsTo(QDateTime(t.date().addDays(1), QTime(0, 0))),
                                      24 * 3600 * 1000)));
}

// --- readers (any thread)

QVector<PrinterSnapshot> PrinterHub::snapshots() const
{
    QMutexLocker lock(&mutex);
    return snapshotCopy;
}

QVector<TemperatureSample> PrinterHub::temperatures(const QString& id) const
{
    QMutexLocker lock(&mutex);
    const auto it = temperatureCopy.constFind(id);
    if (it == temperatureCopy.constEnd())
        return {};
    return QVector<TemperatureSample>(it->begin(), it->end());
}

QVector<LogLine> PrinterHub::todaysLog() const
{
    QMutexLocker lock(&mutex);
    return QVector<LogLine>(log.begin(), log.end());
}

void PrinterHub::post(std::function<void()> work)
{
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

// --- the printers

PrinterHub::Printer* PrinterHub::find(const QString& id)
{
    for (Printer& p : printers)
        if (p.snap.id == id || (p.snap.attached && p.snap.address == id) ||
            (!p.snap.serial.isEmpty() && p.snap.serial == id))
            return &p;
    return nullptr;
}

PrinterHub::Printer* PrinterHub::atPort(TrelDeviceAddress port)
{
    for (Printer& p : printers)
        if (p.snap.attached && p.snap.status.port == port)
            return &p;
    return nullptr;
}

void PrinterHub::attached(TrelDeviceAddress port)
{
    Printer p;
    p.snap.id = p.snap.address = addressOf(port);
    p.snap.attached = true;
    p.snap.status = adapter->status(port);
    printers.append(p);
    changed(printers.last());
    // Its serial number names it from now on, across replugs: a printer that
    // comes back takes its earlier entry (its job, its temperatures) back.
    adapter->querySerial(port, [this, port](const QString& serial) {
        Printer* fresh = atPort(port);
        if (!fresh || serial.isEmpty())
            return;
        const QString address = fresh->snap.id;
        QString firmwareBefore; // of a printer that comes back
        for (int i = 0; i < printers.size(); ++i) {
            Printer& old = printers[i];
            if (&old == fresh || old.snap.serial != serial || old.snap.attached)
                continue;
            firmwareBefore = old.snap.status.firmware;
            old.snap.attached = true;
            old.snap.address = fresh->snap.address;
            old.snap.status = fresh->snap.status;
            printers.removeAt(int(fresh - printers.data()));
            fresh = atPort(port);
            break;
        }
        bool taken = false;
        for (const Printer& other : qAsConst(printers))
            taken = taken || (&other != fresh && other.snap.id == serial);
        if (taken) {
            // Two printers that say the same serial number: the later one
            // is known by its address, or neither could be addressed.
            qCWarning(HubLog).noquote()
                << QStringLiteral("printer %1 reports serial number %2, as another printer "
                                  "does: it is known by its address")
                       .arg(fresh->snap.address, serial);
        } else if (fresh->snap.serial.isEmpty()) {
            fresh->snap.serial = serial;
            fresh->snap.id = serial;
        }
        {
            QMutexLocker lock(&mutex);
            if (temperatureCopy.contains(address) && address != fresh->snap.id)
                temperatureCopy.insert(fresh->snap.id, temperatureCopy.take(address));
        }
        changed(*fresh);
        event(*fresh, "plugged");
        // Flashed while away (by the window or zelkctl on another machine,
        // or here while zelkd let it go).
        if (!firmwareBefore.isEmpty() && !fresh->snap.status.firmware.isEmpty() &&
            firmwareBefore != fresh->snap.status.firmware)
            event(*fresh, "firmware_updated",
                  QStringLiteral("%1 -> %2").arg(firmwareBefore, fresh->snap.status.firmware));
        qCInfo(HubLog).noquote() << QStringLiteral("printer %1 %2 (%3, firmware %4): %5")
                                        .arg(fresh->snap.address, fresh->snap.id,
                                             fresh->snap.status.model, fresh->snap.status.firmware,
                                             fresh->snap.status.statusLine);
        emit printerAttached(fresh->snap.id);
    });
}

void PrinterHub::detached(TrelDeviceAddress port)
{
    Printer* p = atPort(port);
    if (!p)
        return;
    p->snap.attached = false;
    p->snap.status.state = RMDevice::Disconnected;
    p->snap.status.statusLine = QStringLiteral("Disconnected");
    qCInfo(HubLog).noquote()
        << QStringLiteral("printer %1 %2 went away").arg(p->snap.address, p->snap.id);
    if (p->snap.job.isActive())
        endJob(*p, Job::Failed,
               p->snap.job.phase == Job::Printing
                   ? QStringLiteral("the printer went away during the print (it may print on)")
                   : QStringLiteral("the printer went away"));
    // A printer that never told its serial number cannot be recognised when
    // it returns: forgotten.
    if (p->snap.serial.isEmpty() && !p->snap.job.isActive()) {
        const QString id = p->snap.id;
        event(*p, "unplugged");
        printers.removeAt(int(p - printers.data()));
        QVector<PrinterSnapshot> all;
        for (const Printer& q : qAsConst(printers))
            all.append(q.snap);
        QMutexLocker lock(&mutex);
        temperatureCopy.remove(id);
        snapshotCopy = all;
        return;
    }
    changed(*p);
    event(*p, "unplugged");
}

void PrinterHub::statusReceived(TrelDeviceAddress port)
{
    Printer* p = atPort(port);
    if (!p)
        return;
    const DeviceStatus before = p->snap.status;
    p->snap.status = adapter->status(port);
    followJob(*p, before);
    const RMDevice::State was = before.state, is = p->snap.status.state;
    if (was != is) {
        if (is == RMDevice::Paused)
            event(*p, "paused");
        else if (was == RMDevice::Paused && (is == RMDevice::Unpaused || is == RMDevice::Building))
            event(*p, "resumed");
        else if (is == RMDevice::OutOfFilament)
            event(*p, "filament_out");
    }
    changed(*p);
}

void PrinterHub::text(TrelDeviceAddress port, const QByteArray& bytes)
{
    Printer* p = atPort(port);
    const QString id = p ? p->snap.id : addressOf(port);
    // A block is the printer's text up to one JSON message. The status
    // messages that answer our polls (every second) are not its log: only
    // its text and its other messages are kept.
    const int brace = bytes.indexOf('{');
    QByteArray kept = (brace < 0 ? bytes : bytes.left(brace)).trimmed();
    if (brace >= 0) {
        const QByteArray message = bytes.mid(brace);
        const QJsonObject o = QJsonDocument::fromJson(message).object();
        if (o.value(QLatin1String("metadata")).toObject().value(QLatin1String("type")).toString() !=
            QLatin1String("status"))
            kept += (kept.isEmpty() ? QByteArray() : QByteArrayLiteral("\n")) + message;
    }
    if (kept.isEmpty())
        return;
    const QString text = QString::fromUtf8(kept);
    qCInfo(PrinterLog).noquote() << text;
    LogLine line{now(), id, text};
    {
        QMutexLocker lock(&mutex);
        log.push_back(line);
        logBytes += text.size() * 2;
        while (logBytes > LogBudgetBytes && !log.empty()) {
            logBytes -= log.front().text.size() * 2;
            log.pop_front();
        }
    }
    bus->publish({"log", compact(QJsonObject{{QStringLiteral("printer"), id},
                                             {QStringLiteral("time"), double(line.timeMs)},
                                             {QStringLiteral("text"), text}})});
}

void PrinterHub::pollAll()
{
    const qint64 t = now();
    for (Printer& p : printers) {
        if (!p.snap.attached)
            continue;
        // While our file flows to the printer the job channel is the
        // upload's; a poll would only wait behind it.
        if (p.snap.job.phase != Job::Sending)
            adapter->poll(p.snap.status.port);
        const QJsonObject temperature =
            temperatureJson(p.snap).value(QLatin1String("tool0")).toObject();
        const TemperatureSample sample{t, p.snap.status.temperature,
                                       temperature.value(QLatin1String("target")).toDouble()};
        {
            QMutexLocker lock(&mutex);
            std::deque<TemperatureSample>& samples = temperatureCopy[p.snap.id];
            samples.push_back(sample);
            while (!samples.empty() && samples.front().timeMs < t - TemperatureWindowMs)
                samples.pop_front();
        }
        bus->publish({"temperature", compact(QJsonObject{
                                         {QStringLiteral("printer"), p.snap.id},
                                         {QStringLiteral("time"), double(sample.timeMs)},
                                         {QStringLiteral("actual"), sample.actual},
                                         {QStringLiteral("target"), sample.target},
                                     })});
        if (p.snap.job.phase == Job::Sent && t - p.snap.job.sentAtMs > TakeFileMs)
            endJob(p, Job::Failed, QStringLiteral("the printer did not take the file"));
    }
}

void PrinterHub::dayChange()
{
    // Today's log starts empty; the printer log file itself is rotated by
    // whoever owns the logging (main).
    {
        QMutexLocker lock(&mutex);
        log.clear();
        logBytes = 0;
    }
    start();
}

// --- jobs

void PrinterHub::followJob(Printer& p, const DeviceStatus& before)
{
    Job& j = p.snap.job;
    const RMDevice::State s = p.snap.status.state;
    switch (j.phase) {
    case Job::Sent:
        if (s == RMDevice::FileRx) {
            j.receivedSeen = true;
        } else if (s == RMDevice::JobQueued) {
            j.phase = Job::Queued;
            event(p, "queued");
        } else if (isPrintingState(s) && s != RMDevice::Paused) {
            j.phase = Job::Printing;
            j.printStartedMs = now();
            event(p, "started");
        } else if (s == RMDevice::Idle &&
                   (j.receivedSeen || (p.snap.status.error != RMDevice::NoError &&
                                       before.error == RMDevice::NoError))) {
            endJob(p, Job::Failed,
                   p.snap.status.error != RMDevice::NoError
                       ? QStringLiteral("the printer refused the file (printer error %1)")
                             .arg(QLatin1String(QMetaEnum::fromType<RMDevice::Error>().valueToKey(
                                 p.snap.status.error)))
                       : QStringLiteral("the printer did not take the file"));
        }
        break;
    case Job::Queued:
        if (isPrintingState(s)) {
            j.phase = Job::Printing;
            j.printStartedMs = now();
            event(p, "started");
        } else if (s == RMDevice::Idle) {
            endJob(p, Job::Cancelled,
                   j.cancelRequested ? QStringLiteral("cancelled before it started")
                                     : QStringLiteral("aborted on the printer before it started"));
        }
        break;
    case Job::Printing:
        j.highestProgress = std::max(j.highestProgress, p.snap.status.progress);
        if (s == RMDevice::Idle) {
            if (j.highestProgress >= 100)
                endJob(p, Job::Finished, QString());
            else if (j.cancelRequested)
                endJob(p, Job::Cancelled,
                       QStringLiteral("cancelled at %1%").arg(j.highestProgress));
            else if (p.snap.status.error != RMDevice::NoError)
                endJob(p, Job::Failed,
                       QStringLiteral("the printer stopped with error %1 at %2%")
                           .arg(QLatin1String(QMetaEnum::fromType<RMDevice::Error>().valueToKey(
                               p.snap.status.error)))
                           .arg(j.highestProgress));
            else
                endJob(p, Job::Cancelled,
                       QStringLiteral("aborted on the printer at %1%").arg(j.highestProgress));
        }
        break;
    default:
        break;
    }
}

void PrinterHub::endJob(Printer& p, Job::Phase phase, const QString& reason)
{
    Job& j = p.snap.job;
    if (!j.isActive())
        return;
    j.phase = phase;
    j.reason = reason;
    if (j.printStartedMs > 0)
        j.printEndedMs = now();
    const char* outcome = phase == Job::Finished ? "success"
                          : phase == Job::Failed ? "failed"
                                                 : "cancelled";
    if (history)
        history->ended(j.historyId, QLatin1String(outcome), reason, j.filamentMm);
    files->setInUse(j.file, false);
    qCInfo(HubLog).noquote() << QStringLiteral("printer %1: job %2 %3%4")
                                    .arg(p.snap.id, j.file, QLatin1String(outcome),
                                         reason.isEmpty() ? QString()
                                                          : QStringLiteral(": ") + reason);
    event(p,
          phase == Job::Finished ? "finished"
          : phase == Job::Failed ? "failed"
                                 : "cancelled",
          reason);
}

void PrinterHub::changed(Printer& p)
{
    {
        QVector<PrinterSnapshot> all;
        all.reserve(printers.size());
        for (const Printer& q : qAsConst(printers))
            all.append(q.snap);
        QMutexLocker lock(&mutex);
        snapshotCopy = all;
    }
    // Temperature samples travel on their own: a state event only when more
    // than the temperature changed (the status line says it in whole degrees).
    PrinterSnapshot withoutTemperature = p.snap;
    withoutTemperature.status.temperature = 0;
    const QByteArray key = compact(printerJson(withoutTemperature));
    if (key == p.lastPublished)
        return;
    p.lastPublished = key;
    bus->publish({"printer", compact(printerJson(p.snap))});
}

void PrinterHub::event(const Printer& p, const char* name, const QString& detail)
{
    bus->publish({"event", compact(QJsonObject{
                               {QStringLiteral("printer"), p.snap.id},
                               {QStringLiteral("event"), QLatin1String(name)},
                               {QStringLiteral("time"), double(now())},
                               {QStringLiteral("file"), p.snap.job.file},
                               {QStringLiteral("detail"), detail},
                           })});
}

// --- commands

PrinterHub::Reply PrinterHub::once(Reply reply, int ms)
{
    auto answered = std::make_shared<bool>(false);
    auto shared = std::make_shared<Reply>(std::move(reply));
    Reply wrapped = [answered, shared](const Result& r) {
        if (*answered)
            return;
        *answered = true;
        (*shared)(r);
    };
    QTimer::singleShot(ms, this, [wrapped] {
        wrapped({Result::Timeout, QStringLiteral("the printer did not answer in time")});
    });
    return wrapped;
}

void PrinterHub::job(const QString& id, Reply reply,
                     const std::function<void(Printer&, Reply)>& work)
{
    Printer* p = find(id);
    if (!p || !p->snap.attached) {
        reply({Result::Conflict, p ? QStringLiteral("the printer %1 is not attached").arg(id)
                                   : QStringLiteral("no printer %1").arg(id)});
        return;
    }
    work(*p, once(std::move(reply)));
}

void PrinterHub::print(const QString& id, const StoredFile& file, Reply reply)
{
    job(id, std::move(reply), [this, file](Printer& p, Reply done) {
        const DeviceStatus& s = p.snap.status;
        if (p.snap.job.isActive())
            return done({Result::Conflict,
                         QStringLiteral("the printer is busy with %1").arg(p.snap.job.file)});
        if (s.state != RMDevice::Idle)
            return done({Result::Conflict,
                         QStringLiteral("the printer is not idle: %1").arg(s.statusLine)});
        if (!s.firmwareValid)
            return done(
                {Result::Conflict, QStringLiteral("the printer's firmware %1 is older than %2")
                                       .arg(s.firmware, RMDevice::minFwVersion())});
        const TrelDeviceAddress port = s.port;
        const QString printerId = p.snap.id;
        auto progress = [this, printerId, name = file.name](int percent) {
            Printer* q = find(printerId);
            if (!q || q->snap.job.phase != Job::Sending || q->snap.job.file != name)
                return;
            q->snap.job.sendPercent = percent;
            bus->publish({"upload", compact(QJsonObject{
                                        {QStringLiteral("printer"), printerId},
                                        {QStringLiteral("file"), name},
                                        {QStringLiteral("phase"), QStringLiteral("sending")},
                                        {QStringLiteral("percent"), percent},
                                    })});
            changed(*q);
        };
        auto finished = [this, printerId, name = file.name](const Outcome& outcome) {
            Printer* q = find(printerId);
            if (!q || q->snap.job.phase != Job::Sending || q->snap.job.file != name)
                return;
            if (!outcome.ok) {
                endJob(*q, Job::Failed, outcome.reason);
                changed(*q);
                return;
            }
            q->snap.job.phase = Job::Sent;
            q->snap.job.sendPercent = 100;
            q->snap.job.sentAtMs = now();
            // The answer comes after the file on the job channel: it says
            // what the printer made of it.
            adapter->poll(q->snap.status.port);
            changed(*q);
        };
        if (!adapter->sendJob(port, file.path, progress, finished))
            return done({Result::Conflict, QStringLiteral("the printer is taking another file")});
        Job j;
        j.phase = Job::Sending;
        j.file = file.name;
        j.size = file.size;
        j.hash = file.hash;
        // The store's entry: its analysis may have ended since the caller's
        // copy was made, before this job existed for fileAnalysed() to find.
        const std::optional<StoredFile> stored = files->find(file.name);
        takeFigures(j, stored && stored->hash == file.hash ? *stored : file);
        files->setInUse(file.name, true);
        if (history)
            j.historyId = history->started(file.name, file.hash, p.snap.id, j.filamentMm);
        p.snap.job = j;
        p.snap.selected = file.name;
        qCInfo(HubLog).noquote() << QStringLiteral("printer %1: sending %2 (%3 bytes)")
                                        .arg(printerId, file.name)
                                        .arg(file.size);
        event(p, "sending");
        changed(p);
        done(Result::ok());
    });
}

void PrinterHub::fileAnalysed(const StoredFile& file)
{
    for (Printer& p : printers) {
        Job& j = p.snap.job;
        if (j.phase == Job::None || j.file != file.name || j.hash != file.hash)
            continue;
        takeFigures(j, file);
        changed(p);
    }
}

void PrinterHub::select(const QString& id, const QString& file, Reply reply)
{
    Printer* p = find(id);
    if (!p || !p->snap.attached)
        return reply({Result::Conflict, QStringLiteral("the printer %1 is not attached").arg(id)});
    if (p->snap.job.isActive())
        return reply({Result::Conflict, QStringLiteral("a print job is active")});
    p->snap.selected = file;
    changed(*p);
    reply(Result::ok());
}

void PrinterHub::startSelected(const QString& id, Reply reply)
{
    Printer* p = find(id);
    if (!p || !p->snap.attached)
        return reply({Result::Conflict, QStringLiteral("the printer %1 is not attached").arg(id)});
    const RMDevice::State s = p->snap.status.state;
    if (s == RMDevice::JobQueued)
        return reply({Result::Conflict, QStringLiteral("press the printer's button")});
    if (p->snap.job.isActive() || isPrintingState(s))
        return reply({Result::Conflict, QStringLiteral("a print job is active")});
    if (p->snap.selected.isEmpty())
        return reply({Result::Conflict, QStringLiteral("no file is selected")});
    const std::optional<StoredFile> file = files->find(p->snap.selected);
    if (!file)
        return reply({Result::Conflict,
                      QStringLiteral("the selected file %1 is gone").arg(p->snap.selected)});
    print(id, *file, std::move(reply));
}

void PrinterHub::cancel(const QString& id, Reply reply)
{
    job(id, std::move(reply), [this](Printer& p, Reply done) {
        const RMDevice::State s = p.snap.status.state;
        if (p.snap.job.phase == Job::Sending || p.snap.job.phase == Job::Sent ||
            s == RMDevice::FileRx)
            return done({Result::Conflict,
                         QStringLiteral("the file is still going to the printer; cancel once it "
                                        "waits for its button")});
        if (s != RMDevice::JobQueued && !isPrintingState(s) && !isFilamentState(s))
            return done({Result::Conflict, QStringLiteral("no print job is active")});
        if (p.snap.job.isActive())
            p.snap.job.cancelRequested = true;
        const QString printerId = p.snap.id;
        adapter->abort(p.snap.status.port, [this, printerId, done](const Outcome& o) {
            if (Printer* q = find(printerId)) {
                if (!o.ok)
                    q->snap.job.cancelRequested = false;
                else if (q->snap.attached)
                    adapter->poll(q->snap.status.port);
                changed(*q);
            }
            done(o.ok ? Result::ok() : failed(o));
        });
        changed(p);
    });
}

void PrinterHub::pause(const QString& id, const QString& action, Reply reply)
{
    job(id, std::move(reply), [this, action](Printer& p, Reply done) {
        const RMDevice::State s = p.snap.status.state;
        const bool paused = s == RMDevice::Paused;
        const bool running = s == RMDevice::Building;
        if (s == RMDevice::JobQueued)
            return done({Result::Conflict, QStringLiteral("press the printer's button")});
        if (s == RMDevice::OutOfFilament)
            return done({Result::Conflict,
                         QStringLiteral("the filament ran out: unload and load filament, then "
                                        "resume")});
        if (s == RMDevice::Pausing || s == RMDevice::Unpaused)
            return done({Result::Conflict,
                         QStringLiteral("the printer is %1").arg(p.snap.status.statusLine)});
        if (!paused && !running)
            return done({Result::Conflict,
                         isPrintingState(s)
                             ? QStringLiteral("the printer pauses only while it prints; it "
                                              "says: %1")
                                   .arg(p.snap.status.statusLine)
                             : QStringLiteral("no print job is active")});
        // The printer's one request toggles; pause and resume only ask for it
        // when it changes something.
        if ((action == QLatin1String("pause") && paused) ||
            (action == QLatin1String("resume") && running))
            return done(Result::ok());
        const QString printerId = p.snap.id;
        adapter->pause(p.snap.status.port, [this, printerId, done](const Outcome& o) {
            if (Printer* q = find(printerId); q && q->snap.attached)
                adapter->poll(q->snap.status.port);
            done(o.ok ? Result::ok() : failed(o));
        });
    });
}

void PrinterHub::filament(const QString& id, bool load, Reply reply)
{
    job(id, std::move(reply), [this, load](Printer& p, Reply done) {
        const RMDevice::State s = p.snap.status.state;
        if (s != RMDevice::Idle && s != RMDevice::Paused && s != RMDevice::OutOfFilament)
            return done({Result::Conflict,
                         QStringLiteral("filament is %1 while the printer is "
                                        "idle or paused; it says: %2")
                             .arg(load ? QStringLiteral("loaded") : QStringLiteral("unloaded"),
                                  p.snap.status.statusLine)});
        const QString printerId = p.snap.id;
        auto after = [this, printerId, done](const Outcome& o) {
            if (Printer* q = find(printerId); q && q->snap.attached)
                adapter->poll(q->snap.status.port);
            done(o.ok ? Result::ok() : failed(o));
        };
        if (load)
            adapter->loadFilament(p.snap.status.port, after);
        else
            adapter->unloadFilament(p.snap.status.port, after);
    });
}

void PrinterHub::gcode(const QString& id, const QStringList& lines, Reply reply)
{
    job(id, std::move(reply), [this, lines](Printer& p, Reply done) {
        auto batch = std::make_shared<GcodeBatch>();
        batch->lines = lines;
        batch->port = p.snap.status.port;
        batch->done = std::move(done);
        gcodeNext(batch);
    });
}

void PrinterHub::gcodeNext(const std::shared_ptr<GcodeBatch>& batch)
{
    // One line after the other; the first refusal ends the batch.
    if (batch->lines.isEmpty())
        return batch->done(Result::ok());
    const QString line = batch->lines.takeFirst();
    adapter->sendGCode(batch->port, line, [this, batch](const Outcome& o) {
        if (!o.ok)
            return batch->done(failed(o));
        gcodeNext(batch);
    });
}

} // namespace zelkd
