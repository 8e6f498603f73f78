// The launcher's remote control: commands reach the named printer, bad lines
// are refused without touching anything, and the socket is the user's only,
// bounded and careful with paths that exist.
#include "Eventually.h"
#include "SimEnvironment.h"

#include <ControlServer.h>
#include <FirmwareModel.h>
#include <PrintJobModel.h>
#include <SimControl.h>
#include <VirtualPrinter.h>

#include <gtest/gtest.h>

#include <fstream>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace zelktest;
using zelksim::ControlServer;
using zelksim::PrintJobModel;
using zelksim::SimControl;
using zelksim::VirtualPrinter;

namespace {

VirtualPrinter::Options at(uint8_t bus, uint8_t address)
{
    VirtualPrinter::Options o;
    o.bus = bus;
    o.address = address;
    return o;
}

std::string socketPath(const char* name)
{
    return "/tmp/zelksim-test-" + std::to_string(getpid()) + "-" + name;
}

class Control : public testing::Test
{
protected:
    VirtualPrinter first{SimEnvironment::bus(), at(1, 5)};
    VirtualPrinter second{SimEnvironment::bus(), at(2, 9)};
    SimControl control{{&first, &second}};
};

} // namespace

TEST_F(Control, CommandsReachTheNamedPrinterOrTheFirst)
{
    first.plug();
    second.plug();
    EXPECT_EQ(control.execute("unplug 2:9"), "ok");
    EXPECT_TRUE(first.isPlugged());
    EXPECT_FALSE(second.isPlugged());
    EXPECT_EQ(control.execute("list"), "ok 1:5=IDLE 2:9=unplugged");
    EXPECT_EQ(control.execute("plug 2:9"), "ok");
    EXPECT_TRUE(second.isPlugged());

    EXPECT_EQ(control.execute("unload"), "ok");
    EXPECT_EQ(first.printModel().state(), PrintJobModel::State::UnloadHeating);
    EXPECT_EQ(second.printModel().state(), PrintJobModel::State::Idle);
    EXPECT_EQ(control.execute("abort 1:5"), "ok");
    EXPECT_EQ(first.printModel().state(), PrintJobModel::State::Idle);
    EXPECT_EQ(control.execute("load 2:9"), "error: refused with 6");

    EXPECT_EQ(control.execute("time-scale 2:9 250"), "ok");
    EXPECT_EQ(second.firmware().timeScale(), 250);
    EXPECT_EQ(control.execute("heater-fault on"), "ok");
    EXPECT_EQ(control.execute("unload"), "ok");
    EXPECT_EQ(control.execute("hold 2:9 HOMING_XY"), "ok");
    EXPECT_EQ(control.execute("release 2:9"), "ok");
    EXPECT_EQ(control.execute("announce 2:9 on"), "ok");
    EXPECT_EQ(control.execute("fault 2:9 leading-garbage 3"), "ok");
    EXPECT_EQ(control.execute("command-fault bio_get_version no-return"), "ok");
    EXPECT_EQ(control.execute("command-fault servo_dc_config_set no-response-after-acting 2"),
              "ok");
    EXPECT_EQ(control.execute("timeout-writes job 1"), "ok");
    EXPECT_EQ(control.execute("fail-receive command stall"), "ok");
    EXPECT_EQ(control.execute("deny-access 2:9 on"), "ok");
    EXPECT_EQ(control.execute("deny-access 2:9 off"), "ok");
    EXPECT_EQ(control.execute("claim-busy on"), "ok");
    EXPECT_EQ(control.execute("claim-busy off"), "ok");
    EXPECT_EQ(control.execute("response-delay 0"), "ok");
    EXPECT_EQ(control.execute("filament-out 50"), "ok");
    EXPECT_EQ(control.execute("press-button"), "ok");
    EXPECT_EQ(control.execute("status 2:9").rfind("ok {\"metadata\":", 0), 0u);
    EXPECT_EQ(control.execute("help").rfind("ok Control commands", 0), 0u);
}

