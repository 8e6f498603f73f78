// zelkctl: the Zelk printer tool from the command line, built on the same
// libraries as the desktop program (no GUI).
//
//   zelkctl [--help] SUBCOMMAND [--help] [ARGUMENTS...]
#include "Subcommand.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

using namespace zelkctl;

namespace {

void printLine(FILE* to, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
}

void printUsage(FILE* to)
{
    printLine(to, QStringLiteral("usage: zelkctl SUBCOMMAND [ARGUMENTS...]\n"
                                 "       zelkctl SUBCOMMAND --help\n"
                                 "\n"
                                 "Subcommands:"));
    for (const Subcommand* s = subcommandsBegin(); s != subcommandsEnd(); ++s)
        printLine(to, QStringLiteral("  %1 %2\n      %3")
                          .arg(QLatin1String(s->name), QLatin1String(s->arguments),
                               QLatin1String(s->summary)));
    printLine(to, QStringLiteral("\nExit status: 0 success, 1 printer-side failure, 2 usage "
                                 "error,\n3 no printer, 4 local file error."));
}

void printHelp(const Subcommand& s)
{
    printLine(stdout, QStringLiteral("usage: zelkctl %1 %2\n")
                          .arg(QLatin1String(s.name), QLatin1String(s.arguments)));
    std::fputs(s.description, stdout);
}

bool isHelp(const QString& a)
{
    return a == QLatin1String("--help") || a == QLatin1String("-h");
}

int usageError(const QString& text, const Subcommand* s = nullptr)
{
    printLine(stderr, QStringLiteral("zelkctl: %1").arg(text));
    if (s)
        printLine(stderr, QStringLiteral("usage: zelkctl %1 %2 (see zelkctl %1 --help)")
                              .arg(QLatin1String(s->name), QLatin1String(s->arguments)));
    else
        printLine(stderr, QStringLiteral("Try zelkctl --help."));
    return UsageError;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelkctl"));
    // The libraries' debug messages (the optimizer's timing) stay quiet unless
    // QT_LOGGING_RULES asks for them: a subcommand prints its own summary.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    QStringList args = QCoreApplication::arguments().mid(1);

    if (args.isEmpty()) {
        printUsage(stderr);
        return UsageError;
    }
    const QString name = args.takeFirst();
    if (isHelp(name) || name == QLatin1String("help")) {
        if (args.isEmpty()) {
            printUsage(stdout);
            return Success;
        }
        const Subcommand* s = findSubcommand(args.first());
        if (!s)
            return usageError(QStringLiteral("unknown subcommand '%1'").arg(args.first()));
        printHelp(*s);
        return Success;
    }
    const Subcommand* s = findSubcommand(name);
    if (!s)
        return usageError(QStringLiteral("unknown subcommand '%1'").arg(name));

    // Options come before "--"; after it everything is an argument, so that a
    // file named "-x" can still be given.
    QStringList positional;
    bool optionsEnded = false;
    for (const QString& a : qAsConst(args)) {
        if (!optionsEnded && a == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && isHelp(a)) {
            printHelp(*s);
            return Success;
        } else if (!optionsEnded && a.size() > 1 && a.startsWith(QLatin1Char('-'))) {
            return usageError(QStringLiteral("unknown option '%1'").arg(a), s);
        } else {
            positional.append(a);
        }
    }
    if (positional.size() < s->minArguments || positional.size() > s->maxArguments)
        return usageError(
            QStringLiteral("%1 takes %2").arg(QLatin1String(s->name), QLatin1String(s->arguments)),
            s);
    return s->run(positional);
}
