// The framing transport: two-way exchanges with virtual printers over the real
// libusb (faults on the wire, concurrency, disconnects, timeouts), and the
// frame receiver fed directly, chunk by chunk.
#include "Eventually.h"
#include "SimEnvironment.h"
#include "StdoutCapture.h"
#include "TestTransport.h"

#include <VirtualPrinter.h>

#include <trel/TrelException.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace zelktest;
using namespace std::chrono_literals;
using zelksim::VirtualPrinter;
using Strings = std::vector<std::string>;
using Fault = VirtualPrinter::Fault;

namespace {

const TrelDeviceAddress PRINTER(1, 5);

std::string frame(const std::string& payload)
{
    const auto f = VirtualPrinter::frame(payload);
    return std::string(f.begin(), f.end());
}

// A debug event carrying `text`, as the printer frames it.
std::string debugEventJson(const std::string& text, const std::string& extra = "")
{
    std::string codes;
    for (unsigned char c : text)
        codes += std::to_string(c) + ",";
    return "{\"transport\":{\"attrs\":[\"request\",\"oneway\"],\"id\":77},\"data\":{\"event\":{"
           "\"name\":\"debug_event\"" +
           extra + ",\"args\":{\"text\":[" + codes + "0]}}}}";
}
std::string debugEvent(const std::string& text)
{
    return frame(debugEventJson(text));
}

class Transport : public testing::Test
{
protected:
    void SetUp() override
    {
        printer.plug();
        ASSERT_TRUE(transport.waitFor(true, PRINTER));
    }

    TestTransport transport;
    VirtualPrinter printer{SimEnvironment::bus()};
};

} // namespace

TEST_F(Transport, TwoWayRequestGetsTheResponseWithItsId)
{
    NamedCommand cmd(transport, "bio_get_serial", 1);
    EXPECT_EQ(cmd.send(PRINTER), TREL_SUCCESS);
    ASSERT_TRUE(cmd.response_available());
    EXPECT_EQ(cmd.response()->id(), cmd.id());
    EXPECT_EQ(cmd.responseName, "bio_get_serial");
    EXPECT_EQ(cmd.responseIdx, 1);

    const Strings seen = printer.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], cmd.compile());
}

class TransportFaults : public Transport, public testing::WithParamInterface<Fault>
{};

std::string faultName(const testing::TestParamInfo<Fault>& info)
{
    static const char* const names[] = {
        "NoResponse",      "LeadingGarbage",  "BadComplementFirst", "WrongTrailerFirst",
        "ZeroLengthFirst", "UnparsableFirst", "NoTransportFirst",   "NonArrayAttrsFirst",
        "MissingIdFirst",  "OneByteChunks",   "PackedWithEvent"};
    return names[static_cast<int>(info.param)];
}

TEST_P(TransportFaults, BrokenFramesAreDroppedAndTheResponseStillArrives)
{
    StdoutCapture out;
    printer.injectFault(GetParam());
    NamedCommand cmd(transport, "bio_get_version");
    cmd.send(PRINTER);
    EXPECT_TRUE(cmd.response_available()) << out.text();
    EXPECT_EQ(cmd.responseName, "bio_get_version");

    if (GetParam() == Fault::NonArrayAttrsFirst) {
        EXPECT_TRUE(out.contains("TrelTransport: dropped a message from 1:5 - Transport failed "
                                 "to supply attributes.\n"));
    }
    if (GetParam() == Fault::MissingIdFirst) {
        EXPECT_TRUE(out.contains(
            "TrelTransport: dropped a message from 1:5 - Transport failed to supply id.\n"));
    }
    EXPECT_FALSE(out.contains("TrelMessage:")) << out.text();

    // And the stream is in step for the next exchange.
    NamedCommand next(transport, "bio_get_serial");
    next.send(PRINTER);
    EXPECT_TRUE(next.response_available());
}

INSTANTIATE_TEST_SUITE_P(Wire, TransportFaults,
                         testing::Values(Fault::LeadingGarbage, Fault::BadComplementFirst,
                                         Fault::WrongTrailerFirst, Fault::ZeroLengthFirst,
                                         Fault::UnparsableFirst, Fault::NoTransportFirst,
                                         Fault::NonArrayAttrsFirst, Fault::MissingIdFirst,
                                         Fault::OneByteChunks, Fault::PackedWithEvent),
                         faultName);

