// The virtual printer prints: a host pushes files, polls, pauses and aborts on
// the job channel and runs the filament commands on the command channel, all
// through the real libusb, and follows the printer in its status messages
// (the printer announces every change, so no transient state is missed).
#include "Eventually.h"
#include "SimEnvironment.h"

#include <FirmwareModel.h>
#include <Json.h>
#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <trel/TrelUsb.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>

using namespace zelktest;
using namespace std::chrono_literals;
using zelksim::PrintJobModel;
using zelksim::VirtualPrinter;
using Strings = std::vector<std::string>;

namespace {

const TrelDeviceAddress PRINTER(1, 5);
// Simulated seconds per real one: a whole print of the test file, with homing
// and heating, takes about a second.
constexpr double SCALE = 400;
// Guards against hangs only; nothing here is timed.
constexpr auto WAIT = 30s;

const std::string STATUS = R"({"metadata":{"version":1,"type":"status"}})";
const std::string PAUSE = R"({"metadata":{"version":1,"type":"pause"}})";
const std::string ABORT = R"({"metadata":{"version":1,"type":"abort"}})";

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string& squareFile()
{
    static const std::string file = readFile(ZELK_SIM_TEST_DATA "/calibration-square.gcode");
    return file;
}

uint32_t adler(const std::string& data)
{
    return static_cast<uint32_t>(
        adler32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string header(long long size, long long checksum, const std::string& id = "")
{
    return R"({"metadata":{"version":1,"type":"file_push"},"file_push":{"size":)" +
           std::to_string(size) + R"(,"adler32":)" + std::to_string(checksum) + R"(,"job_id":")" +
           id + R"("}})";
}

struct Status
{
    std::string state; // without the prefix
    std::string prefix;
    int progress = 0;
    int error = 0;
    std::string filament;
    double temperature = 0;
    std::string jobId, file;
    long long elapsed = 0, boot = 0, idle = 0;
    std::string model, cpuId, fwName, fwVersion;
    long long accept = 0;
};

// The host's side of the job channel, as a test sees it: writes through the
// real libusb and cuts what comes back into objects by counting braces, as
// the library does (so an unbalanced brace inside a printer's string would
// show here too), keeping the text between objects apart.
class JobHost : public TrelUsbClient
{
public:
    JobHost() { TrelUsb::client_register(*this, TREL_USB_INTERFACE_JOB); }
    ~JobHost() override { TrelUsb::client_unregister(*this, TREL_USB_INTERFACE_JOB); }

    void usb_device_connected(TrelDeviceAddress) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++connects;
        rx.clear();
        changed.notify_all();
    }
    void usb_device_disconnected(TrelDeviceAddress) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rx.clear();
    }
    void data_received(unsigned char* data, unsigned int length, TrelDeviceAddress) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rx.append(reinterpret_cast<const char*>(data), length);
        int depth = 0;
        size_t start = 0;
        for (size_t i = 0; i < rx.size(); ++i) {
            if (rx[i] == '{' && depth++ == 0) {
                text += rx.substr(start, i - start);
                start = i;
            } else if (rx[i] == '}' && depth > 0 && --depth == 0) {
                take(rx.substr(start, i + 1 - start));
                start = i + 1;
            }
        }
        if (depth == 0) {
            text += rx.substr(start);
            start = rx.size();
        }
        rx.erase(0, start);
        changed.notify_all();
    }

    bool waitConnected(int times = 1)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, WAIT, [&] { return connects >= times; });
    }

    void write(const std::string& bytes)
    {
        TrelUsb::write(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<unsigned int>(bytes.size()), PRINTER, TREL_USB_INTERFACE_JOB);
    }
    // As the library pushes a file: the header, then blocks of `block` bytes.
    void push(const std::string& file, size_t block = 5120)
    {
        write(header(static_cast<long long>(file.size()), adler(file)));
        for (size_t at = 0; at < file.size(); at += block)
            write(file.substr(at, block));
    }

    // Requests a status and returns the next one that arrives.
    Status poll()
    {
        const size_t before = count();
        write(STATUS);
        EXPECT_TRUE(waitStatuses(before + 1));
        std::lock_guard<std::mutex> lock(mutex);
        return statuses.size() > before ? statuses[before] : Status();
    }

    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses.size();
    }
    bool waitStatuses(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, WAIT, [&] { return statuses.size() >= n; });
    }
    // Waits for a status (from index `from` on) in the given state.
    bool waitState(const std::string& state, size_t from = 0)
    {
        return waitFor([&](const Status& s) { return s.state == state; }, from);
    }
    bool waitText(const std::string& s)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, WAIT, [&] { return text.find(s) != std::string::npos; });
    }

    std::vector<Status> all()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses;
    }
    Status last()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses.empty() ? Status() : statuses.back();
    }
    // The states of the statuses from index `from` on, repeats folded.
    Strings states(size_t from = 0)
    {
        const std::vector<Status> list = all();
        Strings s;
        for (size_t i = from; i < list.size(); ++i)
            if (s.empty() || s.back() != list[i].state)
                s.push_back(list[i].state);
        return s;
    }
    // Waits for a status (from index `from` on) that satisfies `pred`.
    bool waitFor(const std::function<bool(const Status&)>& pred, size_t from = 0)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, WAIT, [&] {
            return std::any_of(statuses.begin() +
                                   static_cast<long>(std::min(from, statuses.size())),
                               statuses.end(), pred);
        });
    }
    std::string printerText()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return text;
    }
    Strings unparsable()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return broken;
    }

