// main() of every test binary that needs the virtual USB bus: it re-executes
// the binary under umockdev's preload library when needed (so a developer can
// run it directly), then builds the bus before any test can start libusb.
#include "SimEnvironment.h"

#include <VirtualBus.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    zelksim::VirtualBus::ensurePreloaded(argv);
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new zelktest::SimEnvironment());
    return RUN_ALL_TESTS();
}