TEST_F(Transport, EventPackedWithAResponseIsDeliveredToo)
{
    printer.injectFault(Fault::PackedWithEvent);
    NamedCommand cmd(transport, "bio_get_version");
    cmd.send(PRINTER);
    ASSERT_TRUE(cmd.response_available());
    ASSERT_TRUE(transport.waitForDebugTexts(1));
    EXPECT_EQ(transport.debugEvents(), Strings{"packed"});
}

TEST_F(Transport, ConcurrentRequestsToOnePrinterAreSentOneAfterTheOther)
{
    printer.setResponseDelay(50ms);
    std::vector<std::unique_ptr<NamedCommand>> cmds;
    for (const char* name : {"alpha", "beta", "gamma", "delta"})
        cmds.push_back(std::make_unique<NamedCommand>(transport, name));
    std::vector<std::thread> threads;
    for (auto& c : cmds)
        threads.emplace_back([&c] { c->send(PRINTER); });
    for (auto& t : threads)
        t.join();

    for (auto& c : cmds) {
        ASSERT_TRUE(c->response_available()) << c->name;
        EXPECT_EQ(c->responseName, c->name);
        EXPECT_EQ(c->response()->id(), c->id());
    }
    EXPECT_EQ(printer.maxOutstanding(), 1);
}

TEST_F(Transport, DisconnectDuringAWaitEndsItAtOnce)
{
    StdoutCapture out;
    printer.injectFault(Fault::NoResponse);
    NamedCommand cmd(transport, "bio_get_version");
    TrelStatus status = TREL_SUCCESS;
    std::thread sender([&] { status = cmd.send(PRINTER); });
    ASSERT_TRUE(printer.waitForRequests(1, 5s));
    printer.unplug();
    sender.join(); // with the product's 15 s wait in force

    EXPECT_EQ(status, TREL_ERROR_NO_DEVICE);
    EXPECT_FALSE(cmd.response_available());
    EXPECT_TRUE(out.contains("TrelMessage: " + std::to_string(cmd.id()) +
                             " -- Transport Error - No response received.\n"))
        << out.text();
    EXPECT_TRUE(transport.waitFor(false, PRINTER));
}

TEST_F(Transport, FrameCutShortByAPullDoesNotSwallowTheNextPrintersAnswers)
{
    // The start of a frame that announces 2000 bytes, then the cable goes.
    StdoutCapture out;
    transport.set_response_timeout(300ms);
    const std::string start = frame(std::string(1999, 'x')).substr(0, 40);
    printer.sendRaw(VirtualPrinter::Command, std::vector<uint8_t>(start.begin(), start.end()));
    NamedCommand before(transport, "bio_get_serial");
    before.send(PRINTER); // answered, and the answer taken as more of that payload
    EXPECT_FALSE(before.response_available());
    printer.unplug();
    ASSERT_TRUE(transport.waitFor(false, PRINTER));
    printer.plug();
    ASSERT_TRUE(transport.waitFor(true, PRINTER, 2));

    transport.set_response_timeout(2000ms);
    NamedCommand after(transport, "bio_get_version");
    after.send(PRINTER);
    EXPECT_TRUE(after.response_available());
    EXPECT_EQ(after.responseName, "bio_get_version");
}

TEST_F(Transport, SilentPrinterTimesTheRequestOut)
{
    EXPECT_EQ(transport.response_timeout(), 15000ms);
    StdoutCapture out;
    transport.set_response_timeout(150ms);
    printer.injectFault(Fault::NoResponse);
    NamedCommand cmd(transport, "bio_get_version");
    EXPECT_EQ(cmd.send(PRINTER), TREL_ERROR_TIMEOUT);
    EXPECT_FALSE(cmd.response_available());
    EXPECT_EQ(out.text(), "TrelMessage: " + std::to_string(cmd.id()) +
                              " -- Transport Error - Waiting for response to request timed out.\n");

    // A late response for that id finds nobody waiting and is dropped.
    printer.sendFrame("{\"transport\":{\"attrs\":[\"response\"],\"id\":" +
                      std::to_string(cmd.id()) + "},\"data\":{}}");
    NamedCommand next(transport, "bio_get_serial");
    next.send(PRINTER);
    EXPECT_TRUE(next.response_available());
    EXPECT_EQ(next.responseName, "bio_get_serial");
}

TEST_F(Transport, FailedWriteIsReportedAndNothingWaits)
{
    StdoutCapture out;
    TrelUsb::set_write_timeout(40);
    printer.timeoutWrites(VirtualPrinter::Command, 4);
    NamedCommand cmd(transport, "bio_get_version");
    const TrelStatus status = cmd.send(PRINTER);
    TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
    EXPECT_EQ(status, TREL_ERROR_IO); // the printer is still there
    EXPECT_FALSE(cmd.response_available());
    EXPECT_EQ(out.text(),
              "TrelMessage: " + std::to_string(cmd.id()) + " -- Send failed - libusb error: -7\n");
}

