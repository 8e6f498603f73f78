// The USB back end against virtual printers on the simulated bus, through the
// real libusb: discovery and hot-plug, opening rules, the listings, close and
// write semantics, and what happens when transfers fail.
#include "Eventually.h"
#include "RecordingUsbClient.h"
#include "SimEnvironment.h"
#include "StdoutCapture.h"

#include <VirtualPrinter.h>

#include <trel/TrelException.h>
#include <trel/TrelUsb.h>

#include <libusb.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zelktest;
using namespace std::chrono_literals;
using zelksim::VirtualPrinter;
using Strings = std::vector<std::string>;

namespace {

VirtualPrinter::Options at(uint8_t bus, uint8_t address, bool dfu = false)
{
    VirtualPrinter::Options o;
    o.bus = bus;
    o.address = address;
    o.firmwareUpdateMode = dfu;
    return o;
}

// Long enough for at least two bus scans (one every 500 ms).
constexpr auto TWO_SCANS = 1200ms;

std::string failureOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const TrelException& e) {
        return e.what();
    }
    return "(no exception)";
}

void writeBytes(TrelDeviceAddress a, const std::string& s, trel_usb_interface_t ch)
{
    TrelUsb::write(reinterpret_cast<const unsigned char*>(s.data()),
                   static_cast<unsigned int>(s.size()), a, ch);
}

class UsbBackend : public testing::Test
{
protected:
    void TearDown() override { TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS); }
    zelksim::VirtualBus& bus() { return SimEnvironment::bus(); }
};

} // namespace

TEST_F(UsbBackend, PrinterPresentAtStartAndHotPluggedOnesAreAnnouncedOnce)
{
    VirtualPrinter before(bus(), at(1, 5));
    before.plug();
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    ASSERT_TRUE(client.waitForEvents(1));

    VirtualPrinter later(bus(), at(2, 7));
    later.plug();
    ASSERT_TRUE(client.waitForEvents(2));

    // Unchanged listing entries are neither reopened nor announced again.
    std::this_thread::sleep_for(TWO_SCANS);
    EXPECT_EQ(client.events(), (Strings{"+1:5", "+2:7"}));
    auto open = TrelUsb::list_connected();
    std::sort(open.begin(), open.end(),
              [](TrelDeviceAddress a, TrelDeviceAddress b) { return a.value() < b.value(); });
    EXPECT_EQ(open, (std::vector<TrelDeviceAddress>{{1, 5}, {2, 7}}));
}

TEST_F(UsbBackend, UnplugAnnouncesDisconnectAndForgetsThePrinter)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));
    printer.unplug();
    ASSERT_TRUE(client.waitForEvents(2));
    EXPECT_EQ(client.events(), (Strings{"+1:5", "-1:5"}));
    EXPECT_TRUE(eventually([] { return TrelUsb::list_connected().empty(); }));
}

TEST_F(UsbBackend, ReEnumerationAtTheSameAddressIsDisconnectThenConnect)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_JOB);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));

    printer.unplug();
    printer.plug(); // a new device at the same bus and address
    ASSERT_TRUE(client.waitForEvents(3));
    EXPECT_EQ(client.events(), (Strings{"+1:5", "-1:5", "+1:5"}));

    // The new device is the one that is open: its data arrives.
    printer.sendRaw(VirtualPrinter::Job, {'o', 'k'});
    ASSERT_TRUE(client.waitForChunks(1));
    EXPECT_EQ(client.received(), Strings{"ok"});
}

TEST_F(UsbBackend, FirmwareUpdateModeIsListedButNeverOpened)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter normal(bus(), at(1, 5));
    VirtualPrinter dfu(bus(), at(1, 9, true));
    dfu.plug();
    normal.plug();
    ASSERT_TRUE(client.waitForEvents(1));
    std::this_thread::sleep_for(TWO_SCANS);

    EXPECT_EQ(client.events(), Strings{"+1:5"});
    EXPECT_EQ(TrelUsb::list_connected(), (std::vector<TrelDeviceAddress>{{1, 5}}));
    auto rows = TrelUsb::list_attached();
    ASSERT_EQ(rows.size(), 2u);
    std::sort(rows.begin(), rows.end(),
              [](const TrelUsbDevice& a, const TrelUsbDevice& b) { return a.port < b.port; });
    EXPECT_EQ(rows[0].port, 5);
    EXPECT_EQ(rows[0].mode, 1);
    EXPECT_EQ(rows[1].port, 9);
    EXPECT_EQ(rows[1].mode, 2);
}

TEST_F(UsbBackend, ListingWithoutAnyClientFails)
{
    EXPECT_EQ(failureOf([] { TrelUsb::list_attached(); }), "Failed to get libusb device list.");
}

