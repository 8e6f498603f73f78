#include "SimControl.h"

#include "FirmwareModel.h"
#include "PrintJobModel.h"
#include "VirtualPrinter.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>

namespace zelksim {

namespace {

using Words = std::vector<std::string>;

bool parseLong(const std::string& s, long lo, long hi, long& out)
{
    if (s.empty() || s.size() > 12)
        return false;
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parseDouble(const std::string& s, double lo, double hi, double& out)
{
    if (s.empty() || s.size() > 24)
        return false;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end || !std::isfinite(v) || v <= lo || v > hi)
        return false;
    out = v;
    return true;
}

bool parseOnOff(const std::string& s, bool& out)
{
    if (s == "on" || s == "off") {
        out = s == "on";
        return true;
    }
    return false;
}

bool parseChannel(const std::string& s, VirtualPrinter::Channel& out)
{
    if (s == "command" || s == "job") {
        out = s == "command" ? VirtualPrinter::Command : VirtualPrinter::Job;
        return true;
    }
    return false;
}

// "1:5" names a printer; anything else is not a printer name.
bool parsePrinterName(const std::string& s, unsigned& bus, unsigned& address)
{
    const size_t colon = s.find(':');
    long b = 0, a = 0;
    if (colon == std::string::npos || !parseLong(s.substr(0, colon), 1, 255, b) ||
        !parseLong(s.substr(colon + 1), 1, 127, a))
        return false;
    bus = static_cast<unsigned>(b);
    address = static_cast<unsigned>(a);
    return true;
}

const std::map<std::string, VirtualPrinter::Fault>& faultNames()
{
    static const std::map<std::string, VirtualPrinter::Fault> names = {
        {"no-response", VirtualPrinter::Fault::NoResponse},
        {"leading-garbage", VirtualPrinter::Fault::LeadingGarbage},
        {"bad-complement", VirtualPrinter::Fault::BadComplementFirst},
        {"wrong-trailer", VirtualPrinter::Fault::WrongTrailerFirst},
        {"zero-length", VirtualPrinter::Fault::ZeroLengthFirst},
        {"unparsable", VirtualPrinter::Fault::UnparsableFirst},
        {"no-transport", VirtualPrinter::Fault::NoTransportFirst},
        {"non-array-attrs", VirtualPrinter::Fault::NonArrayAttrsFirst},
        {"missing-id", VirtualPrinter::Fault::MissingIdFirst},
        {"one-byte-chunks", VirtualPrinter::Fault::OneByteChunks},
        {"packed-with-event", VirtualPrinter::Fault::PackedWithEvent},
    };
    return names;
}

const std::map<std::string, FirmwareModel::CommandFault>& commandFaultNames()
{
    static const std::map<std::string, FirmwareModel::CommandFault> names = {
        {"no-response", FirmwareModel::CommandFault::NoResponse},
        {"no-return", FirmwareModel::CommandFault::NoReturn},
        {"wrong-types", FirmwareModel::CommandFault::WrongTypes},
        {"args-reordered", FirmwareModel::CommandFault::ArgsReordered},
        {"no-response-after-acting", FirmwareModel::CommandFault::NoResponseAfterActing},
    };
    return names;
}

bool commandName(const std::string& s)
{
    if (s.empty() || s.size() > 64)
        return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    return true;
}

std::string name(const VirtualPrinter& p)
{
    return std::to_string(p.bus()) + ":" + std::to_string(p.address());
}

} // namespace

SimControl::SimControl(std::vector<VirtualPrinter*> list) : printers(std::move(list)) {}

void SimControl::setPrinters(std::vector<VirtualPrinter*> list)
{
    std::lock_guard<std::mutex> lock(mutex);
    printers = std::move(list);
}

const char* SimControl::help()
{
    return "Control commands (P is BUS:ADDRESS, by default the first printer):\n"
           "  press-button [P]               the front-panel button\n"
           "  pause [P]                      as the host's pause request (again: resume)\n"
           "  abort [P]                      as the host's abort request\n"
           "  filament-out [P] [PERCENT]     filament runs out now, or when the print\n"
           "                                 reaches PERCENT\n"
           "  load [P], unload [P]           start the filament procedure\n"
           "  heater-fault [P] on|off        the hot end stops (resumes) heating\n"
           "  unplug [P], plug [P]           pull and reconnect the cable\n"
           "  dfu [P] on|off                 firmware-update mode\n"
           "  firmware [P] VERSION           the firmware version it reports from now on\n"
           "                                 (as after a flash)\n"
           "  time-scale [P] X               simulated seconds per real second\n"
           "  hold [P] STATE [PERCENT]       stop the clock when STATE is entered (BUILDING:\n"
           "                                 at PERCENT), e.g. hold HOMING_XY\n"
           "  release [P]                    let the clock run again\n"
           "  announce [P] on|off            a status message on every change\n"
           "  fault [P] NAME [N]             spoil the next N command responses; NAME:\n"
           "                                 no-response leading-garbage bad-complement\n"
           "                                 wrong-trailer zero-length unparsable\n"
           "                                 no-transport non-array-attrs missing-id\n"
           "                                 one-byte-chunks packed-with-event\n"
           "  command-fault [P] COMMAND KIND [N]\n"
           "                                 the next N calls of COMMAND; KIND:\n"
           "                                 no-response (dropped unread, nothing done)\n"
           "                                 no-response-after-acting (carried out, the\n"
           "                                 answer lost) no-return wrong-types\n"
           "                                 args-reordered\n"
           "  timeout-writes [P] command|job N   the next N host writes time out\n"
           "  fail-receive [P] command|job stall|nodev\n"
           "  deny-access [P] on|off         opening the printer fails with EACCES, as for\n"
           "                                 a user without permission to its device node\n"
           "  claim-busy [P] on|off          claiming the printer fails with EBUSY, as when\n"
           "                                 another program holds it\n"
           "  response-delay [P] MS          delay every command response\n"
           "  status [P]                     the printer's status message\n"
           "  list                           the printers and their states\n";
}

std::string SimControl::execute(const std::string& line)
{
    if (line.size() > MAX_LINE)
        return "error: line too long";
    for (char c : line)
        if (c != '\t' && (c < 0x20 || c > 0x7e))
            return "error: unexpected character";
    Words words;
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        if (words.size() == MAX_WORDS)
            return "error: too many words";
        words.push_back(w);
    }
    if (words.empty())
        return "error: empty command";