TEST_F(Transport, RequestToAPrinterThatIsNotConnectedFailsAtOnce)
{
    StdoutCapture out;
    NamedCommand cmd(transport, "bio_get_version");
    EXPECT_EQ(cmd.send({9, 9}), TREL_ERROR_NO_DEVICE);
    EXPECT_FALSE(cmd.response_available());
    EXPECT_EQ(out.text(), "TrelMessage: " + std::to_string(cmd.id()) +
                              " -- Transport Error - Device has been disconnected.\n");
}

TEST_F(Transport, ALateTransportHearsOfPrintersOpenedBeforeItAndCanTalkToThem)
{
    // The first client of a process missed printers already plugged in: its
    // job channel starts the back end, whose first scan opened them before
    // the transport was registered. Any client registered after a printer
    // opened is in that place.
    TestTransport late;
    ASSERT_TRUE(late.waitFor(true, PRINTER));
    NamedCommand cmd(late, "bio_get_version");
    EXPECT_EQ(cmd.send(PRINTER), TREL_SUCCESS);
    std::this_thread::sleep_for(600ms); // a bus scan: no second notice
    EXPECT_EQ(late.notices().size(), 1u);
}

TEST_F(Transport, ASenderThatWaitedWhileItsPrinterWasReplacedSendsNothing)
{
    // The first sender's request goes unanswered; the second waits for the
    // printer's lock. Meanwhile the printer re-enumerates at the same
    // address. The waiting sender used to take the old printer's lock and
    // talk to the new printer alongside that printer's own exchanges, and,
    // woken by the disconnect, report its answered request as unanswered.
    StdoutCapture out;
    printer.injectFault(Fault::NoResponse);
    NamedCommand first(transport, "bio_get_version");
    NamedCommand second(transport, "bio_get_serial");
    TrelStatus firstStatus = TREL_SUCCESS, secondStatus = TREL_SUCCESS;
    std::thread a([&] { firstStatus = first.send(PRINTER); });
    ASSERT_TRUE(printer.waitForRequests(1, 5s));
    std::atomic<bool> bStarted{false};
    std::thread b([&] {
        bStarted = true;
        secondStatus = second.send(PRINTER);
    });
    ASSERT_TRUE(eventually([&] { return bStarted.load(); }));
    std::this_thread::sleep_for(200ms); // b now waits for the printer's lock
    transport.reportReEnumeration(PRINTER);
    a.join();
    b.join();

    EXPECT_EQ(firstStatus, TREL_ERROR_NO_DEVICE);
    EXPECT_EQ(secondStatus, TREL_ERROR_NO_DEVICE);
    EXPECT_TRUE(out.contains("TrelMessage: " + std::to_string(second.id()) +
                             " -- Transport Error - Device has been disconnected.\n"))
        << out.text();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(printer.requestCount(), 1u); // the waiting sender sent nothing
    NamedCommand after(transport, "bio_get_version");
    EXPECT_EQ(after.send(PRINTER), TREL_SUCCESS); // the new printer's session works
}

TEST_F(Transport, ADeliveredResponseNoLongerPointsIntoItsFreedParseTree)
{
    // The tree is freed once the response is handed over; the kept message
    // still said it was parsed, and its readers read freed memory.
    NamedCommand cmd(transport, "bio_get_version");
    ASSERT_EQ(cmd.send(PRINTER), TREL_SUCCESS);
    std::shared_ptr<TrelMessage> response = cmd.response();
    EXPECT_FALSE(response->is_parsed());
    EXPECT_EQ(response->get_unparsed_data(), nullptr);
    EXPECT_EQ(TrelCommand::get_unparsed_command(response), nullptr);
    EXPECT_EQ(TrelCommand::get_unparsed_return(response), nullptr);
    EXPECT_EQ(TrelCommand::get_unparsed_cmd_name(response), "");
    EXPECT_EQ(cmd.responseName, "bio_get_version"); // read while it was delivered
}