private:
    void take(const std::string& object)
    {
        zelksim::json::Tree t = zelksim::json::parse(object);
        if (!t) {
            broken.push_back(object);
            return;
        }
        using zelksim::json::at;
        using zelksim::json::integer;
        using zelksim::json::string;
        yajl_val root = t.get();
        if (string(at(root, {"metadata", "type"})) != "status")
            return;
        Status s;
        const std::string state = string(at(root, {"status", "state"}));
        s.prefix = state.substr(0, 6);
        s.state = state.size() > 6 ? state.substr(6) : "";
        s.progress = static_cast<int>(integer(at(root, {"job", "progress"}), -1));
        s.error = static_cast<int>(integer(at(root, {"error"}), -1));
        s.filament = string(at(root, {"status", "filament"}));
        yajl_val temp = at(root, {"status", "extruder_temperature"});
        s.temperature = YAJL_IS_NUMBER(temp) ? YAJL_GET_DOUBLE(temp) : -1;
        s.jobId = string(at(root, {"job", "id"}));
        s.file = string(at(root, {"job", "file"}));
        s.elapsed = integer(at(root, {"job", "time_elapsed"}), -1);
        s.boot = integer(at(root, {"time", "boot"}), -1);
        s.idle = integer(at(root, {"time", "idle"}), -1);
        s.model = string(at(root, {"printer", "model_name"}));
        s.cpuId = string(at(root, {"printer", "cpu_id"}));
        s.fwName = string(at(root, {"printer", "firmware", "name"}));
        s.fwVersion = string(at(root, {"printer", "firmware", "version"}));
        s.accept = integer(at(root, {"printer", "accept_version"}), -1);
        statuses.push_back(s);
    }

    std::mutex mutex; // guards everything below
    std::condition_variable changed;
    int connects = 0;
    std::string rx;
    std::string text;
    std::vector<Status> statuses;
    Strings broken;
};

// The host's side of the command channel, framed as the firmware expects:
// runs firmware commands and collects the events the printer sends.
class CommandHost : public TrelUsbClient
{
public:
    CommandHost() { TrelUsb::client_register(*this, TREL_USB_INTERFACE_COMMAND); }
    ~CommandHost() override { TrelUsb::client_unregister(*this, TREL_USB_INTERFACE_COMMAND); }

    void usb_device_connected(TrelDeviceAddress) override {}
    void usb_device_disconnected(TrelDeviceAddress) override {}
    void data_received(unsigned char* data, unsigned int length, TrelDeviceAddress) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rx.append(reinterpret_cast<const char*>(data), length);
        for (;;) {
            const size_t start = rx.find('$');
            if (start == std::string::npos || rx.size() < start + 5) {
                rx.erase(0, start == std::string::npos ? rx.size() : start);
                break;
            }
            const auto b = [&](size_t i) { return static_cast<uint8_t>(rx[start + i]); };
            const size_t n = b(1) | b(2) << 8;
            if (rx.size() < start + 5 + n)
                break;
            take(rx.substr(start + 5, n - 1));
            rx.erase(0, start + 5 + n);
        }
        changed.notify_all();
    }

    // Runs a firmware command without arguments and returns its "__return__".
    long long call(const std::string& name)
    {
        long long id;
        {
            std::lock_guard<std::mutex> lock(mutex);
            id = ++nextId;
        }
        const std::string payload =
            R"({"transport":{"attrs":["request","twoway"],"id":)" + std::to_string(id) +
            R"(},"data":{"command":{"idx":0,"name":")" + name + R"(","args":{}}}})";
        const size_t length = payload.size() + 1;
        std::string frame = "$";
        for (size_t v : {length, ~length & 0xffff}) {
            frame.push_back(static_cast<char>(v & 0xff));
            frame.push_back(static_cast<char>(v >> 8 & 0xff));
        }
        frame += payload + ";";
        TrelUsb::write(reinterpret_cast<const unsigned char*>(frame.data()),
                       static_cast<unsigned int>(frame.size()), PRINTER,
                       TREL_USB_INTERFACE_COMMAND);
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, WAIT, [&] { return returns.count(id) > 0; })) << name;
        return returns.count(id) ? returns[id] : -1000;
    }

    bool waitEvent(const std::string& name, const std::string& text = "")
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, WAIT, [&] {
            return std::any_of(events.begin(), events.end(), [&](const auto& e) {
                return e.first == name && e.second.find(text) != std::string::npos;
            });
        });
    }

