// The first message a process builds has id 1: nothing in the library may take
// an id before the application does (the event interface takes two when a
// client is built; a bare transport takes none).
#include "SimEnvironment.h"

#include <trel/TrelMessage.h>
#include <trel/TrelTransport.h>

#include <gtest/gtest.h>

namespace {
class BareTransport : public TrelTransport
{
public:
    BareTransport() { start_callbacks(); }
    ~BareTransport() override { stop_callbacks(); }
    void device_connected(TrelDeviceAddress) override {}
    void device_disconnected(TrelDeviceAddress) override {}
};
} // namespace

TEST(MessageIds, CountFromOneInEveryProcess)
{
    BareTransport transport;
    TrelMessage first(transport, TREL_ATTR_REQUEST, nullptr);
    TrelCommand second(transport);
    TrelEvent third(transport);
    EXPECT_EQ(first.id(), 1u);
    EXPECT_EQ(second.id(), 2u);
    EXPECT_EQ(third.id(), 3u);
    // A received message keeps its wire id and takes none.
    TrelMessage received(transport, TREL_ATTR_RESPONSE, 99u, nullptr);
    EXPECT_EQ(TrelMessage(transport, 0, nullptr).id(), 4u);
}