TEST_F(Transport, TeardownEndsTheExchangesOfItsClientAndWaitsForThem)
{
    // A device layer's pool was still inside send_message(), waiting for an
    // answer, while its client was destroyed: the sender then erased its
    // entry from a destroyed table. Another client keeps the printer open
    // here, so nothing but the teardown can end the wait.
    StdoutCapture out;
    auto doomed = std::make_unique<TestTransport>();
    printer.injectFault(Fault::NoResponse);
    NamedCommand waiting(*doomed, "bio_get_version");
    std::atomic<bool> returned{false};
    TrelStatus status = TREL_SUCCESS;
    std::thread sender([&] {
        status = waiting.send(PRINTER); // 15 s to wait
        returned = true;
    });
    ASSERT_TRUE(printer.waitForRequests(1, 5s));

    doomed->stop();
    EXPECT_TRUE(eventually([&] { return returned.load(); }, 1s)); // woken at once
    EXPECT_EQ(status, TREL_ERROR_NO_DEVICE);
    NamedCommand late(*doomed, "bio_get_serial");
    EXPECT_EQ(late.send(PRINTER), TREL_ERROR_NO_DEVICE);
    EXPECT_TRUE(out.contains("TrelMessage: " + std::to_string(late.id()) +
                             " -- Transport Error - The client is shutting down.\n"))
        << out.text();
    EXPECT_EQ(printer.requestCount(), 1u);
    sender.join();
    doomed.reset();
}

TEST(TransportStart, NoticesWaitUntilTheObjectIsBuilt)
{
    // A notice that arrived while the derived object was still being built
    // called into it half-made (from the base's own constructor: a pure
    // virtual call that aborted the process). Notices are held until the
    // derived class says it is ready.
    class Slow : public TrelTransport
    {
    public:
        explicit Slow(VirtualPrinter& printer)
        {
            printer.plug(); // announced while this object is still being built
            std::this_thread::sleep_for(1200ms);
            ready = true;
            start_callbacks();
        }
        ~Slow() override { stop_callbacks(); }
        void device_connected(TrelDeviceAddress) override
        {
            sawReady = ready.load();
            connected = true;
        }
        void device_disconnected(TrelDeviceAddress) override {}
        std::atomic<bool> ready{false}, sawReady{false}, connected{false};
    };
    VirtualPrinter printer(SimEnvironment::bus());
    Slow slow(printer);
    ASSERT_TRUE(eventually([&] { return slow.connected.load(); }));
    EXPECT_TRUE(slow.sawReady);
}

TEST(TransportStart, AClientThatNeverOpensTheDoorIsToldOnce)
{
    // It heard of no printer, and nothing said why.
    class Forgetful : public TrelTransport
    {
    public:
        ~Forgetful() override { stop_callbacks(); }
        void device_connected(TrelDeviceAddress) override {}
        void device_disconnected(TrelDeviceAddress) override {}
    };
    StdoutCapture out;
    VirtualPrinter printer(SimEnvironment::bus());
    printer.plug();
    Forgetful client;
    const std::string line = "TrelTransport: 1 printer notice(s) held for 5 s: this client has "
                             "not called start_callbacks(), so it hears of no printer.\n";
    ASSERT_TRUE(out.waitFor(line, 10s)) << out.text();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(out.text().find(line), out.text().rfind(line));
}

TEST_F(Transport, OneWayMessageReturnsAfterItsWrites)
{
    transport.set_response_timeout(std::chrono::minutes(10)); // a wait would hang the test
    TrelMessage note(transport, TREL_ATTR_REQUEST | TREL_ATTR_ONEWAY, nullptr);
    note.send(PRINTER);
    EXPECT_FALSE(note.response_available());
    ASSERT_TRUE(printer.waitForRequests(1, 5s));
    EXPECT_EQ(printer.requests()[0], note.compile());
    EXPECT_EQ(printer.writesReceived(VirtualPrinter::Command), 2); // header, then body
}

TEST_F(Transport, FirmwareEventsReachTheirHandlersAndUnknownOnesNothing)
{
    printer.sendEvent("no_such_event", "{\"text\":[120,0]}");
    printer.sendEvent("debug_event", "{}");
    printer.sendEvent("debug_event", "{\"text\":[104,105,0]}");
    ASSERT_TRUE(transport.waitForDebugTexts(2));
    EXPECT_EQ(transport.debugEvents(), (Strings{"", "hi"}));
}

TEST_F(Transport, TextTooLongForAFrameIsRefused)
{
    StdoutCapture out;
    class Big : public TrelCommand
    {
    public:
        using TrelCommand::TrelCommand;
        void compile_command(yajl_gen gen) override
        {
            gen_string(gen, "pad");
            gen_string(gen, std::string(70000, 'x'));
        }
    } big(transport);
    EXPECT_EQ(big.send(PRINTER), TREL_ERROR_INVALID_ARGUMENT);
    EXPECT_FALSE(big.response_available());
    EXPECT_TRUE(out.contains("Transport Error - Message too long to frame."));
    EXPECT_EQ(printer.writesReceived(VirtualPrinter::Command), 0);
}

