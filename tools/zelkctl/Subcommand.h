#pragma once

#include <QStringList>

namespace zelkctl {

// Exit status of every subcommand.
enum ExitCode {
    Success = 0,
    PrinterFailure = 1, // the printer refused or failed the request
    UsageError = 2,     // unknown subcommand, option or argument count
    NoPrinter = 3,      // no printer attached, or not the one asked for
    FileError = 4,      // a local file could not be read or written
};

// One row of the subcommand table. New subcommands add a row in
// Subcommands.cpp and a run function; main() does the dispatch, the argument
// count check and --help.
struct Subcommand
{
    const char* name;
    const char* arguments;   // synopsis after the name, e.g. "INPUT OUTPUT"
    const char* summary;     // one line for the subcommand list
    const char* description; // the body of `zelkctl NAME --help`
    int minArguments;
    int maxArguments;
    int (*run)(const QStringList& arguments);
};

const Subcommand* findSubcommand(const QString& name);
const Subcommand* subcommandsBegin();
const Subcommand* subcommandsEnd();

int runOptimize(const QStringList& arguments);

} // namespace zelkctl