TEST_F(UsbBackend, ClosedPrinterStaysListedRefusesWritesAndIsNotReopened)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));
    const TrelDeviceAddress a(1, 5);

    TrelUsb::close(a);
    EXPECT_EQ(client.events(), (Strings{"+1:5", "-1:5"}));
    EXPECT_EQ(TrelUsb::list_connected(), std::vector<TrelDeviceAddress>{a});
    EXPECT_EQ(failureOf([&] { writeBytes(a, "x", TREL_USB_INTERFACE_COMMAND); }),
              "Send failed - Device no longer connected.");
    EXPECT_EQ(failureOf([&] { writeBytes(a, "", TREL_USB_INTERFACE_COMMAND); }),
              "Send failed - Device no longer connected.");
    EXPECT_EQ(failureOf([&] { TrelUsb::close(a); }), "Close failed - Device no longer connected.");
    EXPECT_EQ(failureOf([] {
                  TrelUsb::close({3, 3});
              }),
              "Close failed - Device no longer connected.");

    std::this_thread::sleep_for(TWO_SCANS);
    EXPECT_EQ(client.events(), (Strings{"+1:5", "-1:5"}));
}

TEST_F(UsbBackend, WriteArgumentsAreChecked)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));
    const TrelDeviceAddress a(1, 5);

    EXPECT_EQ(failureOf([&] {
                  writeBytes({4, 4}, "x", TREL_USB_INTERFACE_COMMAND);
              }),
              "Send failed - Device no longer connected.");
    EXPECT_EQ(failureOf([&] { writeBytes(a, "x", static_cast<trel_usb_interface_t>(2)); }),
              "Send failed - interface invalid.");
    // Nothing to send: no transfer at all.
    EXPECT_EQ(failureOf([&] { writeBytes(a, "", TREL_USB_INTERFACE_JOB); }), "(no exception)");
    EXPECT_EQ(printer.writesReceived(VirtualPrinter::Job), 0);
}

struct TimeoutCase
{
    int timeouts;
    std::string failure; // empty: the write completes
};

class WriteRetries : public UsbBackend, public testing::WithParamInterface<TimeoutCase>
{};

TEST_P(WriteRetries, TimeoutsAreRetriedThreeTimesInARow)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_JOB);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));

    // The retry rule does not depend on the length of a timeout; 1.5 s each
    // would only make the test slow.
    TrelUsb::set_write_timeout(40);
    printer.timeoutWrites(VirtualPrinter::Job, GetParam().timeouts);
    const std::string failure = failureOf([] {
        writeBytes({1, 5}, "G28\n", TREL_USB_INTERFACE_JOB);
    });
    EXPECT_EQ(printer.timedOutWrites(), GetParam().timeouts);
    if (GetParam().failure.empty()) {
        EXPECT_EQ(failure, "(no exception)");
        EXPECT_TRUE(eventually([&] { return printer.jobBytes().size() == 4; }));
        const auto bytes = printer.jobBytes();
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "G28\n");
    } else {
        EXPECT_EQ(failure, GetParam().failure);
        EXPECT_TRUE(printer.jobBytes().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Rule, WriteRetries,
                         testing::Values(TimeoutCase{0, ""}, TimeoutCase{3, ""},
                                         TimeoutCase{4, "Send failed - libusb error: -7"}));

TEST_F(UsbBackend, ReceivedChunksAreHandedOnAsTheyComeAndZeroLengthOnesAreSkipped)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_JOB);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));

    std::string text(150, 'a');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char>('a' + i % 26);
    printer.sendRaw(VirtualPrinter::Job, {});
    printer.sendRaw(VirtualPrinter::Job, std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_TRUE(client.waitForChunks(3));
    EXPECT_EQ(client.received(),
              (Strings{text.substr(0, 64), text.substr(64, 64), text.substr(128)}));
}

class DeadReceive : public UsbBackend, public testing::WithParamInterface<bool>
{};

