#pragma once

#include "Settings.h"

#include <QString>

#include <memory>

namespace zelkd {

// zelkd on the local network, announced as printer hosts announce
// themselves: `_octoprint._tcp` (and `_http._tcp`) through avahi-daemon, so
// that a slicer's "Browse" finds it. One service for the host (path "/",
// which addresses the printer when there is one) and one per printer by its
// serial number (path "/printers/<serial>/"), since with several printers a
// slicer must be pointed at one.
//
// avahi-daemon may start after zelkd, stop or restart: the client waits for
// it and announces again whenever it returns.
//
// Threads: everything that talks to the daemon runs on Avahi's own poll
// thread ("zelkd-avahi"), since the client library's calls block on D-Bus
// and a stuck daemon must not stall the main thread's printers. The main
// thread only hands printers over (a list under a mutex and a wake-up pipe).
class Announcer
{
public:
    explicit Announcer(const Settings& settings);
    ~Announcer(); // the services are withdrawn

    // Starts announcing. False, with `why`, when nothing will be announced:
    // turned off, or zelkd reachable from this machine only. What happens
    // with the daemon later is logged.
    bool start(QString& why);
    // Adds the service of a printer known by its serial number (repeated
    // calls for the same printer do nothing).
    void addPrinter(const QString& serial);

    // The DNS-SD name of the host's service, "zelkd on HOST" (for the log
    // and the tests).
    static QString serviceName();

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace zelkd
