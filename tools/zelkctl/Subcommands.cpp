#include "Subcommand.h"

#include <iterator>

namespace zelkctl {
namespace {

const Subcommand table[] = {
    {"optimize", "INPUT OUTPUT", "rewrite a G-code file with fewer moves",
     "Rewrites the G-code file INPUT into OUTPUT so that it prints the same object\n"
     "with fewer moves: runs of straight moves of one kind (extruding, retracting,\n"
     "travel) become one move. Everything that is not a move is copied in its place.\n"
     "\n"
     "OUTPUT appears only when it is complete: it is written to a temporary file\n"
     "in its directory and renamed. A summary line goes to standard error.\n"
     "\n"
     "Exit status: 0 done, 2 usage error, 4 INPUT unreadable or OUTPUT unwritable.\n",
     2, 2, runOptimize},
};

} // namespace

const Subcommand* subcommandsBegin()
{
    return std::begin(table);
}

const Subcommand* subcommandsEnd()
{
    return std::end(table);
}

const Subcommand* findSubcommand(const QString& name)
{
    for (const Subcommand& s : table)
        if (name == QLatin1String(s.name))
            return &s;
    return nullptr;
}

} // namespace zelkctl
