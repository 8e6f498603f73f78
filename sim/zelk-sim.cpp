// zelk-sim: runs an unmodified program against virtual printers.
//
//   zelk-sim [--printer BUS:ADDRESS[:dfu]]... [--no-printer] [--] PROGRAM [ARGS...]
//
// The launcher re-executes itself under umockdev's preload library, builds the
// fake USB bus, plugs the printers and starts PROGRAM under the same preload
// library with the bus inherited: the program's libusb finds the printers as
// real ones, and every URB crosses into this process, where the printers live.
#include "VirtualBus.h"
#include "VirtualPrinter.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    std::fprintf(stderr, "usage: zelk-sim [--printer BUS:ADDRESS[:dfu]]... [--no-printer] [--] "
                         "PROGRAM [ARGS...]\n"
                         "Starts PROGRAM with virtual printers on a simulated USB bus "
                         "(default: one printer at 1:5).\n");
    return 2;
}

bool parsePrinter(const char* spec, zelksim::VirtualPrinter::Options& o)
{
    unsigned bus = 0, address = 0;
    char mode[8] = {};
    const int n = std::sscanf(spec, "%u:%u:%7s", &bus, &address, mode);
    if (n < 2 || bus < 1 || bus > 255 || address < 1 || address > 127)
        return false;
    if (n == 3 && std::strcmp(mode, "dfu") != 0)
        return false;
    o.bus = static_cast<uint8_t>(bus);
    o.address = static_cast<uint8_t>(address);
    o.firmwareUpdateMode = n == 3;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<zelksim::VirtualPrinter::Options> printers;
    bool defaultPrinter = true;
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
        } else if (a == "--printer" && i + 1 < argc) {
            zelksim::VirtualPrinter::Options o;
            if (!parsePrinter(argv[++i], o))
                return usage("bad --printer: want BUS:ADDRESS or BUS:ADDRESS:dfu");
            printers.push_back(o);
        } else if (a.rfind("--", 0) == 0) {
            return usage(("unknown option " + a).c_str());
        } else {
            break;
        }
    }
    if (i >= argc)
        return usage("no program given");
    if (printers.empty() && defaultPrinter)
        printers.emplace_back();

    zelksim::VirtualBus::ensurePreloaded(argv);
    unsetenv("ZELKSIM_REEXECUTED");

    zelksim::VirtualBus bus;
    std::vector<std::unique_ptr<zelksim::VirtualPrinter>> plugged;
    for (auto& o : printers) {
        plugged.push_back(std::make_unique<zelksim::VirtualPrinter>(bus, o));
        plugged.back()->plug();
        std::fprintf(stderr, "zelk-sim: printer %u:%u plugged in (%s mode, serial %s)\n", o.bus,
                     o.address, o.firmwareUpdateMode ? "firmware update" : "normal",
                     o.serial.c_str());
    }

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
    std::signal(SIGINT, forwardSignal);
    std::signal(SIGTERM, forwardSignal);

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    plugged.clear();
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
