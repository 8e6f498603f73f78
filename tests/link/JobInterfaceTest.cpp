// The job channel: control messages and file pushes byte for byte and write by
// write, the brace-counting receiver, status decoding, and the client that
// brings every interface together.
#include "Eventually.h"
#include "RawPrinter.h"
#include "SimEnvironment.h"
#include "StdoutCapture.h"
#include "TestClient.h"

#include <trel/TrelException.h>

#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

using namespace zelktest;
using Strings = std::vector<std::string>;

namespace {

const TrelDeviceAddress PRINTER(1, 5);
constexpr uint8_t JOB_OUT = 0x04;
constexpr uint8_t JOB_IN = 0x83;

// A scratch file that removes itself.
class TempFile
{
public:
    explicit TempFile(const std::string& content)
    {
        char name[] = "/tmp/zelk-job-XXXXXX";
        const int fd = mkstemp(name);
        path = name;
        if (fd >= 0) {
            if (!content.empty() && ::write(fd, content.data(), content.size()) < 0)
                path.clear();
            ::close(fd);
        }
    }
    ~TempFile() { std::remove(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string path;
};

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>("G1 X10 Y20 E0.5\n"[i % 16]);
    return s;
}

void recordProgress(double percent, std::string jobId, void* user)
{
    EXPECT_EQ(jobId, "");
    static_cast<std::vector<double>*>(user)->push_back(percent);
}

class JobChannel : public testing::Test
{
protected:
    void SetUp() override
    {
        printer.plug();
        ASSERT_TRUE(client.waitConnected(PRINTER));
    }
    // Every write since the printer opened, as it arrived.
    Strings writes() const { return printer.writes(JOB_OUT); }