TEST_P(DeadReceive, OneDeadChannelKeepsThePrinterBothDeadDeleteIt)
{
    const bool stall = GetParam();
    RecordingUsbClient job(TREL_USB_INTERFACE_JOB);
    RecordingUsbClient command(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(job.waitForEvents(1));

    printer.failReceive(VirtualPrinter::Job, stall);
    printer.sendRaw(VirtualPrinter::Job, {'j'});
    printer.sendRaw(VirtualPrinter::Command, {'c'});
    ASSERT_TRUE(command.waitForChunks(1));
    EXPECT_EQ(command.received(), Strings{"c"});
    EXPECT_TRUE(job.received().empty()); // nobody receives on a dead channel
    EXPECT_EQ(TrelUsb::list_connected().size(), 1u);

    printer.failReceive(VirtualPrinter::Command, stall);
    // Both dead: deleted at the next event round. It is still on the bus, so
    // the next scan opens it afresh and it works again.
    ASSERT_TRUE(job.waitForEvents(3));
    EXPECT_EQ(job.events(), (Strings{"+1:5", "-1:5", "+1:5"}));
    // The 'j' sent while the channel was dead may still wait in the
    // printer's endpoint: a printer that stays on the bus keeps what it has
    // not sent, so it may come first.
    printer.sendRaw(VirtualPrinter::Job, {'a', 'g', 'a', 'i', 'n'});
    const auto joined = [&] {
        std::string all;
        for (const std::string& chunk : job.received())
            all += chunk;
        return all;
    };
    ASSERT_TRUE(eventually([&] { return joined().size() >= 5; }));
    EXPECT_TRUE(joined() == "again" || joined() == "jagain") << joined();
}

INSTANTIATE_TEST_SUITE_P(Status, DeadReceive, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& i) {
                             return i.param ? "Stall" : "NoDevice";
                         });

struct OpenFailureCase
{
    const char* name;
    std::function<void(VirtualPrinter&)> fault; // fails the first openings
    const char* reason;
};

class OpenFailure : public UsbBackend, public testing::WithParamInterface<OpenFailureCase>
{};

TEST_P(OpenFailure, IsNamedOnceRetriedAndAnnouncedOnlyOnceThePrinterWorks)
{
    // A printer whose receive transfers could not start used to be announced
    // anyway, and stayed "connected" with every write refused until it was
    // unplugged.
    StdoutCapture out;
    RecordingUsbClient client(TREL_USB_INTERFACE_JOB);
    VirtualPrinter printer(bus(), at(1, 5));
    GetParam().fault(printer);
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1, 5s));
    EXPECT_EQ(client.events(), Strings{"+1:5"});
    EXPECT_EQ(failureOf([] { writeBytes({1, 5}, "x", TREL_USB_INTERFACE_JOB); }), "(no exception)");

    const std::string line = std::string("Failed to open printer 1:5 - ") + GetParam().reason +
                             " Retrying at every scan.\n";
    const std::string text = out.text();
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << "reported more than once";
    EXPECT_EQ(text.find("Fatal error in hotplug thread"), std::string::npos);

    VirtualPrinter next(bus(), at(1, 6));
    next.plug();
    ASSERT_TRUE(client.waitForEvents(2));
    EXPECT_EQ(client.events().back(), "+1:6");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailure,
    testing::Values(
        // The probe passes, the opening itself fails twice.
        OpenFailureCase{"ClaimRefused", [](VirtualPrinter& p) { p.failClaims(1, 2); },
                        "Failed to claim libusb device."},
        OpenFailureCase{"ReceiveCannotStart",
                        [](VirtualPrinter& p) { p.failReceiveStart(VirtualPrinter::Job, 1); },
                        "Failed to start receiving."}),
    [](const testing::TestParamInfo<OpenFailureCase>& i) { return i.param.name; });