private:
    void take(const std::string& payload)
    {
        zelksim::json::Tree t = zelksim::json::parse(payload);
        if (!t)
            return;
        using zelksim::json::at;
        if (yajl_val event = at(t.get(), {"data", "event"})) {
            std::string text;
            yajl_val bytes = at(event, {"args", "text"});
            if (YAJL_IS_ARRAY(bytes))
                for (size_t i = 0; i < bytes->u.array.len; ++i)
                    if (const long long c = zelksim::json::integer(bytes->u.array.values[i]))
                        text.push_back(static_cast<char>(c));
            events.emplace_back(zelksim::json::string(at(event, {"name"})), text);
            return;
        }
        const long long id = zelksim::json::integer(at(t.get(), {"transport", "id"}), -1);
        returns[id] = zelksim::json::integer(at(t.get(), {"data", "command", "__return__"}), -999);
    }

    std::mutex mutex; // guards everything below
    std::condition_variable changed;
    std::string rx;
    long long nextId = 0;
    std::map<long long, long long> returns;
    std::vector<std::pair<std::string, std::string>> events;
};

class PrintJob : public testing::Test
{
protected:
    void SetUp() override
    {
        printer.setTimeScale(SCALE);
        model().setAnnounceChanges(true);
        printer.plug();
        ASSERT_TRUE(job.waitConnected());
    }

    PrintJobModel& model() { return printer.printModel(); }

    // Pushes the test file and presses the button once it is queued.
    void startPrint(const std::string& file = squareFile())
    {
        const size_t from = job.count();
        job.push(file);
        ASSERT_TRUE(job.waitState("JOB_QUEUED", from));
        printer.pressButton();
    }
    // Holds the printer in `state` (BUILDING: at `percent`) once it gets
    // there and waits until it does: the host's request then meets that state.
    bool reachAndHold(PrintJobModel::State state, int percent, const std::function<void()>& start)
    {
        model().holdAt(state, percent);
        start();
        return eventually([&] { return model().isHeld(); }, WAIT);
    }

    VirtualPrinter printer{SimEnvironment::bus()};
    JobHost job;
    CommandHost command;
};

const Strings HOMING = {"HOMING_INIT",   "HOMING_HEATING",  "HOMING_XY", "HOMING_Z_ROUGH",
                        "HOMING_Z_FINE", "HOMING_COMPLETE", "JOB_PREP"};

