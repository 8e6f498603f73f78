// zelkctl: the Zelk printer tool from the command line, built on the same
// libraries as the desktop program (no GUI).
//
//   zelkctl [--help] SUBCOMMAND [--help] [OPTIONS] [ARGUMENTS...]
#include "Console.h"
#include "Subcommand.h"
#include "ViaZelkd.h"

#include <LogCategories.h>

#include <QCoreApplication>
#include <QLocale>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTranslator>

#include <cstdio>
#include <iostream>

using namespace zelkctl;

namespace {

// The desktop program's application name: the per-user data location, and
// with it the log folder that `logs` reads and the printer commands append
// to, is named after it.
const QString DesktopApplicationName = QStringLiteral("Zelk printer tool");

// "zelkctl NAME SYNOPSIS".
QString commandLine(const Subcommand& s)
{
    return QStringLiteral("zelkctl %1 %2")
        .arg(QLatin1String(s.name), QString::fromUtf8(s.synopsis))
        .trimmed();
}

// The layout GNU tools use, which help2man turns into the manual page: a
// "Usage:" line, then each subcommand with its summary in a column of its own
// (on the next line when the synopsis reaches into it).
void printUsage(FILE* to)
{
    constexpr int SummaryColumn = 24;
    print(to, QStringLiteral("Usage: zelkctl SUBCOMMAND [OPTIONS] [ARGUMENTS...]\n"
                             "  or:  zelkctl SUBCOMMAND --help\n"
                             "  or:  zelkctl --version\n"
                             "\n"
                             "Subcommands:"));
    for (const Subcommand* s = subcommandsBegin(); s != subcommandsEnd(); ++s) {
        const QString synopsis = QStringLiteral("  ") + commandLine(*s).mid(8);
        const QString gap = synopsis.size() + 2 <= SummaryColumn
                                ? QString(SummaryColumn - synopsis.size(), QLatin1Char(' '))
                                : QLatin1Char('\n') + QString(SummaryColumn, QLatin1Char(' '));
        print(to, synopsis + gap + QString::fromUtf8(s->summary));
    }
    print(to, QStringLiteral(
                  "\n"
                  "Printers are found on USB; --printer BUS:ADDRESS picks one when several\n"
                  "are attached. A printer talks to one program at a time: while the desktop\n"
                  "program (or another zelkctl) holds it, the printer commands end with 3.\n"
                  "\n"
                  "While zelkd serves the printers on this machine, the printer commands go\n"
                  "through it (found by its settings, or at ZELKD_URL with ZELKD_API_KEY).\n"
                  "\n"
                  "Exit status: 0 success, 1 printer-side failure, 2 usage error, 3 no\n"
                  "printer, 4 local file error, 128+N interrupted by signal N."));
}

void printGroupUsage(FILE* to, const QString& group)
{
    print(to, QStringLiteral("usage:"));
    for (const Subcommand* s = subcommandsBegin(); s != subcommandsEnd(); ++s)
        if (QLatin1String(s->name).startsWith(group + QLatin1Char(' ')))
            print(to, QStringLiteral("  %1\n      %2")
                          .arg(commandLine(*s), QString::fromUtf8(s->summary)));
}

void printHelp(const Subcommand& s)
{
    print(stdout, QStringLiteral("usage: %1\n").arg(commandLine(s)));
    std::fputs(s.description, stdout);
}

bool isHelp(const QString& a)
{
    return a == QLatin1String("--help") || a == QLatin1String("-h");
}

int usageError(const QString& text, const Subcommand* s = nullptr)
{
    print(stderr, QStringLiteral("zelkctl: %1").arg(text));
    if (s)
        print(stderr, QStringLiteral("usage: %1 (see zelkctl %2 --help)")
                          .arg(commandLine(*s), QLatin1String(s->name)));
    else
        print(stderr, QStringLiteral("Try zelkctl --help."));
    return UsageError;
}

// The options a subcommand takes: name -> whether it has a value.
QHash<QString, bool> optionsOf(const Subcommand& s)
{
    QHash<QString, bool> options;
    for (const QString& o :
         QString::fromLatin1(s.options).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (o.endsWith(QLatin1Char('=')))
            options.insert(o.chopped(1), true);
        else
            options.insert(o, false);
    }
    return options;
}

QtMessageHandler g_qtHandler = nullptr;

// The console's share of the libraries' messages. The device layer's
// warnings restate what a command says in its own words (a printer error, a
// failed upload): they go to the program's log only.
void consoleHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QLatin1String category(context.category ? context.category : "default");
    if (type == QtWarningMsg && (category == QLatin1String(Device().categoryName()) ||
                                 category == QLatin1String(DeviceRegistry().categoryName())))
        return;
    g_qtHandler(type, context, message);
}

bool validPrinter(const QString& value)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,3}):([0-9]{1,3})$"));
    const QRegularExpressionMatch m = form.match(value);
    // USB numbers buses from 1 and gives devices addresses 1 to 127.
    if (!m.hasMatch())
        return false;
    const int bus = m.captured(1).toInt(), address = m.captured(2).toInt();
    return bus >= 1 && bus <= 255 && address >= 1 && address <= 127;
}

} // namespace

