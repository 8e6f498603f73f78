#pragma once

#include "FileStore.h"
#include "History.h"
#include "PrinterHub.h"

#include <QJsonObject>

#include <optional>

namespace zelkd {

// The printer-host API's view of a printer: its state text and the eight
// flags slicers read, from the device layer's state and zelkd's job.
struct OctoState
{
    const char* text;
    bool operational, printing, paused, pausing, cancelling, error, ready, closedOrError;
    bool waitingForButton;
};

OctoState octoState(const PrinterSnapshot& printer);

// {"text", "flags", "error", "waitingForButton", "zelk"}: /api/printer's state.
QJsonObject stateJson(const PrinterSnapshot& printer);
// {"tool0": {"actual", "target", "offset"}}
QJsonObject temperatureJson(const PrinterSnapshot& printer);
// How long the print still needs, for /api/job and the page alike: the
// printer's own estimator once it has one ("estimate"), until then the file's
// analysis less the share printed ("analysis", as printer hosts name it);
// none while no print runs.
struct TimeLeft
{
    std::optional<double> seconds;
    const char* origin = nullptr;
};
TimeLeft timeLeft(const PrinterSnapshot& printer);
// /api/job's body; `file` is what the store knows of the job's file.
QJsonObject jobJson(const PrinterSnapshot& printer, const std::optional<StoredFile>& file);
// The name of the file /api/job reports: the job's, else the selected one.
QString jobFileName(const PrinterSnapshot& printer);
// A file as the file list shows it; `base` is "http://host:port/api".
QJsonObject fileJson(const StoredFile& file, const PrintStats& stats, const QString& base);
// What the push stream and the page show of a printer.
QJsonObject printerJson(const PrinterSnapshot& printer);

} // namespace zelkd
