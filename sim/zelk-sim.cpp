// zelk-sim: runs an unmodified program against virtual printers.
//
//   zelk-sim [--printer BUS:ADDRESS[:dfu][,serial=SERIAL]]... [--no-printer]
//            [--time-scale X] [--announce] [--control SOCKET] [--seed TEXT]
//            [--] PROGRAM [ARGS...]
//   zelk-sim --send SOCKET COMMAND [ARGS...]
//
// The launcher re-executes itself under umockdev's preload library, builds the
// fake USB bus, plugs the printers and starts PROGRAM under the same preload
// library with the bus inherited: the program's libusb finds the printers as
// real ones, and every URB crosses into this process, where the printers live.
// With --control it also listens on a local socket, so that a second terminal
// can press the printer's button, pull its cable or spoil its answers while
// the program runs (--send).
#include "ControlServer.h"
#include "PrintJobModel.h"
#include "SimControl.h"
#include "VirtualBus.h"
#include "VirtualPrinter.h"

#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_child = 0;

void forwardSignal(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}

int usage(const char* why)
{
    if (why)
        std::fprintf(stderr, "zelk-sim: %s\n", why);
    std::fprintf(stderr,
                 "usage: zelk-sim [--printer BUS:ADDRESS[:dfu][,serial=SERIAL]]... [--no-printer]\n"
                 "                [--time-scale X] [--announce] [--control SOCKET] [--seed TEXT]\n"
                 "                [--] PROGRAM [ARGS...]\n"
                 "       zelk-sim --send SOCKET COMMAND [ARGS...]\n"
                 "Starts PROGRAM with virtual printers on a simulated USB bus (default: one\n"
                 "printer at 1:5).\n"
                 "  --time-scale X    simulated seconds per real second (moves, heat, prints)\n"
                 "  --announce        printers send a status message on every change\n"
                 "  --control SOCKET  take commands on this local socket while PROGRAM runs\n"
                 "  --seed TEXT       what the serial numbers of printers given none derive\n"
                 "                    from, with their BUS:ADDRESS (default: the host name and\n"
                 "                    the control socket's path)\n"
                 "  --send SOCKET ... send one command to a running launcher, print its reply\n"
                 "                    (exit status 0 for ok, 1 for an error, 2 if unreachable)\n"
                 "%s"
                 "Example: zelk-sim --control /tmp/zelk.sock -- zelk &\n"
                 "         zelk-sim --send /tmp/zelk.sock press-button 1:5\n",
                 zelksim::SimControl::help());
    return 2;
}

// A serial number for a printer given none: the same for the same seed and
// BUS:ADDRESS (a replug, a restart of the launcher), different between the
// printers of a launcher and, with their seeds, between launchers, so that
// virtual printers on several machines (or several launchers on one) are
// told apart as real ones are. FNV-1a: stable everywhere, unlike std::hash.
std::string derivedSerial(const std::string& seed, unsigned bus, unsigned address, unsigned bump)
{
    const std::string key = seed + "/" + std::to_string(bus) + ":" + std::to_string(address) + "/" +
                            std::to_string(bump);
    uint32_t h = 2166136261u;
    for (unsigned char c : key)
        h = (h ^ c) * 16777619u;
    char serial[16];
    std::snprintf(serial, sizeof serial, "ZK1-%06u", h % 1000000u);
    return serial;
}

bool parsePrinter(const char* text, zelksim::VirtualPrinter::Options& o)
{
    // ",serial=SERIAL" gives the printer its own serial number, for a program
    // that tells several printers apart by it; without, main() derives one.
    o.serial.clear();
    std::string spec = text;
    const size_t comma = spec.find(",serial=");
    if (comma != std::string::npos) {
        const std::string serial = spec.substr(comma + 8);
        if (serial.empty() || serial.size() > 32)
            return false;
        for (char c : serial)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
                return false;
        o.serial = serial;
        spec.resize(comma);
    }
    unsigned bus = 0, address = 0;
    char mode[8] = {};
    const int n = std::sscanf(spec.c_str(), "%u:%u:%7s", &bus, &address, mode);
    if (n < 2 || bus < 1 || bus > 255 || address < 1 || address > 127)
        return false;
    if (n == 3 && std::strcmp(mode, "dfu") != 0)
        return false;
    o.bus = static_cast<uint8_t>(bus);
    o.address = static_cast<uint8_t>(address);
    o.firmwareUpdateMode = n == 3;
    return true;
}