Strings concat(std::initializer_list<Strings> parts)
{
    Strings all;
    for (const Strings& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Progress in BUILDING never falls, and the statuses after the first print
// report carry progress 100.
void expectRisingProgressTo100(const std::vector<Status>& statuses)
{
    int last = 0;
    std::set<int> seen;
    for (const Status& s : statuses) {
        if (s.state != "BUILDING")
            continue;
        EXPECT_GE(s.progress, last);
        last = s.progress;
        seen.insert(s.progress);
    }
    EXPECT_EQ(last, 100);
    EXPECT_GE(seen.size(), 3u) << "progress should rise in steps";
}

} // namespace

TEST_F(PrintJob, IdleStatusAnswersARequestWithIdentity)
{
    const Status s = job.poll();
    EXPECT_EQ(s.prefix.size(), 6u);
    EXPECT_EQ(s.prefix, PrintJobModel::STATE_PREFIX);
    EXPECT_EQ(s.state, "IDLE");
    EXPECT_EQ(s.model, "Zelk");
    EXPECT_EQ(s.cpuId.size(), 24u);
    EXPECT_EQ(s.cpuId.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_FALSE(s.fwName.empty());
    EXPECT_EQ(s.fwVersion, printer.firmware().firmwareVersion());
    EXPECT_EQ(s.accept, 1);
    EXPECT_EQ(s.filament, "loaded");
    EXPECT_NEAR(s.temperature, 22.0, 1.0);
    EXPECT_EQ(s.error, 0);
    EXPECT_EQ(s.progress, 0);
    EXPECT_GE(s.boot, 0);
    EXPECT_GE(s.idle, 0);
    EXPECT_TRUE(job.unparsable().empty());
}

TEST_F(PrintJob, WholePrintFromPushThroughButtonToIdle)
{
    job.push(squareFile());
    ASSERT_TRUE(job.waitState("JOB_QUEUED"));
    // Queued jobs wait for the button however long it takes.
    EXPECT_EQ(job.poll().state, "JOB_QUEUED");
    EXPECT_EQ(job.poll().state, "JOB_QUEUED");

    const size_t started = job.count();
    printer.pressButton();
    ASSERT_TRUE(job.waitState("IDLE", started));

    EXPECT_EQ(job.states(), concat({{"FILE_RX", "JOB_QUEUED"}, HOMING, {"BUILDING", "IDLE"}}));
    const auto all = job.all();
    expectRisingProgressTo100(all);
    const auto building =
        std::find_if(all.begin(), all.end(), [](const Status& s) { return s.state == "BUILDING"; });
    ASSERT_NE(building, all.end());
    EXPECT_NEAR(building->temperature, 205.0, PrintJobModel::GUARD_BAND_C + 0.1)
        << "preheated to the file's temperature";
    const Status done = job.poll();
    EXPECT_EQ(done.state, "IDLE");
    EXPECT_EQ(done.progress, 100);
    EXPECT_EQ(done.error, 0);
    EXPECT_EQ(done.jobId, "job-1");
    EXPECT_EQ(done.file, "job-1.gcode");
    EXPECT_GT(done.elapsed, 60) << "the file alone takes over a minute of machine time";

    // What the printer says along the way: its console on the job channel,
    // debug and servo trace events on the command channel.
    const std::string text = job.printerText();
    EXPECT_NE(text.find("echo:File received: job-1.gcode, " + std::to_string(squareFile().size())),
              std::string::npos);
    EXPECT_NE(text.find("echo:Printing calibration square"), std::string::npos) << "M117";
    EXPECT_NE(text.find("T:"), std::string::npos);
    EXPECT_NE(text.find("echo:Done printing job-1.gcode"), std::string::npos);
    EXPECT_TRUE(command.waitEvent("debug_event", "job: state BUILDING"));
    EXPECT_TRUE(command.waitEvent("servo_dc_trace_event"));
    EXPECT_TRUE(job.unparsable().empty());
}

TEST_F(PrintJob, HotPrinterCoolsToProbeTemperatureBeforeHoming)
{
    printer.firmware().setExtruderTarget(240);
    ASSERT_TRUE(eventually([&] { return printer.firmware().extruderTemperature() > 200; }, WAIT));
    startPrint();
    ASSERT_TRUE(job.waitState("IDLE", 2));
    EXPECT_EQ(job.states(), concat({{"FILE_RX", "JOB_QUEUED", "HOMING_INIT", "HOMING_COOLING"},
                                    Strings(HOMING.begin() + 2, HOMING.end()),
                                    {"BUILDING", "IDLE"}}));
}

// --- file push faults -------------------------------------------------------------

namespace {

struct PushFault
{
    const char* name;
    std::function<void(JobHost&, PrintJobModel&)> push;
    int error;
    std::string state; // where the printer ends up
};

const PushFault PUSH_FAULTS[] = {
    {"WrongChecksum",
     [](JobHost& h, PrintJobModel&) {
         const std::string& f = squareFile();
         h.write(header(static_cast<long long>(f.size()), adler(f) ^ 1) + f);
     },
     PrintJobModel::ChecksumMismatch, "IDLE"},
    {"SizeTooSmallLeavesSurplusThatIsSkipped",
     [](JobHost& h, PrintJobModel&) {
         const std::string& f = squareFile();
         h.write(header(static_cast<long long>(f.size()) - 10, adler(f)));
         h.write(f);
     },
     PrintJobModel::ChecksumMismatch, "IDLE"},
    {"SizeTooLargeStallsAndIsGivenUp",
     [](JobHost& h, PrintJobModel& m) {
         m.setReceiveTimeout(300ms);
         const std::string& f = squareFile();
         h.write(header(static_cast<long long>(f.size()) + 100, adler(f)));
         h.write(f);
     },
     PrintJobModel::TransferIncomplete, "IDLE"},
    {"EmptyFileIsRefused", [](JobHost& h, PrintJobModel&) { h.write(header(0, 0)); },
     PrintJobModel::FileRejected, "IDLE"},
    {"NegativeSizeIsRefused", [](JobHost& h, PrintJobModel&) { h.write(header(-5, 0)); },
     PrintJobModel::FileRejected, "IDLE"},
    {"FileLargerThanTheStorageIsRefused",
     [](JobHost& h, PrintJobModel& m) {
         m.setStorageCapacity(1000);
         h.push(squareFile());
     },
     PrintJobModel::FileRejected, "IDLE"},
    {"HeaderWithoutChecksumSkipsTheFile",
     [](JobHost& h, PrintJobModel&) {
         h.write(R"({"metadata":{"version":1,"type":"file_push"},"file_push":{"size":5}})");
         h.write("G28\n{");
     },
     PrintJobModel::FileRejected, "IDLE"},
    {"SecondFileWhileOneIsQueuedIsRefusedAndSkipped",
     [](JobHost& h, PrintJobModel&) {
         h.push(squareFile());
         EXPECT_TRUE(h.waitState("JOB_QUEUED"));
         h.push("G28\n" + STATUS + ABORT); // would abort and answer if read as messages
     },
     PrintJobModel::Busy, "JOB_QUEUED"},
};

class PushFaults : public PrintJob, public testing::WithParamInterface<PushFault>
{};

} // namespace

TEST_P(PushFaults, AreReportedAndTheChannelStaysInStep)
{
    const PushFault& c = GetParam();
    c.push(job, model());
    // No polling before the error shows: a request sent while the printer
    // still receives would be file data.
    ASSERT_TRUE(job.waitFor([&](const Status& s) { return s.error == c.error; }));
    // The printer reads on: the next request is answered, with the error.
    const Status s = job.poll();
    EXPECT_EQ(s.error, c.error);
    EXPECT_EQ(s.state, c.state);
    EXPECT_TRUE(job.waitText("Error:"));
    // Nothing of the faulty file made it to a print.
    printer.pressButton();
    if (c.state == "IDLE") {
        EXPECT_EQ(job.poll().state, "IDLE");
        EXPECT_EQ(job.poll().error, 0) << "the button acknowledges the error";
    }
    EXPECT_TRUE(job.unparsable().empty());
}

INSTANTIATE_TEST_SUITE_P(PrintJob, PushFaults, testing::ValuesIn(PUSH_FAULTS),
                         [](const testing::TestParamInfo<PushFault>& param) {
                             return param.param.name;
                         });

// --- pause, resume, abort -----------------------------------------------------------

TEST_F(PrintJob, PauseFreezesThePrintUntilResumed)
{
    for (const bool byButton : {false, true}) {
        SCOPED_TRACE(byButton ? "resumed by the button" : "resumed by a second pause request");
        const size_t from = job.count();
        ASSERT_TRUE(reachAndHold(PrintJobModel::State::Building, 20, [&] { startPrint(); }));
        job.write(PAUSE);
        ASSERT_TRUE(job.waitState("PAUSED", from));
        const int frozen = job.poll().progress;
        EXPECT_EQ(job.poll().progress, frozen);
        EXPECT_EQ(job.poll().state, "PAUSED");

        const size_t resumed = job.count();
        if (byButton)
            printer.pressButton();
        else
            job.write(PAUSE);
        ASSERT_TRUE(job.waitState("IDLE", resumed));
        EXPECT_EQ(job.states(resumed), (Strings{"UNPAUSED", "BUILDING", "IDLE"}));
        EXPECT_EQ(job.last().progress, 100);
        const Strings before = job.states(from);
        const auto paused = std::find(before.begin(), before.end(), "EXEC_PAUSE_CMD");
        ASSERT_NE(paused, before.end());
        EXPECT_EQ(*std::next(paused), "PAUSED");
        const auto all = job.all();
        expectRisingProgressTo100(
            std::vector<Status>(all.begin() + static_cast<long>(from), all.end()));
    }
}

TEST_F(PrintJob, PauseOrAbortWithNothingToDoChangesNothing)
{
    job.write(PAUSE);
    job.write(ABORT);
    ASSERT_TRUE(job.waitText("nothing to abort"));
    EXPECT_NE(job.printerText().find("nothing to pause"), std::string::npos);
    EXPECT_EQ(job.poll().state, "IDLE");
}

namespace {

struct AbortCase
{
    const char* name;
    PrintJobModel::State when; // the state the abort is sent in
    int percent;
    bool pauseFirst;
};

class Aborts : public PrintJob, public testing::WithParamInterface<AbortCase>
{};

using S = PrintJobModel::State;
const AbortCase ABORTS[] = {
    {"WhileQueued", S::JobQueued, 0, false},  {"WhileHomingXY", S::HomingXY, 0, false},
    {"WhilePreparing", S::JobPrep, 0, false}, {"WhileBuilding", S::Building, 30, false},
    {"WhilePaused", S::Building, 10, true},
};

} // namespace

TEST_P(Aborts, DropTheJobAndCool)
{
    const AbortCase& c = GetParam();
    ASSERT_TRUE(reachAndHold(c.when, c.percent, [&] {
        job.push(squareFile());
        if (c.when != S::JobQueued) {
            ASSERT_TRUE(job.waitState("JOB_QUEUED"));
            printer.pressButton();
        }
    }));
    if (c.pauseFirst) {
        job.write(PAUSE);
        ASSERT_TRUE(job.waitState("PAUSED"));
    }
    const size_t from = job.count();
    job.write(ABORT);
    ASSERT_TRUE(job.waitState("IDLE", from));
    EXPECT_TRUE(job.waitText("echo:aborted"));
    const Status s = job.poll();
    EXPECT_EQ(s.state, "IDLE");
    EXPECT_EQ(s.error, 0);
    EXPECT_LT(s.progress, 100);
    EXPECT_LE(printer.firmware().extruderTemperature(), s.temperature + 0.1) << "cooling";
    // The job is gone: the button starts nothing.
    printer.pressButton();
    EXPECT_EQ(job.poll().state, "IDLE");
}

INSTANTIATE_TEST_SUITE_P(PrintJob, Aborts, testing::ValuesIn(ABORTS),
                         [](const testing::TestParamInfo<AbortCase>& param) {
                             return param.param.name;
                         });

// --- filament -------------------------------------------------------------------------

namespace {

struct FilamentStep
{
    const char* what;
    std::function<long long(CommandHost&, VirtualPrinter&)> act;
    long long returned; // the command's acknowledgement
    Strings states;     // reported after the step, in order
    int error;
    std::string filament;
};

long long load(CommandHost& c, VirtualPrinter&)
{
    return c.call("load_initiate");
}
long long unload(CommandHost& c, VirtualPrinter&)
{
    return c.call("unload_initiate");
}
std::function<long long(CommandHost&, VirtualPrinter&)> withHeater(bool broken, decltype(&load) act)
{
    return [broken, act](CommandHost& c, VirtualPrinter& p) {
        p.printModel().setHeaterFault(broken);
        // A broken heater is found out by a ten-minute timeout: run it faster.
        p.setTimeScale(broken ? 10 * SCALE : SCALE);
        return act(c, p);
    };
}

const FilamentStep FILAMENT_STEPS[] = {
    {"load while loaded", load, 0, {"IDLE"}, 6, "loaded"},
    {"unload", unload, 0, {"REMFIL_HEATING", "REMFIL_RETRACTING", "IDLE"}, 0, "unloaded"},
    {"unload while unloaded", unload, 0, {"IDLE"}, 11, "unloaded"},
    {"load, never confirmed",
     load,
     0,
     {"LOADFIL_HEATING", "LOADFIL_EXTRUDING", "IDLE"},
     9,
     "unloaded"},
    {"load with a broken heater",
     withHeater(true, load),
     0,
     {"LOADFIL_HEATING", "IDLE"},
     8,
     "unloaded"},
    {"load, confirmed by the button",
     withHeater(false, load),
     0,
     {"LOADFIL_HEATING", "LOADFIL_EXTRUDING", "IDLE"},
     0,
     "loaded"},
    {"unload with a broken heater",
     withHeater(true, unload),
     0,
     {"REMFIL_HEATING", "IDLE"},
     13,
     "loaded"},
};

} // namespace

TEST_F(PrintJob, FilamentProceduresAndTheirErrors)
{
    for (const FilamentStep& step : FILAMENT_STEPS) {
        SCOPED_TRACE(step.what);
        const size_t from = job.count();
        if (std::string(step.what).find("button") != std::string::npos) {
            ASSERT_TRUE(reachAndHold(PrintJobModel::State::LoadExtruding, 0, [&] {
                EXPECT_EQ(step.act(command, printer), step.returned);
            }));
            printer.pressButton();
        } else {
            EXPECT_EQ(step.act(command, printer), step.returned);
        }
        ASSERT_TRUE(job.waitState("IDLE", from + step.states.size() - 1));
        Strings entered = job.states(from);
        EXPECT_EQ(entered, step.states);
        const Status s = job.poll();
        EXPECT_EQ(s.error, step.error);
        EXPECT_EQ(s.filament, step.filament);
        EXPECT_EQ(s.state, "IDLE");
    }
    printer.printModel().setHeaterFault(false);
}

TEST_F(PrintJob, FilamentCommandsWaitWhilePrinting)
{
    ASSERT_TRUE(reachAndHold(PrintJobModel::State::HomingInit, 0, [&] { startPrint(); }));
    EXPECT_EQ(command.call("load_initiate"), 0);
    EXPECT_EQ(command.call("unload_initiate"), 0);
    EXPECT_TRUE(job.waitText("busy, cannot unload filament now"));
    EXPECT_EQ(model().loadFilament(), PrintJobModel::FILAMENT_BUSY);
    EXPECT_EQ(job.poll().state, "HOMING_INIT");
    model().release();
    ASSERT_TRUE(job.waitState("IDLE", 2));
    EXPECT_EQ(job.last().error, 0);
    EXPECT_EQ(job.last().filament, "loaded");
}

TEST_F(PrintJob, OutOfFilamentPausesUntilUnloadAndLoad)
{
    printer.runOutOfFilament(40);
    startPrint();
    ASSERT_TRUE(job.waitState("FILAMENT_OUT"));
    Status s = job.poll();
    EXPECT_EQ(s.state, "FILAMENT_OUT");
    EXPECT_GE(s.progress, 40);
    EXPECT_EQ(s.filament, "runout");
    const int stoppedAt = s.progress;

    // Neither the button nor a resume request prints without filament.
    printer.pressButton();
    job.write(PAUSE);
    EXPECT_EQ(job.poll().state, "FILAMENT_OUT");

    size_t from = job.count();
    EXPECT_EQ(command.call("unload_initiate"), 0);
    ASSERT_TRUE(job.waitState("PAUSED", from));
    EXPECT_EQ(job.states(from), (Strings{"REMFIL_HEATING", "REMFIL_RETRACTING", "PAUSED"}));
    printer.pressButton(); // still no filament
    job.write(PAUSE);
    EXPECT_TRUE(job.waitText("Error:load filament before resuming"));
    EXPECT_EQ(job.poll().state, "PAUSED");

    from = job.count();
    ASSERT_TRUE(reachAndHold(PrintJobModel::State::LoadExtruding, 0,
                             [&] { EXPECT_EQ(command.call("load_initiate"), 0); }));
    printer.pressButton();
    ASSERT_TRUE(job.waitState("PAUSED", from));
    s = job.poll();
    EXPECT_EQ(s.filament, "loaded");
    EXPECT_EQ(s.progress, stoppedAt);
    EXPECT_GT(s.temperature, 150) << "kept warm for the print";

    from = job.count();
    printer.pressButton();
    ASSERT_TRUE(job.waitState("IDLE", from));
    EXPECT_EQ(job.states(from), (Strings{"UNPAUSED", "BUILDING", "IDLE"}));
    EXPECT_EQ(job.last().progress, 100);
    EXPECT_EQ(job.last().error, 0);
    expectRisingProgressTo100(job.all());
}

TEST_F(PrintJob, HeaterThatNeverWarmsEndsThePrintWithAnError)
{
    // Broken from the start, homing gives up; broken mid-print, the file's
    // own M109 does.
    const std::string file = "M104 S200\nG1 X10 F600\nM109 S230\nG1 X20\n";
    for (const bool midPrint : {false, true}) {
        SCOPED_TRACE(midPrint ? "mid-print" : "from the start");
        const size_t from = job.count();
        if (midPrint) {
            ASSERT_TRUE(reachAndHold(PrintJobModel::State::Building, 0, [&] { startPrint(file); }));
            model().setHeaterFault(true);
            model().release();
        } else {
            model().setHeaterFault(true);
            startPrint(file);
        }
        printer.setTimeScale(10 * SCALE); // the timeout is ten simulated minutes
        ASSERT_TRUE(job.waitState("IDLE", from));
        const Strings states = job.states(from);
        EXPECT_EQ(states.at(states.size() - 2), midPrint ? "BUILDING" : "HOMING_HEATING");
        EXPECT_EQ(job.last().error, PrintJobModel::HeatingTimeout);
        EXPECT_LT(job.last().progress, 100);
        EXPECT_TRUE(job.waitText("Error:hot end did not reach"));
        model().setHeaterFault(false);
        printer.setTimeScale(SCALE);
    }
}

// --- the channel ------------------------------------------------------------------------

TEST_F(PrintJob, MessagesSplitAnywhereOrPackedAreAllRead)
{
    // One byte per transfer.
    size_t before = job.count();
    for (char c : STATUS)
        job.write(std::string(1, c));
    ASSERT_TRUE(job.waitStatuses(before + 1));

    // Several in one transfer, with text, stray braces and garbage around
    // them: every real message is read once.
    before = job.count();
    job.write("\r\n}}" + STATUS + " ok " + STATUS + "{garbage" + STATUS + "}" + PAUSE);
    ASSERT_TRUE(job.waitText("nothing to pause"));
    ASSERT_TRUE(job.waitStatuses(before + 3));
    EXPECT_EQ(job.poll().state, "IDLE");
    EXPECT_EQ(job.count(), before + 4);
    EXPECT_GT(model().discardedBytes(), 0u);

    // A header, its file and the next request in one transfer, and a file
    // whose pieces end anywhere.
    before = job.count();
    const std::string& f = squareFile();
    job.write(header(static_cast<long long>(f.size()), adler(f)) + f + STATUS);
    ASSERT_TRUE(job.waitState("JOB_QUEUED", before));
    ASSERT_TRUE(job.waitStatuses(before + 3)); // FILE_RX, JOB_QUEUED, the answer
    job.write(ABORT);
    ASSERT_TRUE(job.waitState("IDLE", before + 3));
    for (size_t block : {1u, 7u, 63u, 64u, 65u, 4999u}) {
        SCOPED_TRACE(block);
        before = job.count();
        job.push(f.substr(0, 300 + block), block);
        ASSERT_TRUE(job.waitState("JOB_QUEUED", before));
        EXPECT_EQ(job.last().error, 0);
        job.write(ABORT);
        ASSERT_TRUE(job.waitState("IDLE", before + 1));
    }
    EXPECT_TRUE(job.unparsable().empty());
}

TEST_F(PrintJob, ControlMessagesInsideAFileAreData)
{
    const std::string file = readFile(ZELK_SIM_TEST_DATA "/header-inside-file-data.gcode");
    ASSERT_NE(file.find(STATUS), std::string::npos);
    job.push(file, 16);
    ASSERT_TRUE(job.waitState("JOB_QUEUED"));
    EXPECT_EQ(job.states(), (Strings{"FILE_RX", "JOB_QUEUED"})) << "no answer, no abort";
    EXPECT_EQ(job.last().error, 0) << "checksum over every byte";
    const size_t from = job.count();
    printer.pressButton();
    ASSERT_TRUE(job.waitState("IDLE", from));
    EXPECT_EQ(job.last().progress, 100);
}

TEST_F(PrintJob, UnplugDuringAPushLosesTheFileNotThePrinter)
{
    const std::string& f = squareFile();
    job.write(header(static_cast<long long>(f.size()), adler(f)));
    job.write(f.substr(0, 2000));
    ASSERT_TRUE(job.waitState("FILE_RX"));
    printer.unplug();
    printer.plug();
    ASSERT_TRUE(job.waitConnected(2));
    // The rest of the old file arrives first: the printer must not take it
    // for anything but noise.
    job.write(f.substr(2000));
    Status s = job.poll();
    EXPECT_EQ(s.state, "IDLE");
    EXPECT_EQ(s.error, PrintJobModel::TransferIncomplete);

    const size_t from = job.count();
    job.push(f);
    ASSERT_TRUE(job.waitState("JOB_QUEUED", from));
    EXPECT_EQ(job.last().error, 0);
}

TEST_F(PrintJob, RebootLosesTheJob)
{
    job.push(squareFile());
    ASSERT_TRUE(job.waitState("JOB_QUEUED"));
    model().setCalibrateOnBoot(true);
    const size_t from = job.count();
    model().reboot();
    ASSERT_TRUE(job.waitState("PRE_INIT", from));
    printer.pressButton();
    ASSERT_TRUE(job.waitState("IDLE", from));
    EXPECT_EQ(job.states(from), (Strings{"PRE_INIT", "INIT_MECH", "IDLE"}));
    const Status s = job.poll();
    EXPECT_EQ(s.jobId, "");
    EXPECT_LT(s.boot, 60);
    printer.pressButton();
    EXPECT_EQ(job.poll().state, "IDLE");
}

#ifdef ZELK_REAL_GCODE
// A real slicer's file (present on development machines, not in a clone).
TEST_F(PrintJob, RealSlicerFilePrints)
{
    const std::string file = readFile(ZELK_REAL_GCODE);
    ASSERT_GT(file.size(), 1000000u);
    printer.setTimeScale(20000);
    startPrint(file);
    ASSERT_TRUE(job.waitState("IDLE", 2));
    expectRisingProgressTo100(job.all());
    const Status s = job.poll();
    EXPECT_EQ(s.error, 0);
    EXPECT_EQ(s.progress, 100);
    EXPECT_GT(s.elapsed, 3600) << "a boat takes over an hour";
    const auto all = job.all();
    const auto building = std::find_if(all.begin(), all.end(),
                                       [](const Status& st) { return st.state == "BUILDING"; });
    ASSERT_NE(building, all.end());
    EXPECT_NEAR(building->temperature, 200, PrintJobModel::GUARD_BAND_C + 0.1) << "M109 S200";
}
#endif
