// The road of one print through the library: a real slicer file pushed with
// TrelJobInterface::SendJobFile to a virtual printer over the real libusb; the
// printer checks size and checksum, waits for its button, calibrates, prints
// and returns to idle, and every state reaches StatusReceived.
#include "Eventually.h"
#include "SimEnvironment.h"
#include "TestClient.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <trel/TrelException.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

using namespace zelktest;
using namespace std::chrono_literals;
using zelksim::VirtualPrinter;

namespace {

const TrelDeviceAddress PRINTER(1, 5);

std::string stateOf(const TrelJobInterface::StatusMsg& s)
{
    return s.status.state.size() > 6 ? s.status.state.substr(6) : s.status.state;
}

class PrintThroughLibrary : public testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        printer.setTimeScale(2000);
        printer.printModel().setAnnounceChanges(true);
        printer.plug();
        ASSERT_TRUE(client.waitConnected(PRINTER));
    }

    // Waits until the printer reports `state`; returns false on timeout.
    bool waitForState(const std::string& state, std::chrono::milliseconds timeout = 30s)
    {
        return client.waitUntil(
            [&](TestClient& c) {
                return std::any_of(c.statuses.begin(), c.statuses.end(),
                                   [&](const auto& s) { return stateOf(s) == state; });
            },
            timeout);
    }

    TestClient client;
    VirtualPrinter printer{SimEnvironment::bus()};
};

std::vector<std::string> printFiles()
{
    std::vector<std::string> files = {ZELK_GCODE_EXCERPT};
    // The whole file too, where the machine has the shared corpus.
    if (std::ifstream(ZELK_SHARED_GCODE "/benchy-slic3r-1.33.gcode").good())
        files.push_back(ZELK_SHARED_GCODE "/benchy-slic3r-1.33.gcode");
    return files;
}

} // namespace

TEST_P(PrintThroughLibrary, ASlicerFilePrintsFromPushToIdle)
{
    std::vector<double> pushed;
    client.SendJobFile(
        PRINTER, GetParam(),
        [](double percent, std::string, void* user) {
            static_cast<std::vector<double>*>(user)->push_back(percent);
        },
        &pushed, false);
    ASSERT_FALSE(pushed.empty());
    EXPECT_EQ(pushed.back(), 100.0);

    ASSERT_TRUE(waitForState("JOB_QUEUED")) << "size or checksum refused?";
    printer.pressButton();
    ASSERT_TRUE(waitForState("BUILDING"));
    ASSERT_TRUE(client.waitUntil(
        [](TestClient& c) {
            bool built = false;
            for (const auto& s : c.statuses) {
                built = built || stateOf(s) == "BUILDING";
                if (built && stateOf(s) == "IDLE")
                    return true;
            }
            return false;
        },
        120s));

    // The states in the order the printer passed them, each once.
    std::vector<std::string> states;
    std::vector<int> progress;
    int worstError = 0;
    for (const auto& s : client.statusCopy()) {
        if (states.empty() || states.back() != stateOf(s))
            states.push_back(stateOf(s));
        if (stateOf(s) == "BUILDING")
            progress.push_back(s.job.progress);
        worstError = std::max(worstError, s.error);
    }
    EXPECT_EQ(worstError, 0);
    auto position = [&](const std::string& state) {
        return std::find(states.begin(), states.end(), state) - states.begin();
    };
    ASSERT_LT(position("FILE_RX"), static_cast<long>(states.size()));
    EXPECT_LT(position("FILE_RX"), position("JOB_QUEUED"));
    EXPECT_LT(position("JOB_QUEUED"), position("HOMING_INIT"));
    EXPECT_LT(position("HOMING_INIT"), position("HOMING_COMPLETE"));
    EXPECT_LT(position("HOMING_COMPLETE"), position("BUILDING"));
    EXPECT_LT(position("BUILDING"), static_cast<long>(states.size()) - 1);
    EXPECT_EQ(states.back(), "IDLE");
    ASSERT_GE(progress.size(), 3u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LT(progress.front(), progress.back());
}

INSTANTIATE_TEST_SUITE_P(Files, PrintThroughLibrary, testing::ValuesIn(printFiles()),
                         [](const testing::TestParamInfo<std::string>& i) {
                             return i.index == 0 ? std::string("Excerpt") : std::string("Whole");
                         });

class PushChecks : public PrintThroughLibrary
{};

TEST_F(PushChecks, AWrongChecksumIsRefusedAndReported)
{
    const std::string body = "G28\nG1 X10 Y10 F3000\n";
    const std::string header =
        TrelJobInterface::file_push_header(body.size(), 12345, ""); // not the checksum
    client.SendJobData(PRINTER, reinterpret_cast<const unsigned char*>(header.data()),
                       static_cast<unsigned int>(header.size()));
    client.SendJobData(PRINTER, reinterpret_cast<const unsigned char*>(body.data()),
                       static_cast<unsigned int>(body.size()));
    ASSERT_TRUE(client.waitUntil([](TestClient& c) {
        return std::any_of(c.statuses.begin(), c.statuses.end(), [](const auto& s) {
            return s.error == zelksim::PrintJobModel::ChecksumMismatch;
        });
    }));
    EXPECT_FALSE(waitForState("JOB_QUEUED", 300ms));
}