    TestClient client;
    RawPrinter printer;
};

} // namespace

TEST_F(JobChannel, ControlMessagesAreExactlyTheseBytes)
{
    client.RequestStatus(PRINTER);
    client.SendPause(PRINTER);
    client.SendAbort(PRINTER);
    const unsigned char raw[] = {'M', '1', '1', '7'};
    client.SendJobData(PRINTER, raw, sizeof raw);
    EXPECT_EQ(writes(), (Strings{"{\"metadata\":{\"version\":1,\"type\":\"status\"}}",
                                 "{\"metadata\":{\"version\":1,\"type\":\"pause\"}}",
                                 "{\"metadata\":{\"version\":1,\"type\":\"abort\"}}", "M117"}));
}

struct PushCase
{
    const char* name;
    size_t size;
    std::vector<size_t> blockWrites; // after the header; empty writes make no transfer
    std::vector<double> progress;
};

class FilePush : public JobChannel, public testing::WithParamInterface<PushCase>
{};

TEST_P(FilePush, HeaderThenBlocksWithCappedProgress)
{
    const std::string content = pattern(GetParam().size);
    TempFile file(content);
    std::vector<double> progress;
    client.SendJobFile(PRINTER, file.path, recordProgress, &progress, false);

    const Strings w = writes();
    ASSERT_EQ(w.size(), 1 + GetParam().blockWrites.size());
    const uLong checksum = adler32(0, reinterpret_cast<const Bytef*>(content.data()),
                                   static_cast<uInt>(content.size()));
    EXPECT_EQ(w[0],
              "{\"metadata\":{\"version\":1,\"type\":\"file_push\"},\"file_push\":{\"size\":" +
                  std::to_string(GetParam().size) + ",\"adler32\":" + std::to_string(checksum) +
                  ",\"job_id\":\"\"}}");
    std::string body;
    for (size_t i = 0; i < GetParam().blockWrites.size(); ++i) {
        EXPECT_EQ(w[i + 1].size(), GetParam().blockWrites[i]);
        body += w[i + 1];
    }
    EXPECT_EQ(body, content);

    ASSERT_EQ(progress.size(), GetParam().progress.size());
    for (size_t i = 0; i < progress.size(); ++i)
        EXPECT_NEAR(progress[i], GetParam().progress[i], 0.01) << "call " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FilePush,
    testing::Values(
        PushCase{"Size12000", 12000, {5120, 5120, 1760}, {0.0, 42.67, 85.33, 99.9, 100.0}},
        // The third read returns nothing: an empty write, and one more 99.9.
        PushCase{"Size10240", 10240, {5120, 5120}, {0.0, 50.0, 99.9, 99.9, 100.0}},
        PushCase{"Empty", 0, {}, {0.0, 99.9, 100.0}},
        PushCase{"OneByte", 1, {1}, {0.0, 99.9, 100.0}}),
    [](const testing::TestParamInfo<PushCase>& i) { return i.param.name; });

TEST_F(JobChannel, ChecksumStartsFromZero)
{
    TempFile file("abc");
    client.SendJobFile(PRINTER, file.path, nullptr, nullptr, false);
    ASSERT_FALSE(writes().empty());
    EXPECT_NE(writes()[0].find("\"size\":3,\"adler32\":38404390,"), std::string::npos)
        << writes()[0];
}

TEST_F(JobChannel, RefusedPushesSendNothing)
{
    TempFile file("G28\n");
    auto failure = [&](const std::string& path, bool compress) {
        try {
            client.SendJobFile(PRINTER, path, nullptr, nullptr, compress);
        } catch (const TrelException& e) {
            EXPECT_EQ(e.status(), TREL_ERROR_INVALID_ARGUMENT) << e.what();
            return std::string(e.what());
        }
        return std::string("(no exception)");
    };
    EXPECT_EQ(failure(file.path, true), "Compression not supported yet.");
    // A directory opens but cannot be read: not an empty print.
    EXPECT_EQ(failure("/tmp", false), "Failed to read job file.");
    EXPECT_EQ(failure("/nonexistent/part.gcode", true), "Failed to open job file.");
    EXPECT_EQ(failure("/nonexistent/part.gcode", false), "Failed to open job file.");
    EXPECT_TRUE(writes().empty());
}

TEST_F(JobChannel, WriteFailureReachesTheCaller)
{
    TempFile file(pattern(12000));
    TrelUsb::set_write_timeout(30);
    printer.usb().holdOutUrbs(JOB_OUT, 8); // after the header, every write times out
    std::string failure;
    TrelStatus status = TREL_SUCCESS;
    try {
        client.SendJobFile(PRINTER, file.path, nullptr, nullptr, false);
    } catch (const TrelException& e) {
        failure = e.what();
        status = e.status();
    }
    TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
    EXPECT_EQ(failure, "Send failed - libusb error: -7");
    EXPECT_EQ(status, TREL_ERROR_IO);
}

TEST_F(JobChannel, MessagesFromThePrinterArriveAsStatusAndRawText)
{
    const std::string status = "{\"metadata\":{\"type\":\"status\"},\"status\":{\"state\":"
                               "\"ZK0001IDLE\",\"extruder_temperature\":24.5}}";
    // Two messages in one transfer, split anywhere: both arrive, in order.
    printer.send(JOB_IN, status + "{\"log\":\"T:24.5\"}");
    ASSERT_TRUE(client.waitUntil([](TestClient& c) { return c.jobData.size() >= 2; }));
    EXPECT_EQ(client.jobDataCopy(), (Strings{status, "{\"log\":\"T:24.5\"}"}));
    const auto statuses = client.statusCopy();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status.state, "ZK0001IDLE");
    EXPECT_EQ(statuses[0].status.extruder_temperature, 24.5);
}

// --- the receiver, fed directly

struct SplitCase
{
    const char* name;
    Strings chunks;
    Strings delivered;
};

class JobReceiver : public testing::TestWithParam<SplitCase>
{
protected:
    TestClient client;
};

TEST_P(JobReceiver, CountsBracesAndTakesEveryCompleteMessage)
{
    client.resetJob();
    for (const std::string& chunk : GetParam().chunks)
        client.feedJob(chunk);
    EXPECT_EQ(client.jobDataCopy(), GetParam().delivered);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, JobReceiver,
    testing::Values(
        SplitCase{"OneObject", {"{\"a\":1}"}, {"{\"a\":1}"}},
        SplitCase{"SplitAcrossChunks", {"{\"a\":", "{\"b\":2", "}}"}, {"{\"a\":{\"b\":2}}"}},
        SplitCase{"TwoInOneChunkBothAtOnce", {"{\"a\":1}{\"b\":2}"}, {"{\"a\":1}", "{\"b\":2}"}},
        SplitCase{"StrayClosingBraceIsDropped", {"}{\"a\":1}"}, {"{\"a\":1}"}},
        SplitCase{"TextBeforeAnObjectTravelsWithIt", {"ok\n{\"a\":1}"}, {"ok\n{\"a\":1}"}},
        SplitCase{"TextAloneWaits", {"ok\n"}, {}},
        // Braces count wherever they stand, also inside strings.
        SplitCase{"BraceInsideAString", {"{\"s\":\"}\"}{\"b\":2}"}, {"{\"s\":\"}", "{\"b\":2}"}},
        SplitCase{"Unfinished", {"{\"a\":{\"b\":1}"}, {}}),
    [](const testing::TestParamInfo<SplitCase>& i) { return i.param.name; });