TEST_F(Control, BadLinesAreRefusedAndChangeNothing)
{
    first.plug();
    const struct
    {
        std::string line;
        std::string reply;
    } cases[] = {
        {"", "error: empty command"},
        {"   ", "error: empty command"},
        {"reboot-the-world", "error: unknown command reboot-the-world"},
        {"press-button 7:7", "error: no printer 7:7"},
        {"press-button now", "error: usage: see help"},
        {"unplug 1:5 extra", "error: usage: see help"},
        {"time-scale 0", "error: time scale must be above 0 and at most 100000"},
        {"time-scale -3", "error: time scale must be above 0 and at most 100000"},
        {"time-scale nan", "error: time scale must be above 0 and at most 100000"},
        {"time-scale 1e9", "error: time scale must be above 0 and at most 100000"},
        {"filament-out 101", "error: usage: see help"},
        {"filament-out 5x", "error: usage: see help"},
        {"heater-fault yes", "error: usage: see help"},
        {"hold LOITERING", "error: usage: see help"},
        {"fault melt", "error: usage: see help"},
        {"command-fault rm;-rf no-return", "error: usage: see help"},
        {"timeout-writes usb 3", "error: usage: see help"},
        {"deny-access maybe", "error: usage: see help"},
        {"response-delay 99999999999999", "error: usage: see help"},
        {"press-button\x01", "error: unexpected character"},
        {"a b c d e f g h i", "error: too many words"},
        {std::string(SimControl::MAX_LINE + 1, 'a'), "error: line too long"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(control.execute(c.line), c.reply) << c.line;
    EXPECT_TRUE(first.isPlugged());
    EXPECT_EQ(first.firmware().timeScale(), 1.0);
    EXPECT_EQ(first.printModel().state(), PrintJobModel::State::Idle);
}

TEST_F(Control, NoPrinterNoAction)
{
    SimControl empty;
    EXPECT_EQ(empty.execute("press-button"), "error: no printer");
    EXPECT_EQ(empty.execute("list"), "ok");
}

TEST(ControlServer, OneLineInOneReplyOut)
{
    const std::string path = socketPath("echo");
    std::vector<std::string> seen;
    {
        ControlServer server(path, [&](const std::string& line) {
            seen.push_back(line);
            return "ok " + line;
        });
        struct stat st
        {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u) << "the user's only";
        EXPECT_EQ(ControlServer::send(path, "press-button 1:5"), "ok press-button 1:5");
        EXPECT_EQ(ControlServer::send(path, std::string(SimControl::MAX_LINE + 50, 'x')),
                  "error: line too long");
        EXPECT_EQ(ControlServer::send(path, "status"), "ok status");
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"press-button 1:5", "status"}));
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "removed when the server goes";
    EXPECT_THROW(ControlServer::send(path, "status"), std::runtime_error);
}

TEST(ControlServer, ClientThatSendsNothingIsCutOff)
{
    const std::string path = socketPath("silent");
    ControlServer server(path, [](const std::string&) { return std::string("ok"); });
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    shutdown(fd, SHUT_WR); // an empty line, then end of input
    char buf[64] = {};
    EXPECT_GT(recv(fd, buf, sizeof buf - 1, 0), 0);
    close(fd);
    EXPECT_EQ(ControlServer::send(path, "x"), "ok") << "the next client is served";
}

TEST(ControlServer, ExistingPathsAreHandledWithCare)
{
    const auto ok = [](const std::string&) { return std::string("ok"); };
    // A regular file is never replaced.
    const std::string file = socketPath("file");
    std::ofstream(file) << "keep me";
    EXPECT_THROW(ControlServer(file, ok), std::runtime_error);
    std::ifstream in(file);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "keep me");
    unlink(file.c_str());

    // A live socket belongs to another launcher.
    const std::string live = socketPath("live");
    {
        ControlServer running(live, ok);
        EXPECT_THROW(ControlServer(live, ok), std::runtime_error);
        EXPECT_EQ(ControlServer::send(live, "x"), "ok");
    }

    // A stale one (its launcher died) is taken over.
    const std::string stale = socketPath("stale");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(fd);
    ControlServer takeover(stale, ok);
    EXPECT_EQ(ControlServer::send(stale, "x"), "ok");

    EXPECT_THROW(ControlServer("/tmp/" + std::string(200, 'p'), ok), std::runtime_error);
}
