#include "SimEnvironment.h"
#include "StdoutCapture.h"
#include "TestTransport.h"

#include <VirtualPrinter.h>

#include <trel/TrelException.h>

#include <gtest/gtest.h>

using namespace zelktest;
using zelksim::VirtualPrinter;

namespace {

VirtualPrinter::Options at(uint8_t bus, uint8_t address, bool dfu = false)
{
    VirtualPrinter::Options o;
    o.bus = bus;
    o.address = address;
    o.firmwareUpdateMode = dfu;
    return o;
}

} // namespace

TEST(UsbBackend, HotPluggedPrinterIsAnnouncedOnce)
{
    TestTransport transport;
    VirtualPrinter printer(SimEnvironment::bus(), at(1, 5));
    printer.plug();
    const TrelDeviceAddress a(1, 5);
    ASSERT_TRUE(transport.waitFor(true, a));
    auto connected = transport.list_connected();
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0], a);

    NamedCommand cmd(transport, "bio_get_version");
    cmd.send(a);
    ASSERT_TRUE(cmd.response_available());
    EXPECT_EQ(cmd.responseName, "bio_get_version");
}
