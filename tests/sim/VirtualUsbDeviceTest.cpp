// The simulated device itself, as the soak found it: a printer plugged in and
// pulled again and again, by a host that opens it each time, must not leave
// anything of the old devices behind.
#include "SimEnvironment.h"
#include "TestClient.h"

#include <VirtualPrinter.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <dirent.h>

using namespace zelktest;
using zelksim::VirtualPrinter;

namespace {

const TrelDeviceAddress PRINTER(1, 5);

// Waits until the client has heard `n` notices of the kind for the printer.
bool heard(TestClient& client, bool connected, size_t n)
{
    return client.waitUntil([&](TestClient& c) {
        const auto& notices = connected ? c.connects : c.disconnects;
        return size_t(std::count(notices.begin(), notices.end(), PRINTER)) >= n;
    });
}

int openFiles()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

} // namespace

// Every device node was a FIFO held open by its device's state, which the
// host's closed connections kept alive: one file (and the state) per plug.
TEST(VirtualUsbDevice, PullsLeaveNoOpenNodesBehind)
{
    VirtualPrinter printer(SimEnvironment::bus());
    TestClient client;
    const auto cycle = [&](size_t n) {
        printer.plug();
        ASSERT_TRUE(heard(client, true, n));
        printer.unplug();
        ASSERT_TRUE(heard(client, false, n));
    };
    cycle(1);
    cycle(2);
    const int before = openFiles();
    for (size_t n = 3; n <= 12; ++n)
        cycle(n);
    printer.plug();
    ASSERT_TRUE(heard(client, true, 13));
    // A little slack for files the runtime opens on its own (the sanitizers
    // do); the fault this catches left one more file per pull, ten here.
    EXPECT_LE(openFiles(), before + 5);
}
