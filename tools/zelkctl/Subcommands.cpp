#include "Subcommand.h"

#include "Console.h"

#include <iterator>

namespace zelkctl {
namespace {

#define PRINTER_OPTION                                                                             \
    "  --printer BUS:ADDRESS  the printer to use when several are attached\n"                      \
    "                         (see zelkctl list)\n"

#define PRINTER_EXIT                                                                               \
    "Exit status: 0 done, 1 the printer refused or failed, 2 usage error, 3 no\n"                  \
    "printer (or not the one asked for, or one that another program holds).\n"

// A failed exchange is told by its name (TREL_ERROR_TIMEOUT: no answer in
// time, TREL_ERROR_NO_DEVICE: the printer went away, ...).
#define FAILURE_EXIT                                                                               \
    "Exit status: 0 done, 1 the printer refused, or the exchange failed (the\n"                    \
    "message names how), 2 usage error, 3 no printer (or not the one asked for, or\n"              \
    "one that another program holds)"

#define FARM_BROKER                                                                                \
    "  --broker URL  mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS); default: the\n"              \
    "                account file's, else the local zelkd's broker\n"

#define FARM_ACCOUNT                                                                               \
    "The account comes from a file, $XDG_CONFIG_HOME/zelkctl/farm.conf (or the\n"                  \
    "file ZELK_FARM_CONFIG names), with the keys broker, user, password, ca_file\n"                \
    "and topic_prefix, or from the environment: ZELK_FARM_BROKER, ZELK_FARM_USER,\n"               \
    "ZELK_FARM_PASSWORD, ZELK_FARM_CA; never from the command line.\n"

#define FARM_EXIT                                                                                  \
    "Exit status: 0 done, 1 refused (by the host, with its reason, or by the\n"                    \
    "broker: an account without the right), 2 usage error, 3 the broker cannot be\n"               \
    "reached, or no such printer online.\n"

const Subcommand table[] = {
    {"list", "[--json]", "", "the attached printers and what they do",
     "Lists the attached printers: address (BUS:ADDRESS), mode, model, firmware\n"
     "version and state, the state as the desktop program's status line says it.\n"
     "A printer in firmware-update mode is listed by its serial number; one that\n"
     "another program holds cannot be asked and is listed as in use.\n"
     "\n"
     "  --json  one JSON object per printer, as a JSON array\n"
     "\n" PRINTER_EXIT,
     0, 0, "--json", runList},
    {"status", "[--printer BUS:ADDRESS] [--json] [--watch]", "",
     "the printer's status line, once or as it changes",
     "Prints the printer's status line as the desktop program shows it, e.g.\n"
     "\"Printing at 210°C (12% - 7 minutes left)\".\n"
     "\n" PRINTER_OPTION "  --json    a JSON object: printer, state, text, temperature, progress,\n"
     "            minutes_left (null without an estimate), model, firmware, error\n"
     "  --watch   follow the printer until interrupted (Ctrl-C), one line (or\n"
     "            object) per change; the remaining minutes appear once a print\n"
     "            has made progress while watched. An unplugged printer reads\n"
     "            \"Disconnected\" until it returns.\n"
     "\n" PRINTER_EXIT,
     0, 0, "--printer= --json --watch", runStatus},
    {"print", "[--printer BUS:ADDRESS] [--optimize] [--wait] FILE", "FILE",
     "send a G-code file to the printer and follow the print",
     "Sends the G-code file FILE to the printer as a print job, with a progress\n"
     "bar on a terminal (a line every 10% otherwise), and waits until the printer\n"
     "has taken the file. The print starts when the printer's button is pressed.\n"
     "The printer must be idle.\n"
     "\n" PRINTER_OPTION "  --optimize  send the file through the G-code optimizer first (as the\n"
     "              desktop program's Optimize box does); FILE is left as it is\n"
     "  --wait      follow the print to its end: state, temperature, progress and\n"
     "              minutes left, one line per change; until the printer's progress\n"
     "              gives an estimate, the minutes come from the file (zelkctl info).\n"
     "              Interrupting (Ctrl-C) stops following; the print goes on\n"
     "              (zelkctl abort ends it).\n"
     "\n"
     "Exit status: 0 the file was taken (with --wait: the print finished), 1 the\n"
     "upload or the print failed or was aborted, 2 usage error, 3 no printer,\n"
     "4 FILE unreadable, 128+N interrupted by signal N.\n",
     1, 1, "--printer= --optimize --wait", runPrint},
    {"pause", "[--printer BUS:ADDRESS]", "", "pause the print, or resume a paused one",
     "Pauses the running print; on a paused print, resumes it. Waits until the\n"
     "printer has begun to do so and prints its new status line.\n"
     "\n" PRINTER_OPTION "\n" PRINTER_EXIT,
     0, 0, "--printer=", runPause},
    {"abort", "[--printer BUS:ADDRESS]", "", "end the print (or a filament procedure)",
     "Ends the print, queued or running, or a filament procedure, and waits until\n"
     "the printer is idle.\n"
     "\n" PRINTER_OPTION "\n" PRINTER_EXIT,
     0, 0, "--printer=", runAbort},
    {"load", "[--printer BUS:ADDRESS]", "", "load filament",
     "Heats the hot end and loads filament: feed it in, and press the printer's\n"
     "button when it comes out of the nozzle. Follows the procedure to its end.\n"
     "The printer must be idle or paused.\n"
     "\n" PRINTER_OPTION "\n" PRINTER_EXIT,
     0, 0, "--printer=", runLoad},
    {"unload", "[--printer BUS:ADDRESS]", "", "unload filament",
     "Heats the hot end and pulls the filament out. Follows the procedure to its\n"
     "end. The printer must be idle or paused.\n"
     "\n" PRINTER_OPTION "\n" PRINTER_EXIT,
     0, 0, "--printer=", runUnload},
    {"version", "[--printer BUS:ADDRESS]", "", "the printer's firmware version",
     "Asks the printer for its firmware version and prints it.\n"
     "\n" PRINTER_OPTION "\n" PRINTER_EXIT,
     0, 0, "--printer=", runVersion},
    {"serial", "[--printer BUS:ADDRESS]", "", "the printer's serial number",
     "Asks the printer for its serial number and prints it.\n"
     "\n" PRINTER_OPTION "\n" PRINTER_EXIT,
     0, 0, "--printer=", runSerial},
    {"gcode", "[--printer BUS:ADDRESS] LINE...", "LINE...", "send G-code lines to the printer",
     "Sends each LINE to the printer as one G-code command, in order, and prints\n"
     "\"LINE: ok\" once the printer has taken it. The first line that the printer\n"
     "refuses, or whose exchange fails, ends the command with its reason.\n"
     "\n" PRINTER_OPTION "\n" FAILURE_EXIT ".\n",
     1, 1000, "--printer=", runGcode},
    {"wifi status", "[--printer BUS:ADDRESS]", "", "the printer's Wi-Fi connection",
     "Prints whether the printer is connected to a Wi-Fi network, and if so to\n"
     "which, with its addresses; and the printer's MAC address.\n"
     "\n" PRINTER_OPTION "\n" FAILURE_EXIT ".\n",
     0, 0, "--printer=", runWifiStatus},
    {"wifi scan", "[--printer BUS:ADDRESS]", "", "the Wi-Fi networks the printer sees",
     "Lets the printer scan for Wi-Fi networks and lists them: name, signal\n"
     "strength as the printer reports it, and security (open, WEP, WPA, or\n"
     "unknown).\n"
     "\n" PRINTER_OPTION "\n" FAILURE_EXIT ".\n",
     0, 0, "--printer=", runWifiScan},
    {"wifi connect", "[--printer BUS:ADDRESS] [--key-file FILE] SSID", "SSID",
     "connect the printer to a Wi-Fi network",
     "Connects the printer to the Wi-Fi network SSID (at most 32 Latin-1\n"
     "characters) with its pass phrase (at most 64), which is asked for on the\n"
     "terminal without echo (empty for an open network), or read from a file.\n"
     "The pass phrase is never taken from the command line, where every user\n"
     "of the machine could read it, and never printed or logged.\n"
     "\n" PRINTER_OPTION
     "  --key-file FILE  the pass phrase: the first line of FILE (- for standard\n"
     "                   input)\n"
     "\n"
     "When the printer's answer is lost, whether it connected is unknown: the\n"
     "message says so and what the printer then reports.\n"
     "\n" FAILURE_EXIT ", 4 FILE unreadable.\n",
     1, 1, "--printer= --key-file=", runWifiConnect},
    {"wifi disconnect", "[--printer BUS:ADDRESS]", "", "disconnect the printer from Wi-Fi",
     "Disconnects the printer from its Wi-Fi network.\n"
     "\n" PRINTER_OPTION "\n" FAILURE_EXIT ".\n",
     0, 0, "--printer=", runWifiDisconnect},
    {"wifi config show", "[--printer BUS:ADDRESS]", "",
     "the Wi-Fi network the printer connects to by itself",
     "Prints the Wi-Fi network stored in the printer for its automatic\n"
     "connection, whether it has a pass phrase (never the pass phrase itself),\n"
     "and whether the automatic connection is on.\n"
     "\n" PRINTER_OPTION "\n" FAILURE_EXIT ".\n",
     0, 0, "--printer=", runWifiConfigShow},
    {"wifi config set", "[--printer BUS:ADDRESS] [--key-file FILE] [--auto-connect on|off] SSID",
     "SSID", "store the Wi-Fi network the printer connects to by itself",
     "Stores the Wi-Fi network SSID and its pass phrase in the printer for its\n"
     "automatic connection (each at most 32 and 64 bytes of UTF-8), and turns\n"
     "the automatic connection on (or off). The pass phrase is asked for on the\n"
     "terminal without echo, or read from a file, as for wifi connect.\n"
     "\n" PRINTER_OPTION "  --key-file FILE        the pass phrase: the first line of FILE (- for\n"
     "                         standard input)\n"
     "  --auto-connect on|off  whether the printer connects by itself (default on)\n"
     "\n" FAILURE_EXIT ", 4 FILE unreadable.\n",
     1, 1, "--printer= --key-file= --auto-connect=", runWifiConfigSet},
    {"head raise", "[--printer BUS:ADDRESS]", "", "raise the print head",
     "Raises the print head: 35 mm up, then 5 mm back down to free it. The\n"
     "printer must be idle. The Z axis's motor settings are lowered for the move\n"
     "and put back afterwards, also when the move fails.\n"
     "\n" PRINTER_OPTION "\n" FAILURE_EXIT ".\n",
     0, 0, "--printer=", runHeadRaise},
    {"head ship", "[--printer BUS:ADDRESS]", "", "lower the print head for shipping",
     "Moves the print head up to its stop, then down to its shipping position.\n"
     "The printer must be idle. The Z axis's motor settings are lowered for the\n"
     "move and put back afterwards, also when the move fails.\n"
     "\n" PRINTER_OPTION "\n" FAILURE_EXIT ".\n",
     0, 0, "--printer=", runHeadShip},
    {"dfu list", "", "", "printers in firmware-update mode",
     "Lists the printers in firmware-update (DFU) mode as dfu-util finds them:\n"
     "USB ids and serial number.\n"
     "\n"
     "Exit status: 0 done, 2 usage error, 3 no printer in firmware-update mode,\n"
     "4 dfu-util missing.\n",
     0, 0, "", runDfuList},
    {"dfu flash", "[--printer BUS:ADDRESS] [FILE]", "[FILE]", "install printer firmware",
     "Installs printer firmware as the desktop program's firmware update does:\n"
     "sends the printer into firmware-update mode (a printer already in that\n"
     "mode is flashed as it is), writes the firmware with dfu-util, waits until\n"
     "the printer is back and prints the version it now runs.\n"
     "\n"
     "FILE defaults to the firmware delivered with the program, or to\n"
     "/tmp/firmware_zelk_override.dfu when that file is the user's own and\n"
     "nobody else can change it.\n"
     "\n" PRINTER_OPTION "Do not unplug the printer while it is being written.\n"
     "\n"
     "Exit status: 0 installed, 1 flashing failed or the printer did not come\n"
     "back, 2 usage error (also: several printers in firmware-update mode),\n"
     "3 no printer, 4 FILE unreadable or dfu-util missing.\n",
     0, 1, "--printer=", runDfuFlash},
    {"logs", "[--day YYYY-MM-DD] [--follow]", "", "the printer's log",
     "Prints the printer log, what the printer said while the desktop program or\n"
     "zelkctl talked to it: today's, or that of another day (logs are kept for a\n"
     "week).\n"
     "\n"
     "  --day YYYY-MM-DD  the log of that day\n"
     "  --follow          print the last lines of the current log, then what is\n"
     "                    added to it, until interrupted (Ctrl-C)\n"
     "\n"
     "Exit status: 0 done, 2 usage error, 4 no log for that day.\n",
     0, 0, "--day= --follow", runLogs},
    {"history", "[--json] [--database FILE] [--limit N]", "", "the print jobs zelkd started",
     "Lists the print jobs that zelkd started, newest first: when each started and\n"
     "ended, the printer (its serial number), the outcome (success, failed,\n"
     "cancelled) with its reason, and the file.\n"
     "\n"
     "  --json           one JSON object per job, as a JSON array\n"
     "  --database FILE  zelkd's history database (default: the user's zelkd,\n"
     "                   $XDG_DATA_HOME/zelkd/history.sqlite, else the service's,\n"
     "                   /var/lib/zelkd/history.sqlite)\n"
     "  --limit N        at most N jobs (default 50)\n"
     "\n"
     "Exit status: 0 done, 2 usage error, 4 no history database (or unreadable).\n",
     0, 0, "--json --database= --limit=", runHistory},
    {"farm", "[--broker URL] [--watch] [--json]", "", "every printer of a farm, from its broker",
     "Lists every printer of every zelkd host that publishes to the farm's MQTT\n"
     "broker, one line each: host, printer (its serial number), state, hot-end\n"
     "temperature, progress, minutes left, and whether it is online (its host and\n"
     "the printer both). Needs no printer here.\n"
     "\n" FARM_BROKER
     "  --watch       follow the farm until interrupted (Ctrl-C): on a terminal the\n"
     "                table is rewritten in place, otherwise each change is a line\n"
     "  --json        one JSON array (with --watch: one object per line and change)\n"
     "\n" FARM_ACCOUNT "\n"
     "Exit status: 0 done, 2 usage error, 3 the broker cannot be reached.\n",
     0, 0, "--broker= --watch --json", runFarm},
    {"farm pause", "[--broker URL] HOST/PRINTER", "HOST/PRINTER", "pause a printer of the farm",
     "Asks HOST's zelkd, through the broker, to pause PRINTER's print, and waits for\n"
     "its answer. Needs the operator's account (see zelkctl farm --help).\n"
     "\n" FARM_BROKER "\n" FARM_EXIT,
     1, 1, "--broker=", runFarmCommand},
    {"farm resume", "[--broker URL] HOST/PRINTER", "HOST/PRINTER",
     "resume a paused printer of the farm",
     "Asks HOST's zelkd, through the broker, to resume PRINTER's paused print, and\n"
     "waits for its answer. Needs the operator's account.\n"
     "\n" FARM_BROKER "\n" FARM_EXIT,
     1, 1, "--broker=", runFarmCommand},
    {"farm abort", "[--broker URL] HOST/PRINTER", "HOST/PRINTER", "end a print of the farm",
     "Asks HOST's zelkd, through the broker, to end PRINTER's print, and waits for\n"
     "its answer. Needs the operator's account.\n"
     "\n" FARM_BROKER "\n" FARM_EXIT,
     1, 1, "--broker=", runFarmCommand},
    {"farm forget", "[--broker URL] HOST/PRINTER", "HOST/PRINTER",
     "clear a gone printer from the farm",
     "Clears what the broker keeps of a printer that is gone for good (its\n"
     "availability, its state, its Home Assistant configurations), and tells its\n"
     "host, when that is online, to stop publishing it. A printer that is online\n"
     "is not forgotten. Needs the operator's account.\n"
     "\n" FARM_BROKER "\n" FARM_EXIT,
     1, 1, "--broker=", runFarmCommand},
    {"optimize", "INPUT OUTPUT", "INPUT OUTPUT", "rewrite a G-code file with fewer moves",
     "Rewrites the G-code file INPUT into OUTPUT so that it prints the same object\n"
     "with fewer moves: runs of straight moves of one kind (extruding, retracting,\n"
     "travel) become one move. Everything that is not a move is copied in its place.\n"
     "\n"
     "OUTPUT appears only when it is complete: it is written to a temporary file\n"
     "in its directory and renamed. A summary line goes to standard error.\n"
     "\n"
     "Exit status: 0 done, 2 usage error, 4 INPUT unreadable or OUTPUT unwritable.\n",
     2, 2, "", runOptimize},
    {"info", "[--json] [--density G_PER_CM3] FILE", "FILE",
     "what a G-code file holds and how long it prints",
     "Reads the G-code file FILE as the printer would run it and tells what it\n"
     "holds: the print time from a model of the printer's motion (acceleration,\n"
     "corners, feed rate limits; what the file sets with M201, M203, M204 and M205\n"
     "counts), the filament it feeds (length, volume, weight), the layers, the\n"
     "size of the printed part, the temperatures it asks for, the thumbnails the\n"
     "slicer embedded, and what the slicer itself wrote about time and filament\n"
     "(\"slicer says\"), which never goes into the figures. Heating waits are not\n"
     "counted: they depend on the room and the printer. Needs no printer.\n"
     "\n"
     "A file that can be read but looks odd (empty, binary, no extrusion, lines\n"
     "too long, numbers beyond any printer's reach) is still reported, with a\n"
     "warning on standard error.\n"
     "\n"
     "  --json                 one JSON object\n"
     "  --density G_PER_CM3    the filament's density for its weight (default\n"
     "                         1.24, PLA)\n"
     "\n"
     "Exit status: 0 done (also with warnings), 2 usage error, 4 FILE unreadable.\n",
     1, 1, "--json --density=", runInfo},
};

#undef PRINTER_OPTION
#undef PRINTER_EXIT
#undef FAILURE_EXIT
#undef FARM_BROKER
#undef FARM_ACCOUNT
#undef FARM_EXIT

} // namespace

void Invocation::tell(const QString& text) const
{
    print(stderr, QStringLiteral("zelkctl %1: %2").arg(command, text));
}

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

bool isGroup(const QString& name)
{
    const QString prefix = name + QLatin1Char(' ');
    for (const Subcommand& s : table)
        if (QLatin1String(s.name).startsWith(prefix))
            return true;
    return false;
}

} // namespace zelkctl