int main(int argc, char** argv)
{
    // The link library writes its own diagnostics to standard output; here
    // that stream carries what a command reports (status lines, JSON), so
    // they go with the other messages.
    std::cout.rdbuf(std::cerr.rdbuf());

    g_qtHandler = qInstallMessageHandler(consoleHandler);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(DesktopApplicationName);
    // The libraries' debug messages (the optimizer's timing, every status)
    // stay quiet unless QT_LOGGING_RULES asks for them: a subcommand prints
    // its own summary. Info stays on: the printer's text is logged as info.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    // The status texts come translated like the window's ("1 minute left").
    QTranslator translator;
    if (translator.load(QLocale(QLocale::English, QLocale::AnyCountry), QStringLiteral("rmapp"),
                        QStringLiteral("."), QStringLiteral(":/translations"),
                        QStringLiteral(".qm")))
        QCoreApplication::installTranslator(&translator);

    QStringList args = QCoreApplication::arguments().mid(1);

    // --printer may also come before the subcommand.
    QString printer;
    bool printerGiven = false;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--printer"))) {
        const QString a = args.takeFirst();
        if (a == QLatin1String("--printer")) {
            if (args.isEmpty())
                return usageError(QStringLiteral("--printer needs BUS:ADDRESS"));
            printer = args.takeFirst();
        } else if (a.startsWith(QLatin1String("--printer="))) {
            printer = a.mid(10);
        } else {
            return usageError(QStringLiteral("unknown option '%1'").arg(a));
        }
        printerGiven = true;
    }

    if (args.isEmpty()) {
        printUsage(stderr);
        return UsageError;
    }
    QString name = args.takeFirst();
    if (name == QLatin1String("--version")) {
        print(stdout, QStringLiteral("zelkctl %1").arg(QLatin1String(ZELK_VERSION)));
        return Success;
    }
    if (isHelp(name) || name == QLatin1String("help")) {
        if (args.isEmpty()) {
            printUsage(stdout);
            return Success;
        }
        QString topic = args.takeFirst();
        // Words are taken while they name a group's member ("wifi config
        // show"); "farm" is a group and a subcommand of its own.
        while (isGroup(topic)) {
            const bool member =
                !args.isEmpty() && (findSubcommand(topic + QLatin1Char(' ') + args.first()) ||
                                    isGroup(topic + QLatin1Char(' ') + args.first()));
            if (findSubcommand(topic) && !member)
                break;
            if (args.isEmpty()) {
                printGroupUsage(stdout, topic);
                return Success;
            }
            topic += QLatin1Char(' ') + args.takeFirst();
        }
        const Subcommand* s = findSubcommand(topic);
        if (!s)
            return usageError(QStringLiteral("unknown subcommand '%1'").arg(topic));
        printHelp(*s);
        return Success;
    }
    // "wifi config show": words are taken while they name a group's member;
    // "farm" is a group (farm pause...) and a subcommand of its own.
    while (isGroup(name)) {
        const QString member = args.isEmpty() ? QString() : name + QLatin1Char(' ') + args.first();
        const bool isMember = !args.isEmpty() && (findSubcommand(member) || isGroup(member));
        if (findSubcommand(name) && !isMember)
            break;
        if (args.isEmpty() || isHelp(args.first())) {
            printGroupUsage(args.isEmpty() ? stderr : stdout, name);
            return args.isEmpty() ? UsageError : Success;
        }
        if (!isMember)
            return usageError(QStringLiteral("unknown subcommand '%1'").arg(member));
        name = member;
        args.removeFirst();
    }
    const Subcommand* s = findSubcommand(name);
    if (!s)
        return usageError(QStringLiteral("unknown subcommand '%1'").arg(name));

    const QHash<QString, bool> options = optionsOf(*s);
    Invocation invocation;
    invocation.command = name;
    if (printerGiven) {
        if (!options.contains(QStringLiteral("--printer")))
            return usageError(QStringLiteral("%1 takes no --printer").arg(name), s);
        invocation.values.insert(QStringLiteral("--printer"), printer);
    }
    // Options come before "--"; after it everything is an argument, so that a
    // file named "-x" can still be given.
    bool optionsEnded = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (optionsEnded || a.size() < 2 || !a.startsWith(QLatin1Char('-'))) {
            invocation.arguments.append(a);
            continue;
        }
        if (a == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (isHelp(a)) {
            printHelp(*s);
            return Success;
        }
        const int equals = a.indexOf(QLatin1Char('='));
        const QString option = equals < 0 ? a : a.left(equals);
        if (!options.contains(option))
            return usageError(QStringLiteral("unknown option '%1'").arg(option), s);
        if (!options.value(option)) {
            if (equals >= 0)
                return usageError(QStringLiteral("%1 takes no value").arg(option), s);
            invocation.flags.insert(option);
        } else if (equals >= 0) {
            invocation.values.insert(option, a.mid(equals + 1));
        } else if (i + 1 < args.size()) {
            invocation.values.insert(option, args.at(++i));
        } else {
            return usageError(QStringLiteral("%1 needs a value").arg(option), s);
        }
    }
    if (invocation.values.contains(QStringLiteral("--printer")) &&
        !validPrinter(invocation.value("--printer")))
        return usageError(QStringLiteral("bad --printer '%1': want BUS:ADDRESS, e.g. 1:5")
                              .arg(invocation.value("--printer")),
                          s);
    const int count = invocation.arguments.size();
    if (count < s->minArguments || count > s->maxArguments) {
        const QString wanted =
            *s->arguments ? QString::fromUtf8(s->arguments) : QStringLiteral("no arguments");
        return usageError(QStringLiteral("%1 takes %2").arg(name, wanted), s);
    }
    // A running local zelkd holds the printers it serves: ask it instead.
    static const QStringList PrinterCommands = {
        QStringLiteral("list"),   QStringLiteral("status"),  QStringLiteral("print"),
        QStringLiteral("pause"),  QStringLiteral("abort"),   QStringLiteral("load"),
        QStringLiteral("unload"), QStringLiteral("version"), QStringLiteral("serial")};
    if (PrinterCommands.contains(name) && qEnvironmentVariableIsEmpty("ZELKCTL_NO_ZELKD")) {
        if (const std::optional<int> code = viaZelkd(invocation))
            return *code;
    }
    return s->run(invocation);
}
