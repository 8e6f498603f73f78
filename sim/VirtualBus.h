#pragma once

#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace zelksim {

// The fake USB bus of this process: umockdev's testbed, which redirects sysfs
// and /dev for every program started under umockdev's preload library. Create
// it before anything calls libusb_init: libusb starts watching for devices
// there. One per process.
class VirtualBus
{
public:
    VirtualBus();
    ~VirtualBus();
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    UMockdevTestbed* testbed() const { return bed; }
    std::string rootDir() const;

    // True when this process runs under umockdev's preload library; only then
    // do libusb (and uevents sent from here) see the fake bus.
    static bool preloaded();
    // Re-executes the running program under the preload library (keeping its
    // arguments) unless it already runs there. Returns only in the preloaded
    // process; exits with a message when re-execution fails.
    static void ensurePreloaded(char** argv);

private:
    UMockdevTestbed* bed = nullptr;
};

} // namespace zelksim