    std::lock_guard<std::mutex> lock(mutex);
    const std::string cmd = words[0];
    words.erase(words.begin());
    if (cmd == "help")
        return "ok " + std::string(help());
    if (cmd == "list") {
        std::string r = "ok";
        for (VirtualPrinter* p : printers)
            r += " " + name(*p) + "=" +
                 (p->isPlugged() ? PrintJobModel::stateName(p->printModel().state()) : "unplugged");
        return r;
    }

    VirtualPrinter* p = printers.empty() ? nullptr : printers.front();
    unsigned bus = 0, address = 0;
    if (!words.empty() && parsePrinterName(words[0], bus, address)) {
        p = nullptr;
        for (VirtualPrinter* candidate : printers)
            if (candidate->bus() == bus && candidate->address() == address)
                p = candidate;
        if (!p)
            return "error: no printer " + words[0];
        words.erase(words.begin());
    }
    if (!p)
        return "error: no printer";
    const size_t n = words.size();
    auto arity = [&](size_t lo, size_t hi) { return n >= lo && n <= hi; };
    const std::string bad = "error: usage: see help";

    if (cmd == "press-button" && arity(0, 0)) {
        p->pressButton();
    } else if (cmd == "pause" && arity(0, 0)) {
        p->printModel().pause();
    } else if (cmd == "abort" && arity(0, 0)) {
        p->printModel().abort();
    } else if (cmd == "filament-out" && arity(0, 1)) {
        long percent = -1;
        if (n == 1 && !parseLong(words[0], 0, 100, percent))
            return bad;
        p->runOutOfFilament(static_cast<int>(percent));
    } else if ((cmd == "load" || cmd == "unload") && arity(0, 0)) {
        const unsigned r =
            cmd == "load" ? p->printModel().loadFilament() : p->printModel().unloadFilament();
        if (r != 0)
            return "error: refused with " + std::to_string(r);
    } else if (cmd == "heater-fault" && arity(1, 1)) {
        bool on = false;
        if (!parseOnOff(words[0], on))
            return bad;
        p->printModel().setHeaterFault(on);
    } else if (cmd == "unplug" && arity(0, 0)) {
        p->unplug();
    } else if (cmd == "plug" && arity(0, 0)) {
        p->plug();
    } else if (cmd == "dfu" && arity(1, 1)) {
        bool on = false;
        if (!parseOnOff(words[0], on))
            return bad;
        p->setFirmwareUpdateMode(on);
    } else if (cmd == "firmware" && arity(1, 1)) {
        // Dotted digits, as the firmware's version strings are.
        if (words[0].empty() || words[0].size() > 16 ||
            words[0].find_first_not_of("0123456789.") != std::string::npos)
            return "error: want a version such as 1.3.0";
        p->firmware().setFirmwareVersion(words[0]);
    } else if (cmd == "time-scale" && arity(1, 1)) {
        double scale = 0;
        if (!parseDouble(words[0], 0, 100000, scale))
            return "error: time scale must be above 0 and at most 100000";
        p->setTimeScale(scale);
    } else if (cmd == "hold" && arity(1, 2)) {
        long percent = 0;
        std::optional<PrintJobModel::State> state;
        for (int v = 0; v <= static_cast<int>(PrintJobModel::State::FilamentOut); ++v)
            if (words[0] == PrintJobModel::stateName(static_cast<PrintJobModel::State>(v)))
                state = static_cast<PrintJobModel::State>(v);
        if (!state || (n == 2 && !parseLong(words[1], 0, 100, percent)))
            return bad;
        p->printModel().holdAt(*state, static_cast<int>(percent));
    } else if (cmd == "release" && arity(0, 0)) {
        p->printModel().release();
    } else if (cmd == "announce" && arity(1, 1)) {
        bool on = false;
        if (!parseOnOff(words[0], on))
            return bad;
        p->printModel().setAnnounceChanges(on);
    } else if (cmd == "fault" && arity(1, 2)) {
        auto f = faultNames().find(words[0]);
        long times = 1;
        if (f == faultNames().end() || (n == 2 && !parseLong(words[1], 1, 1000, times)))
            return bad;
        p->injectFault(f->second, static_cast<int>(times));
    } else if (cmd == "command-fault" && arity(2, 3)) {
        auto f = commandFaultNames().find(words[1]);
        long times = 1;
        if (!commandName(words[0]) || f == commandFaultNames().end() ||
            (n == 3 && !parseLong(words[2], 1, 1000, times)))
            return bad;
        p->firmware().injectCommandFault(words[0], f->second, static_cast<int>(times));
    } else if (cmd == "timeout-writes" && arity(2, 2)) {
        VirtualPrinter::Channel ch{};
        long count = 0;
        if (!parseChannel(words[0], ch) || !parseLong(words[1], 0, 1000, count))
            return bad;
        p->timeoutWrites(ch, static_cast<int>(count));
    } else if (cmd == "fail-receive" && arity(2, 2)) {
        VirtualPrinter::Channel ch{};
        if (!parseChannel(words[0], ch) || (words[1] != "stall" && words[1] != "nodev"))
            return bad;
        p->failReceive(ch, words[1] == "stall");
    } else if ((cmd == "deny-access" || cmd == "claim-busy") && arity(1, 1)) {
        bool on = false;
        if (!parseOnOff(words[0], on))
            return bad;
        if (cmd == "deny-access")
            p->denyAccess(on);
        else
            p->failClaims(0, on ? 1000000000 : 0);
    } else if (cmd == "response-delay" && arity(1, 1)) {
        long ms = 0;
        if (!parseLong(words[0], 0, 600000, ms))
            return bad;
        p->setResponseDelay(std::chrono::milliseconds(ms));
    } else if (cmd == "status" && arity(0, 0)) {
        return "ok " + p->printModel().statusJson();
    } else {
        static const char* const known[] = {
            "press-button",  "pause",          "abort",        "filament-out",   "load",
            "unload",        "heater-fault",   "unplug",       "plug",           "dfu",
            "time-scale",    "hold",           "release",      "announce",       "fault",
            "command-fault", "timeout-writes", "fail-receive", "response-delay", "status",
            "deny-access",   "claim-busy"};
        for (const char* k : known)
            if (cmd == k)
                return bad;
        return "error: unknown command " + cmd.substr(0, 32);
    }
    return "ok";
}

} // namespace zelksim