// ---------------------------------------------------------------------------
// The frame receiver, fed directly

struct FrameCase
{
    const char* name;
    std::string bytes;
    Strings delivered;
};

class FrameReceiver : public testing::TestWithParam<FrameCase>
{};

TEST_P(FrameReceiver, DeliversExactlyTheGoodFrames)
{
    StdoutCapture out;
    // Every split of the stream must give the same result.
    for (size_t chunk : {64u, 1u, 2u, 3u, 4u, 5u, 7u, 63u}) {
        TestTransport fresh;
        fresh.feed(GetParam().bytes, chunk);
        EXPECT_EQ(fresh.debugEvents(), GetParam().delivered) << "chunks of " << chunk;
    }
}

namespace {
std::string withTrailer(std::string f, char trailer)
{
    f.back() = trailer;
    return f;
}
std::string badComplement(std::string f)
{
    f[3] = static_cast<char>(f[3] ^ 0x10);
    return f;
}
} // namespace

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameReceiver,
    testing::Values(
        FrameCase{"OneFrame", debugEvent("a"), {"a"}},
        FrameCase{"TwoFramesInOneChunk", debugEvent("a") + debugEvent("b"), {"a", "b"}},
        FrameCase{"BytesBeforeTheStart", std::string("xx\0;;", 5) + debugEvent("a"), {"a"}},
        FrameCase{"DollarInsidePayload",
                  frame(debugEventJson("$$", ",\"pad\":\"$\\u0001$;$\"")) + debugEvent("b"),
                  {"$$", "b"}},
        FrameCase{"EmptyPayload", std::string("$\x01\x00\xfe\xff;", 6) + debugEvent("a"), {"a"}},
        FrameCase{"BadComplement", badComplement(debugEvent("x")) + debugEvent("a"), {"a"}},
        FrameCase{"WrongTrailer", withTrailer(debugEvent("x"), 'X') + debugEvent("a"), {"a"}},
        FrameCase{"TrailerThatStartsTheNextFrame",
                  debugEvent("x").substr(0, debugEvent("x").size() - 1) + debugEvent("a"),
                  {"a"}},
        FrameCase{"NotJson", frame("{\"transport\":") + debugEvent("a"), {"a"}},
        FrameCase{"NoTransport", frame("{\"data\":{\"event\":{}}}") + debugEvent("a"), {"a"}},
        FrameCase{"DataNotAnObject",
                  frame("{\"transport\":{\"attrs\":[],\"id\":1},\"data\":[]}") + debugEvent("a"),
                  {"a"}},
        FrameCase{"AttrsNotAnArray",
                  frame("{\"transport\":{\"attrs\":{},\"id\":1},\"data\":{}}") + debugEvent("a"),
                  {"a"}},
        FrameCase{"IdNotANumber",
                  frame("{\"transport\":{\"attrs\":[],\"id\":\"1\"},\"data\":{}}") +
                      debugEvent("a"),
                  {"a"}}),
    [](const testing::TestParamInfo<FrameCase>& i) { return i.param.name; });

TEST(FrameReceiverLength, ZeroLengthHeaderExpects65535PayloadBytes)
{
    TestTransport transport;
    // L = 0 passes the complement check (0 ^ 0xFFFF) and wraps to 65535
    // payload bytes: whatever follows is payload until that many have come.
    std::string payload = debugEventJson("big");
    payload.resize(65535, ' ');
    transport.feed(std::string("$\x00\x00\xff\xff", 5) + debugEvent("swallowed"));
    EXPECT_TRUE(transport.debugEvents().empty());

    TestTransport exact;
    exact.feed(std::string("$\x00\x00\xff\xff", 5) + payload + ";" + debugEvent("next"));
    EXPECT_EQ(exact.debugEvents(), (Strings{"big", "next"}));
}

TEST(FrameReceiverErrors, ReceiveErrorsArePrintedAndTheStreamGoesOn)
{
    StdoutCapture out;
    TestTransport transport;
    transport.feed(frame("{\"transport\":{\"attrs\":\"request\",\"id\":1},\"data\":{}}") +
                   frame("{\"transport\":{\"attrs\":[]},\"data\":{}}") + debugEvent("a"));
    EXPECT_EQ(transport.debugEvents(), Strings{"a"});
    EXPECT_EQ(out.text(),
              "TrelTransport: dropped a message from 1:5 - Transport failed to supply "
              "attributes.\n"
              "TrelTransport: dropped a message from 1:5 - Transport failed to supply id.\n");
}
