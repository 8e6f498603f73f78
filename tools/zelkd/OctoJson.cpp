#include "OctoJson.h"

#include <QDateTime>
#include <QJsonArray>
#include <QMetaEnum>

#include <algorithm>
#include <cmath>

namespace zelkd {

namespace {

// The device layer's states as printer-host state texts and flags (the
// README's state table). Filament procedures and the job's own phases are
// decided in octoState() before this table is asked.
struct Row
{
    RMDevice::State state;
    OctoState octo;
};

constexpr bool Y = true, N = false;

// A print that resumes (the printer reheats first) reads "Printing", not the
// host's "Resuming": Cura's plugin knows no such job state and would show the
// printer offline meanwhile.
// clang-format off
// Flags in order: operational, printing, paused, pausing, cancelling, error,
// ready, closedOrError; last our waitingForButton.
const Row States[] = {
    {RMDevice::Unknown,          {"Connecting",  N, N, N, N, N, N, N, N, N}},
    {RMDevice::Disconnected,     {"Offline",     N, N, N, N, N, N, N, Y, N}},
    {RMDevice::PreInit,          {"Operational", Y, N, N, N, N, N, N, N, N}},
    {RMDevice::Initializing,     {"Operational", Y, N, N, N, N, N, N, N, N}},
    {RMDevice::Idle,             {"Operational", Y, N, N, N, N, N, Y, N, N}},
    {RMDevice::Pausing,          {"Pausing",     Y, Y, N, Y, N, N, N, N, N}},
    {RMDevice::Paused,           {"Paused",      Y, N, Y, N, N, N, N, N, N}},
    {RMDevice::Unpaused,         {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::FileRx,           {"Starting",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::JobQueued,        {"Starting",    Y, Y, N, N, N, N, N, N, Y}},
    {RMDevice::PreparingBuild,   {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::Building,         {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::LoadHeating,      {"Operational", Y, N, N, N, N, N, N, N, N}},
    {RMDevice::LoadExtruding,    {"Operational", Y, N, N, N, N, N, N, N, N}},
    {RMDevice::UnloadHeating,    {"Operational", Y, N, N, N, N, N, N, N, N}},
    {RMDevice::UnloadRetracting, {"Operational", Y, N, N, N, N, N, N, N, N}},
    {RMDevice::HomingInit,       {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::HomingHeating,    {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::HomingCooling,    {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::HomingXY,         {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::HomingZRough,     {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::HomingZFine,      {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::HomingComplete,   {"Printing",    Y, Y, N, N, N, N, N, N, N}},
    {RMDevice::OutOfFilament,    {"Paused",      Y, N, Y, N, N, N, N, N, N}},
};

// Decided before the table: zelkd's own upload, a cancel under way, a
// filament change within a print, a printer gone.
const OctoState Starting          = {"Starting",            Y, Y, N, N, N, N, N, N, N};
const OctoState Cancelling        = {"Cancelling",          Y, Y, N, N, Y, N, N, N, N};
const OctoState PausedForFilament = {"Paused",              Y, N, Y, N, N, N, N, N, N};
const OctoState Offline           = {"Offline",             N, N, N, N, N, N, N, Y, N};
const OctoState OfflineAfterError = {"Offline after error", N, N, N, N, N, Y, N, Y, N};
// clang-format on

template <typename Enum>
QString keyOf(Enum value)
{
    return QString::fromLatin1(QMetaEnum::fromType<Enum>().valueToKey(value));
}

QJsonValue orNull(qint64 value, bool known)
{
    return known ? QJsonValue(double(value)) : QJsonValue();
}

const char* phaseName(Job::Phase phase)
{
    switch (phase) {
    case Job::None:
        return "none";
    case Job::Sending:
        return "sending";
    case Job::Sent:
        return "sent";
    case Job::Queued:
        return "waiting-for-button";
    case Job::Printing:
        return "printing";
    case Job::Finished:
        return "finished";
    case Job::Failed:
        return "failed";
    case Job::Cancelled:
        return "cancelled";
    }
    return "none";
}

} // namespace

OctoState octoState(const PrinterSnapshot& p)
{
    const RMDevice::State s = p.status.state;
    if (!p.attached)
        return p.job.phase == Job::Failed ? OfflineAfterError : Offline;
    // Our own upload to the printer: the print is starting, whatever the
    // printer said before the file began to flow.
    if (p.job.phase == Job::Sending || p.job.phase == Job::Sent)
        return Starting;
    const bool printingState = s == RMDevice::Pausing || s == RMDevice::Unpaused ||
                               s == RMDevice::PreparingBuild || s == RMDevice::Building ||
                               (s >= RMDevice::HomingInit && s <= RMDevice::HomingComplete);
    if (p.job.cancelRequested && p.job.isActive() && (printingState || s == RMDevice::JobQueued))
        return Cancelling;
    // A filament change in the middle of a print: the print is paused.
    if (s >= RMDevice::LoadHeating && s <= RMDevice::UnloadRetracting &&
        p.job.phase == Job::Printing)
        return PausedForFilament;
    for (const Row& row : States)
        if (row.state == s)
            return row.octo;
    return Offline;
}

QJsonObject stateJson(const PrinterSnapshot& p)
{
    const OctoState o = octoState(p);
    QJsonObject flags{
        {QStringLiteral("operational"), o.operational},
        {QStringLiteral("paused"), o.paused},
        {QStringLiteral("printing"), o.printing},
        {QStringLiteral("pausing"), o.pausing},
        {QStringLiteral("cancelling"), o.cancelling},
        {QStringLiteral("error"), o.error},
        {QStringLiteral("ready"), o.ready},
        {QStringLiteral("closedOrError"), o.closedOrError},
        {QStringLiteral("sdReady"), false},
    };
    QString error;
    if (o.error)
        error = p.job.reason;
    else if (p.attached && p.status.error != RMDevice::NoError)
        error = keyOf(p.status.error);
    return QJsonObject{
        {QStringLiteral("text"), QLatin1String(o.text)},
        {QStringLiteral("flags"), flags},
        {QStringLiteral("error"), error},
        // Ours: the printer holds a job and waits for its button.
        {QStringLiteral("waitingForButton"), o.waitingForButton},
        {QStringLiteral("zelk"),
         QJsonObject{
             {QStringLiteral("state"),
              p.attached ? keyOf(p.status.state) : QStringLiteral("Disconnected")},
             {QStringLiteral("statusLine"),
              p.attached ? p.status.statusLine : QStringLiteral("Disconnected")},
             {QStringLiteral("error"), keyOf(p.status.error)},
         }},
    };
}

QJsonObject temperatureJson(const PrinterSnapshot& p)
{
    // The file's hot-end temperature while our job prints; else 0, as a
    // heater without a target reads.
    const bool ours = p.job.phase == Job::Printing;
    return QJsonObject{{QStringLiteral("tool0"),
                        QJsonObject{{QStringLiteral("actual"), p.status.temperature},
                                    {QStringLiteral("target"), ours ? p.job.targetCelsius : 0.0},
                                    {QStringLiteral("offset"), 0}}}};
}

namespace {

// A print runs: ours, or one the printer runs without us.
bool isPrinting(const PrinterSnapshot& p)
{
    return p.job.phase == Job::Printing ||
           (p.job.phase == Job::None && p.attached && octoState(p).printing);
}

} // namespace

TimeLeft timeLeft(const PrinterSnapshot& p)
{
    if (!isPrinting(p))
        return {};
    if (p.status.timeRemainingMs >= 1)
        return {double(p.status.timeRemainingMs / 1000), "estimate"};
    if (p.job.phase == Job::Printing && p.job.estimatedSeconds) {
        const int progress = std::clamp(p.status.progress, 0, 100);
        return {std::round(*p.job.estimatedSeconds * (100 - progress) / 100), "analysis"};
    }
    return {};
}

QString jobFileName(const PrinterSnapshot& p)
{
    return p.job.phase != Job::None ? p.job.file : p.selected;
}

QJsonObject jobJson(const PrinterSnapshot& p, const std::optional<StoredFile>& file)
{
    const QString name = jobFileName(p);
    const bool known = !name.isEmpty();
    QJsonObject fileObject{
        {QStringLiteral("name"), known ? QJsonValue(name) : QJsonValue()},
        {QStringLiteral("path"), known ? QJsonValue(name) : QJsonValue()},
        {QStringLiteral("display"), known ? QJsonValue(name) : QJsonValue()},
        {QStringLiteral("origin"), known ? QJsonValue(QStringLiteral("local")) : QJsonValue()},
        {QStringLiteral("size"), orNull(file ? file->size : 0, known && file.has_value())},
        {QStringLiteral("date"),
         orNull(file ? file->date.toSecsSinceEpoch() : 0, known && file.has_value())},
    };
    const QJsonObject analysis = file ? file->analysis : QJsonObject();

    const Job& j = p.job;
    const bool printing = isPrinting(p);
    QJsonValue completion, printTime;
    if (j.phase == Job::Sending || j.phase == Job::Sent)
        completion = double(j.sendPercent); // the file streaming to the printer
    else if (j.phase == Job::Queued)
        completion = 0.0;
    else if (printing || j.phase == Job::Finished)
        completion = double(j.phase == Job::Finished ? 100 : p.status.progress);
    if (j.printStartedMs > 0) {
        const qint64 end =
            j.printEndedMs > 0 ? j.printEndedMs : QDateTime::currentMSecsSinceEpoch();
        printTime = double((end - j.printStartedMs) / 1000);
    }
    const TimeLeft left = timeLeft(p);

    QJsonObject body{
        {QStringLiteral("job"),
         QJsonObject{
             {QStringLiteral("file"), fileObject},
             {QStringLiteral("estimatedPrintTime"),
              analysis.contains(QStringLiteral("estimatedPrintTime"))
                  ? analysis.value(QStringLiteral("estimatedPrintTime"))
                  : QJsonValue()},
             {QStringLiteral("lastPrintTime"), QJsonValue()},
             {QStringLiteral("filament"), analysis.contains(QStringLiteral("filament"))
                                              ? analysis.value(QStringLiteral("filament"))
                                              : QJsonValue()},
             {QStringLiteral("user"),
              j.phase != Job::None ? QJsonValue(QStringLiteral("zelkd")) : QJsonValue()},
         }},
        {QStringLiteral("progress"),
         QJsonObject{
             {QStringLiteral("completion"), completion},
             {QStringLiteral("filepos"), QJsonValue()},
             {QStringLiteral("printTime"), printTime},
             {QStringLiteral("printTimeLeft"),
              left.seconds ? QJsonValue(*left.seconds) : QJsonValue()},
             {QStringLiteral("printTimeLeftOrigin"),
              left.origin ? QJsonValue(QLatin1String(left.origin)) : QJsonValue()},
         }},
        {QStringLiteral("state"), QLatin1String(octoState(p).text)},
        {QStringLiteral("error"), j.phase == Job::Failed ? j.reason : QString()},
        {QStringLiteral("zelk"),
         QJsonObject{
             {QStringLiteral("phase"), QLatin1String(phaseName(j.phase))},
             {QStringLiteral("reason"), j.reason},
             {QStringLiteral("waitingForButton"), octoState(p).waitingForButton},
         }},
    };
    return body;
}

QJsonObject fileJson(const StoredFile& f, const PrintStats& stats, const QString& base)
{
    const QString resource =
        base + QStringLiteral("/files/local/") + QString::fromUtf8(QUrl::toPercentEncoding(f.name));
    QJsonObject prints{{QStringLiteral("success"), stats.success},
                       {QStringLiteral("failure"), stats.failure}};
    if (stats.last)
        prints.insert(
            QStringLiteral("last"),
            QJsonObject{
                {QStringLiteral("date"),
                 double(stats.last->ended.isValid() ? stats.last->ended.toSecsSinceEpoch()
                                                    : stats.last->started.toSecsSinceEpoch())},
                {QStringLiteral("success"), stats.last->outcome == QLatin1String("success")}});
    return QJsonObject{
        {QStringLiteral("name"), f.name},
        {QStringLiteral("display"), f.name},
        {QStringLiteral("path"), f.name},
        {QStringLiteral("type"), QStringLiteral("machinecode")},
        {QStringLiteral("typePath"),
         QJsonArray{QStringLiteral("machinecode"), QStringLiteral("gcode")}},
        {QStringLiteral("origin"), QStringLiteral("local")},
        {QStringLiteral("size"), double(f.size)},
        {QStringLiteral("date"), double(f.date.toSecsSinceEpoch())},
        {QStringLiteral("hash"), f.hash},
        {QStringLiteral("refs"), QJsonObject{{QStringLiteral("resource"), resource}}},
        {QStringLiteral("gcodeAnalysis"),
         f.analysis.isEmpty() ? QJsonValue() : QJsonValue(f.analysis)},
        {QStringLiteral("prints"), prints},
    };
}

QJsonObject printerJson(const PrinterSnapshot& p)
{
    const TimeLeft left = timeLeft(p);
    return QJsonObject{
        {QStringLiteral("printer"), p.id},
        {QStringLiteral("serial"), p.serial},
        {QStringLiteral("address"), p.address},
        {QStringLiteral("attached"), p.attached},
        {QStringLiteral("model"), p.status.model},
        {QStringLiteral("firmware"), p.status.firmware},
        {QStringLiteral("state"), stateJson(p)},
        {QStringLiteral("temperature"), temperatureJson(p)},
        {QStringLiteral("progress"), p.status.progress},
        {QStringLiteral("minutesLeft"),
         left.seconds ? QJsonValue(int(*left.seconds / 60)) : QJsonValue()},
        {QStringLiteral("job"), jobJson(p, std::nullopt)},
    };
}

} // namespace zelkd
