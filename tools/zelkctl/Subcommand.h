#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

class RMOptimizeTask;

namespace zelkctl {

// Exit status of every subcommand.
enum ExitCode {
    Success = 0,
    PrinterFailure = 1, // the printer refused or failed the request
    UsageError = 2,     // unknown subcommand, option or argument count
    NoPrinter = 3,      // no printer attached, or not the one asked for
    FileError = 4,      // a local file could not be read or written
    // A wait ended by SIGINT, SIGTERM or SIGHUP: 128 + the signal's number, as a
    // shell reports a command that the signal ended.
    Interrupted = 128,
};

// What main() made of the command line for one subcommand.
struct Invocation
{
    QString command;                // "print", "dfu flash"
    QStringList arguments;          // positional, after the options are taken out
    QSet<QString> flags;            // "--wait"
    QHash<QString, QString> values; // "--printer" -> "1:5"

    bool has(const char* flag) const { return flags.contains(QLatin1String(flag)); }
    QString value(const char* option) const { return values.value(QLatin1String(option)); }
    // "zelkctl print: TEXT" on standard error.
    void tell(const QString& text) const;
    // tell(), then returns `code`.
    int fail(int code, const QString& text) const
    {
        tell(text);
        return code;
    }
};

// One row of the subcommand table. New subcommands add a row in
// Subcommands.cpp and a run function; main() does the dispatch, the option
// and argument count checks and --help.
struct Subcommand
{
    const char* name;        // "optimize"; a group's member as "dfu flash", "wifi config show"
    const char* synopsis;    // after the name in the usage line
    const char* arguments;   // the positional part, for "NAME takes ARGUMENTS"
    const char* summary;     // one line for the subcommand list
    const char* description; // the body of `zelkctl NAME --help`
    int minArguments;
    int maxArguments;
    // Options it takes, space-separated; a trailing '=' marks one with a
    // value ("--printer= --json").
    const char* options;
    int (*run)(const Invocation& invocation);
};

const Subcommand* findSubcommand(const QString& name);
// True when `name` is the first word(s) of longer subcommands ("dfu",
// "wifi", "wifi config").
bool isGroup(const QString& name);
const Subcommand* subcommandsBegin();
const Subcommand* subcommandsEnd();

int runOptimize(const Invocation& invocation);
int runInfo(const Invocation& invocation);
// "1 h 6 min 40 s", "38 min 43 s", "12 s".
QString formatDuration(double seconds);
// The optimizer's one-line summary: bytes and moves in and out, time, rate.
QString optimizeSummary(const RMOptimizeTask& task, qint64 nanoseconds);
// dfu-util, next to zelkctl as next to the desktop program.
QString dfuUtilPath();
int runList(const Invocation& invocation);
int runStatus(const Invocation& invocation);
int runPrint(const Invocation& invocation);
int runPause(const Invocation& invocation);
int runAbort(const Invocation& invocation);
int runLoad(const Invocation& invocation);
int runUnload(const Invocation& invocation);
int runVersion(const Invocation& invocation);
int runSerial(const Invocation& invocation);
int runDfuList(const Invocation& invocation);
int runDfuFlash(const Invocation& invocation);
int runGcode(const Invocation& invocation);
int runWifiStatus(const Invocation& invocation);
int runWifiScan(const Invocation& invocation);
int runWifiConnect(const Invocation& invocation);
int runWifiDisconnect(const Invocation& invocation);
int runWifiConfigShow(const Invocation& invocation);
int runWifiConfigSet(const Invocation& invocation);
int runHeadRaise(const Invocation& invocation);
int runHeadShip(const Invocation& invocation);
int runLogs(const Invocation& invocation);
int runHistory(const Invocation& invocation);
int runFarm(const Invocation& invocation);
int runFarmCommand(const Invocation& invocation);

} // namespace zelkctl
