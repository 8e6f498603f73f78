#pragma once

#include "DeviceAdapter.h"
#include "FileStore.h"

#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace zelkd {

class EventBus;
class History;

// A job that zelkd started on a printer.
struct Job
{
    enum Phase {
        None,      // no job of ours
        Sending,   // the file goes to the printer over USB
        Sent,      // sent whole; the printer has not yet said whether it took it
        Queued,    // the printer took it and waits for its button
        Printing,  // the button was pressed: calibrating, heating, printing
        Finished,  // printed to the end
        Failed,    // see reason
        Cancelled, // see reason
    };
    Phase phase = None;
    QString file;
    qint64 size = 0;
    QString hash;
    // The file's figures from its analysis, which may come after the job
    // starts (PrinterHub::fileAnalysed()): the hot end's target, the print
    // time (s) and the net filament (mm); 0 or none until then.
    double targetCelsius = 0;
    std::optional<double> estimatedSeconds;
    std::optional<double> filamentMm;
    int sendPercent = 0;
    int highestProgress = 0;
    bool cancelRequested = false;
    bool receivedSeen = false; // the printer reported receiving the file
    QString reason;            // of a failure or a cancellation
    qint64 printStartedMs = 0; // when the button was pressed (epoch ms)
    qint64 printEndedMs = 0;
    qint64 historyId = 0;
    qint64 sentAtMs = 0;

    bool isActive() const { return phase >= Sending && phase <= Printing; }
};

// One printer as zelkd knows it: attached, or seen earlier in this run.
struct PrinterSnapshot
{
    QString id; // the serial number; "BUS:ADDRESS" until the printer said it
    QString serial;
    QString address; // "BUS:ADDRESS"; of its last attachment when gone
    bool attached = false;
    DeviceStatus status;
    QString selected; // the file a "select" picked (OctoPrint's selection)
    Job job;
};

struct TemperatureSample
{
    qint64 timeMs = 0;
    double actual = 0;
    double target = 0;
};

struct LogLine
{
    qint64 timeMs = 0;
    QString printer;
    QString text;
};

// Why a command to a printer did not happen, as HTTP answers will say it.
struct Result
{
    enum Code { Ok, NoPrinter, Conflict, Failed, Timeout };
    Code code = Ok;
    QString message;
    static Result ok() { return {Ok, QString()}; }
};

// The printers as zelkd serves them, on the main thread. It polls each
// printer, follows the jobs it started to their end, keeps 30 minutes of
// temperatures and today's printer log, records the history, and is the one
// place where printer state changes and events are produced: every change
// is published on the event bus, which the push stream (and later a broker
// connection) consume.
//
// Thread-safe readers (snapshots, temperatures, log) serve HTTP threads from
// copies; everything else runs on the main thread. HTTP threads hand
// commands over with post().
class PrinterHub : public QObject
{
    Q_OBJECT

public:
    using Reply = std::function<void(const Result&)>;

    PrinterHub(DeviceAdapter* adapter, FileStore* files, History* history, EventBus* bus,
               int pollIntervalMs, QObject* parent = nullptr);
    ~PrinterHub() override;

    void start();

    // --- any thread
    QVector<PrinterSnapshot> snapshots() const;
    QVector<TemperatureSample> temperatures(const QString& printerId) const;
    QVector<LogLine> todaysLog() const;
    // Runs `work` on the main thread.
    void post(std::function<void()> work);

    // --- main thread. `id` is a serial number or BUS:ADDRESS; every reply
    // comes exactly once (commands that wait for a printer time out).
    void print(const QString& id, const StoredFile& file, Reply reply);
    void select(const QString& id, const QString& file, Reply reply);
    void startSelected(const QString& id, Reply reply);
    void cancel(const QString& id, Reply reply);
    // action: "pause", "resume" or "toggle"
    void pause(const QString& id, const QString& action, Reply reply);
    void filament(const QString& id, bool load, Reply reply);
    void gcode(const QString& id, const QStringList& lines, Reply reply);
    // The analysis of a stored file is done: the jobs printing that content
    // take its figures.
    void fileAnalysed(const StoredFile& file);

signals:
    void printerAttached(const QString& id);

private:
    struct Printer
    {
        PrinterSnapshot snap;
        QByteArray lastPublished; // the printer event's JSON last sent
    };

    void attached(TrelDeviceAddress port);
    void detached(TrelDeviceAddress port);
    void statusReceived(TrelDeviceAddress port);
    void text(TrelDeviceAddress port, const QByteArray& text);
    void pollAll();
    void dayChange();

    Printer* find(const QString& id);
    Printer* atPort(TrelDeviceAddress port);
    void followJob(Printer& p, const DeviceStatus& before);
    void endJob(Printer& p, Job::Phase phase, const QString& reason);
    void changed(Printer& p); // copies to the snapshots and publishes
    void event(const Printer& p, const char* name, const QString& detail = QString());
    // A reply that answers once, and answers Timeout after `ms` if nothing
    // else did by then.
    Reply once(Reply reply, int ms = CommandTimeoutMs);
    void job(const QString& id, Reply reply, const std::function<void(Printer&, Reply)>& work);
    struct GcodeBatch
    {
        QStringList lines;
        TrelDeviceAddress port = NO_PRINTER;
        Reply done;
    };
    void gcodeNext(const std::shared_ptr<GcodeBatch>& batch);

    static constexpr int CommandTimeoutMs = 20000;

    DeviceAdapter* const adapter;
    FileStore* const files;
    History* const history;
    EventBus* const bus;
    const int pollIntervalMs;
    QTimer pollTimer;
    QTimer midnight;
    QVector<Printer> printers; // main thread

    mutable QMutex mutex; // guards the copies below
    QVector<PrinterSnapshot> snapshotCopy;
    QHash<QString, std::deque<TemperatureSample>> temperatureCopy;
    std::deque<LogLine> log;
    qint64 logBytes = 0;
};

} // namespace zelkd