namespace {
// Another program that has the device node open: a shell holding it on a
// descriptor until its input closes.
class NodeHolderProcess
{
public:
    explicit NodeHolderProcess(const std::string& path)
    {
        int in[2];
        if (::pipe(in) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        const char* argv[] = {"sh", "-c", "exec 3<>\"$0\"; read x", path.c_str(), nullptr};
        if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv),
                        environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        input = in[1];
    }
    ~NodeHolderProcess()
    {
        ::close(input);
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;

private:
    int input = -1;
};
} // namespace

struct UnopenedCase
{
    const char* name;
    std::function<void(VirtualPrinter&, bool)> refuse;
    TrelStatus reason;
};

class Unopened : public UsbBackend, public testing::WithParamInterface<UnopenedCase>
{};

TEST_P(Unopened, APrinterThatCannotBeOpenedIsListedWithTheReason)
{
    StdoutCapture out;
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter printer(bus(), at(1, 5));
    GetParam().refuse(printer, true);
    printer.plug();
    ASSERT_TRUE(eventually([] { return TrelUsb::list_unopened().size() == 1; }));
    const TrelUnopenedPrinter row = TrelUsb::list_unopened()[0];
    EXPECT_EQ(row.address, TrelDeviceAddress(1, 5));
    EXPECT_EQ(row.reason, GetParam().reason) << trel_status_name(row.reason);
    EXPECT_EQ(row.node, "/dev/bus/usb/001/005");
    EXPECT_TRUE(TrelUsb::list_connected().empty());
    EXPECT_EQ(TrelUsb::list_attached().size(), 1u);

    // Whoever has the node open is named; this process (the virtual bus keeps
    // the node open itself) never is.
    EXPECT_FALSE(TrelUsb::node_holder(row.node).has_value());
    if (GetParam().reason == TREL_ERROR_BUSY) {
        NodeHolderProcess holder(SimEnvironment::bus().rootDir() + row.node);
        ASSERT_TRUE(eventually([&] { return TrelUsb::node_holder(row.node).has_value(); }));
        const TrelNodeHolder found = *TrelUsb::node_holder(row.node);
        EXPECT_EQ(found.pid, holder.pid);
        EXPECT_EQ(found.name, "sh");
    }

    GetParam().refuse(printer, false);
    ASSERT_TRUE(client.waitForEvents(1, 5s));
    EXPECT_EQ(TrelUsb::list_unopened().size(), 0u);
    EXPECT_EQ(out.text(), ""); // a refused probe is not an error of ours
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, Unopened,
    testing::Values(
        UnopenedCase{"NoPermission", [](VirtualPrinter& p, bool on) { p.denyAccess(on); },
                     TREL_ERROR_ACCESS},
        UnopenedCase{"HeldByAnotherProgram",
                     [](VirtualPrinter& p, bool on) { p.failClaims(0, on ? 1000000 : 0); },
                     TREL_ERROR_BUSY}),
    [](const testing::TestParamInfo<UnopenedCase>& i) { return i.param.name; });

TEST_F(UsbBackend, AnotherProgramCannotClaimAnOpenPrinter)
{
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));

    // What a second program would do: its own context, its own open file.
    libusb_context* other = nullptr;
    ASSERT_EQ(libusb_init(&other), 0);
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(other, 0x2B75, 0x0002);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_BUSY);
    libusb_close(handle);
    libusb_exit(other);

    // Closed by us, the printer is free for others.
    TrelUsb::close({1, 5});
    ASSERT_EQ(libusb_init(&other), 0);
    handle = libusb_open_device_with_vid_pid(other, 0x2B75, 0x0002);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(libusb_claim_interface(handle, 0), 0);
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(other);
}

TEST_F(UsbBackend, ProbeFailuresAreSilentAndRetried)
{
    StdoutCapture out;
    RecordingUsbClient client(TREL_USB_INTERFACE_COMMAND);
    VirtualPrinter held(bus(), at(1, 5));
    held.failClaims(0, 2);
    held.plug();
    ASSERT_TRUE(client.waitForEvents(1, 5s));
    EXPECT_EQ(out.text(), "");
}

TEST_F(UsbBackend, OtherChannelKeepsTheBackEndAliveAndLateClientsHearOfOpenPrintersOnce)
{
    RecordingUsbClient job(TREL_USB_INTERFACE_JOB);
    VirtualPrinter printer(bus(), at(1, 5));
    {
        RecordingUsbClient command(TREL_USB_INTERFACE_COMMAND);
        printer.plug();
        ASSERT_TRUE(command.waitForEvents(1));
    }
    EXPECT_EQ(TrelUsb::list_connected().size(), 1u);
    printer.sendRaw(VirtualPrinter::Job, {'x'});
    ASSERT_TRUE(job.waitForChunks(1));

    // A client registered later hears of it while it registers, once.
    RecordingUsbClient late(TREL_USB_INTERFACE_COMMAND);
    EXPECT_EQ(late.events(), Strings{"+1:5"});
    std::this_thread::sleep_for(TWO_SCANS);
    EXPECT_EQ(late.events(), Strings{"+1:5"});
}

namespace {
class ThrowingClient : public RecordingUsbClient
{
public:
    using RecordingUsbClient::RecordingUsbClient;
    ~ThrowingClient() override { unregister(); }
    void data_received(unsigned char* d, unsigned int n, TrelDeviceAddress a) override
    {
        RecordingUsbClient::data_received(d, n, a);
        if (n && d[0] == '!')
            throw TrelException("client refused the chunk");
    }
};
} // namespace

TEST_F(UsbBackend, ClientExceptionsStopAtTheReceiveCallback)
{
    StdoutCapture out;
    ThrowingClient client(TREL_USB_INTERFACE_JOB);
    VirtualPrinter printer(bus(), at(1, 5));
    printer.plug();
    ASSERT_TRUE(client.waitForEvents(1));

    printer.sendRaw(VirtualPrinter::Job, {'!'});
    printer.sendRaw(VirtualPrinter::Job, {'o', 'k'});
    ASSERT_TRUE(client.waitForChunks(2));
    EXPECT_EQ(client.received(), (Strings{"!", "ok"}));
    EXPECT_TRUE(out.contains("Receive failed on 1:5 - client refused the chunk\n"));
}