TEST(JobReceiverBounds, AnOpeningBraceThatNeverClosesCannotExhaustMemory)
{
    TestClient client;
    client.resetJob();
    client.feedJob("{\"broken\":");
    const std::string filler(64 * 1024, 'x');
    for (size_t fed = 0; fed <= TrelJobInterface::MAX_MESSAGE; fed += filler.size())
        client.feedJob(filler);
    // The broken message was given up; the next one comes through.
    client.feedJob("{\"metadata\":{\"type\":\"status\"},\"status\":{\"state\":\"ZK0001IDLE\"}}");
    const auto statuses = client.statusCopy();
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].status.state, "ZK0001IDLE");
}

struct FloodCase
{
    const char* name;
    std::string unit; // repeated after one opening brace that never closes
    bool unitIsAMessage;
};

class JobReceiverFlood : public testing::TestWithParam<FloodCase>
{};

TEST_P(JobReceiverFlood, EveryByteIsLookedAtOnceAlsoPastTheLimit)
{
    // Past the limit the receiver gave up one brace at a time and rescanned
    // the buffer from its start for each: 72 ms of the USB thread per
    // 64-byte chunk of opening braces. The objects inside the brace given up
    // still come out, one message each.
    TestClient client;
    client.resetJob();
    const std::string& unit = GetParam().unit;
    const size_t units = (TrelJobInterface::MAX_MESSAGE + 100 * 64) / unit.size();
    std::string stream = "{";
    for (size_t i = 0; i < units; ++i)
        stream += unit;
    unsigned long long most = 0;
    for (size_t pos = 0; pos < stream.size(); pos += 64) {
        const auto before = client.job_bytes_scanned();
        client.feedJob(stream.substr(pos, 64));
        most = std::max(most, client.job_bytes_scanned() - before);
    }
    EXPECT_EQ(most, 64u);
    EXPECT_EQ(client.job_bytes_scanned(), stream.size());
    const auto delivered = client.jobDataCopy();
    EXPECT_EQ(delivered.size(), GetParam().unitIsAMessage ? units : 0u);
    if (!delivered.empty()) {
        EXPECT_EQ(delivered.front(), unit);
        EXPECT_EQ(delivered.back(), unit);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, JobReceiverFlood,
                         testing::Values(FloodCase{"OpeningBraces", "{", false},
                                         FloodCase{"ObjectsInsideABrokenOne", "{\"n\":1}", true}),
                         [](const testing::TestParamInfo<FloodCase>& i) { return i.param.name; });

TEST(JobReceiverBounds, TextBeforeAStatusDoesNotHideIt)
{
    TestClient client;
    client.resetJob();
    const std::string status = "{\"metadata\":{\"type\":\"status\"},\"status\":{\"state\":\"s\"}}";
    client.feedJob("T:210.0 /210.0 ok\n" + status);
    EXPECT_EQ(client.jobDataCopy(), Strings{"T:210.0 /210.0 ok\n" + status});
    EXPECT_EQ(client.statusCopy().size(), 1u);
}

TEST(JobReceiverBounds, ConnectAndDisconnectEmptyTheBuffer)
{
    TestClient client;
    client.resetJob();
    client.feedJob("{\"half\":");
    client.resetJob();
    client.feedJob("{\"a\":1}");
    EXPECT_EQ(client.jobDataCopy(), Strings{"{\"a\":1}"});
}

// --- status decoding

namespace {
TrelJobInterface::StatusMsg decode(const std::string& json)
{
    std::unique_ptr<yajl_val_s, void (*)(yajl_val)> tree(yajl_tree_parse(json.c_str(), nullptr, 0),
                                                         yajl_tree_free);
    EXPECT_NE(tree, nullptr) << json;
    return TrelJobInterface::decode_status(tree.get());
}
} // namespace

TEST(StatusDecoding, EveryMember)
{
    const auto s = decode(
        "{\"metadata\":{\"type\":\"status\"},\"printer\":{\"model_name\":\"Zelk\",\"cpu_id\":"
        "\"c0ffee\",\"firmware\":{\"name\":\"zelkfw\",\"version\":\"1.2.0\"},\"accept_version\":"
        "3},\"status\":{\"state\":\"ZK0001BUILDING\",\"build_plate\":\"ready\",\"filament\":"
        "\"loaded\",\"extruder_temperature\":210},\"job\":{\"id\":\"j1\",\"progress\":42,"
        "\"file\":\"part.gcode\",\"time_elapsed\":600},\"time\":{\"boot\":3600,\"idle\":5},"
        "\"error\":0}");
    EXPECT_EQ(s.printer.model_name, "Zelk");
    EXPECT_EQ(s.printer.cpu_id, "c0ffee");
    EXPECT_EQ(s.printer.firmware.name, "zelkfw");
    EXPECT_EQ(s.printer.firmware.version, "1.2.0");
    EXPECT_EQ(s.printer.accept_version, 3);
    EXPECT_EQ(s.status.state, "ZK0001BUILDING");
    EXPECT_EQ(s.status.build_plate, "ready");
    EXPECT_EQ(s.status.filament, "loaded");
    EXPECT_EQ(s.status.extruder_temperature, 210.0); // an integer in the JSON
    EXPECT_EQ(s.job.id, "j1");
    EXPECT_EQ(s.job.progress, 42);
    EXPECT_EQ(s.job.file, "part.gcode");
    EXPECT_EQ(s.job.time_elapsed, 600);
    EXPECT_EQ(s.time.boot, 3600);
    EXPECT_EQ(s.time.idle, 5);
    EXPECT_EQ(s.error, 0);
}

TEST(StatusDecoding, MissingAndMistypedPartsStayEmpty)
{
    const auto only = decode("{\"status\":{\"state\":\"idle\"}}");
    EXPECT_EQ(only.status.state, "idle");
    EXPECT_EQ(only.printer.model_name, "");
    EXPECT_EQ(only.status.extruder_temperature, 0.0);
    EXPECT_EQ(only.job.progress, 0);
    EXPECT_EQ(only.error, 0);

    const auto wrong = decode("{\"printer\":[],\"status\":{\"state\":7,\"extruder_temperature\":"
                              "\"hot\"},\"job\":{\"progress\":\"50\",\"time_elapsed\":4294967297},"
                              "\"error\":\"bad\",\"errors\":9}");
    EXPECT_EQ(wrong.status.state, "");
    EXPECT_EQ(wrong.status.extruder_temperature, 0.0);
    EXPECT_EQ(wrong.job.progress, 0);
    EXPECT_EQ(wrong.job.time_elapsed, 1); // cut to 32 bits
    EXPECT_EQ(wrong.error, 0);            // "error" is there, so "errors" is not read

    EXPECT_EQ(decode("{\"errors\":8}").error, 8);
}

// --- the client

TEST(Client, TwoClientsInOneProcessBothHearEverything)
{
    TestClient first;
    TestClient second;
    RawPrinter printer;
    printer.plug();
    ASSERT_TRUE(first.waitConnected(PRINTER));
    ASSERT_TRUE(second.waitConnected(PRINTER));

    printer.send(JOB_IN, "{\"metadata\":{\"type\":\"status\"},\"status\":{\"state\":\"s\"}}");
    printer.send(0x81, [] {
        const std::string e = "{\"transport\":{\"attrs\":[\"request\",\"oneway\"],\"id\":1},"
                              "\"data\":{\"event\":{\"name\":\"debug_event\",\"args\":{\"t\":"
                              "[104,105,0]}}}}";
        std::string f = "$";
        const size_t l = e.size() + 1;
        f += static_cast<char>(l & 0xff);
        f += static_cast<char>(l >> 8);
        f += static_cast<char>(~l & 0xff);
        f += static_cast<char>((~l >> 8) & 0xff);
        return f + e + ";";
    }());
    for (TestClient* c : {&first, &second}) {
        EXPECT_TRUE(c->waitUntil([](TestClient& t) { return t.statuses.size() == 1; }));
        EXPECT_TRUE(c->waitUntil([](TestClient& t) { return t.debugTexts.size() == 1; }));
    }
    printer.unplug();
    for (TestClient* c : {&first, &second})
        EXPECT_TRUE(c->waitUntil([](TestClient& t) { return t.disconnects.size() == 1; }));
}