int sendCommand(int argc, char** argv)
{
    if (argc < 4)
        return usage("--send needs a socket and a command");
    std::string line;
    for (int k = 3; k < argc; ++k)
        line += (k > 3 ? " " : "") + std::string(argv[k]);
    if (line.size() > zelksim::SimControl::MAX_LINE)
        return usage("command too long");
    try {
        const std::string reply = zelksim::ControlServer::send(argv[2], line);
        std::printf("%s\n", reply.c_str());
        return reply.rfind("ok", 0) == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelk-sim: %s\n", e.what());
        return 2;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--send") == 0)
        return sendCommand(argc, argv);

    std::vector<zelksim::VirtualPrinter::Options> printers;
    bool defaultPrinter = true;
    double timeScale = 1.0;
    bool announce = false;
    std::string controlPath;
    std::string seed;
    bool seedGiven = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "-h" || a == "--help")
            return usage(nullptr), 0;
        if (a == "--no-printer") {
            defaultPrinter = false;
        } else if (a == "--announce") {
            announce = true;
        } else if (a == "--time-scale" && i + 1 < argc) {
            char* end = nullptr;
            timeScale = std::strtod(argv[++i], &end);
            if (*end || !std::isfinite(timeScale) || timeScale <= 0 || timeScale > 100000)
                return usage("bad --time-scale: want a number above 0, at most 100000");
        } else if (a == "--control" && i + 1 < argc) {
            controlPath = argv[++i];
        } else if (a == "--seed" && i + 1 < argc) {
            seed = argv[++i];
            seedGiven = true;
        } else if (a == "--printer" && i + 1 < argc) {
            zelksim::VirtualPrinter::Options o;
            if (!parsePrinter(argv[++i], o))
                return usage("bad --printer: want BUS:ADDRESS[:dfu][,serial=SERIAL]");
            printers.push_back(o);
        } else if (a.rfind("--", 0) == 0) {
            return usage(("unknown option " + a).c_str());
        } else {
            break;
        }
    }
    if (i >= argc)
        return usage("no program given");
    if (printers.empty() && defaultPrinter) {
        printers.emplace_back();
        printers.back().serial.clear();
    }
    if (!seedGiven) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        seed = std::string(host) + "|" + controlPath;
    }
    for (auto& o : printers) {
        for (unsigned bump = 0; o.serial.empty(); ++bump) {
            const std::string candidate = derivedSerial(seed, o.bus, o.address, bump);
            bool taken = false;
            for (const auto& other : printers)
                taken = taken || other.serial == candidate;
            if (!taken)
                o.serial = candidate;
        }
    }

    zelksim::VirtualBus::ensurePreloaded(argv);
    unsetenv("ZELKSIM_REEXECUTED");

    // The socket comes first, while this process has no other threads (the
    // umask it is created under is process-wide); commands wait for printers.
    zelksim::SimControl control;
    std::unique_ptr<zelksim::ControlServer> server;
    if (!controlPath.empty()) {
        try {
            server = std::make_unique<zelksim::ControlServer>(
                controlPath, [&control](const std::string& line) { return control.execute(line); });
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zelk-sim: %s\n", e.what());
            return 1;
        }
    }

    zelksim::VirtualBus bus;
    std::vector<std::unique_ptr<zelksim::VirtualPrinter>> plugged;
    std::vector<zelksim::VirtualPrinter*> controlled;
    for (auto& o : printers) {
        plugged.push_back(std::make_unique<zelksim::VirtualPrinter>(bus, o));
        controlled.push_back(plugged.back().get());
        plugged.back()->setTimeScale(timeScale);
        plugged.back()->printModel().setAnnounceChanges(announce);
        plugged.back()->plug();
        std::fprintf(stderr, "zelk-sim: printer %u:%u plugged in (%s mode, serial %s)\n", o.bus,
                     o.address, o.firmwareUpdateMode ? "firmware update" : "normal",
                     o.serial.c_str());
    }
    control.setPrinters(controlled);
    if (server)
        std::fprintf(stderr, "zelk-sim: control socket %s\n", server->path().c_str());

    const pid_t child = fork();
    if (child < 0) {
        std::perror("zelk-sim: fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "zelk-sim: cannot start %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    g_child = child;
    // The program under the launcher ends through its own teardown while its
    // virtual printers still answer; a closed terminal (SIGHUP) must not take
    // the bus away from under it.
    std::signal(SIGINT, forwardSignal);
    std::signal(SIGTERM, forwardSignal);
    std::signal(SIGHUP, forwardSignal);

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    server.reset(); // no command may reach a printer that goes
    control.setPrinters({});
    plugged.clear();
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
