#include "PrintJobModel.h"

#include "FirmwareModel.h"
#include "Json.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zelksim {

namespace {

constexpr size_t MAX_HISTORY = 4096;
constexpr size_t MAX_TEXT = 64;
constexpr double REPORT_EVERY_S = 2.0; // simulated, between temperature lines
constexpr auto REPORT_EVERY_REAL = std::chrono::milliseconds(500);

// Phase lengths in simulated seconds.
constexpr double INIT_MECH_S = 5;
constexpr double HOMING_INIT_S = 2;
constexpr double HOMING_XY_S = 8;
constexpr double HOMING_Z_ROUGH_S = 6;
constexpr double HOMING_Z_FINE_S = 4;
constexpr double HOMING_COMPLETE_S = 2;
constexpr double PAUSE_S = 3;  // finishing the move and parking the head
constexpr double RESUME_S = 3; // un-parking
constexpr double RETRACT_S = 15;

// Text the printer echoes (job ids, M117 messages, message types) in printable
// ASCII without braces: the host cuts the channel by counting braces, also
// inside strings, so an unbalanced one would cost it its framing.
std::string printable(const std::string& s)
{
    std::string out;
    for (char c : s.substr(0, MAX_TEXT)) {
        if (c == '{')
            c = '(';
        else if (c == '}')
            c = ')';
        else if (c < 0x20 || c > 0x7e)
            c = '?';
        out.push_back(c);
    }
    return out;
}

// One decimal, independent of the C locale.
std::string tenths(double v)
{
    const long long t = std::llround(v * 10);
    const long long a = t < 0 ? -t : t;
    return (t < 0 ? "-" : "") + std::to_string(a / 10) + "." + std::to_string(a % 10);
}

uint32_t fnv(const std::string& s, uint32_t seed)
{
    uint32_t h = 2166136261u ^ seed;
    for (unsigned char c : s)
        h = (h ^ c) * 16777619u;
    return h;
}

std::string deriveCpuId(const std::string& serial)
{
    char buf[25];
    std::snprintf(buf, sizeof buf, "%08X%08X%08X", fnv(serial, 1), fnv(serial, 2), fnv(serial, 3));
    return buf;
}

} // namespace

const char* PrintJobModel::stateName(State s)
{
    switch (s) {
    case State::PreInit:
        return "PRE_INIT";
    case State::InitMech:
        return "INIT_MECH";
    case State::Idle:
        return "IDLE";
    case State::ExecPauseCmd:
        return "EXEC_PAUSE_CMD";
    case State::Paused:
        return "PAUSED";
    case State::Unpaused:
        return "UNPAUSED";
    case State::FileRx:
        return "FILE_RX";
    case State::JobQueued:
        return "JOB_QUEUED";
    case State::JobPrep:
        return "JOB_PREP";
    case State::Building:
        return "BUILDING";
    case State::LoadHeating:
        return "LOADFIL_HEATING";
    case State::LoadExtruding:
        return "LOADFIL_EXTRUDING";
    case State::UnloadHeating:
        return "REMFIL_HEATING";
    case State::UnloadRetracting:
        return "REMFIL_RETRACTING";
    case State::HomingInit:
        return "HOMING_INIT";
    case State::HomingHeating:
        return "HOMING_HEATING";
    case State::HomingCooling:
        return "HOMING_COOLING";
    case State::HomingXY:
        return "HOMING_XY";
    case State::HomingZRough:
        return "HOMING_Z_ROUGH";
    case State::HomingZFine:
        return "HOMING_Z_FINE";
    case State::HomingComplete:
        return "HOMING_COMPLETE";
    case State::FilamentOut:
        return "FILAMENT_OUT";
    }
    return "UNKNOWN";
}

PrintJobModel::PrintJobModel(FirmwareModel& firmware, std::string serial)
    : fw(firmware), cpuId(deriveCpuId(serial)),
      reader({[this](yajl_val o) { onObject(o); },
              [this](const uint8_t* d, size_t n) { onFileData(d, n); }})
{
    scale = fw.timeScale();
    realAnchor = Clock::now();
    history_.push_back(state_);
}

PrintJobModel::~PrintJobModel() = default;

void PrintJobModel::setOutput(Output output)
{
    std::lock_guard<std::mutex> lock(mutex);
    out = std::move(output);
}

// --- time ---------------------------------------------------------------------

double PrintJobModel::simNow() const
{
    const auto now = Clock::now();
    const double s = fw.timeScale();
    if (s != scale) {
        // The scale changed since the last look: what passed until now ran
        // at the old one.
        simAnchor += std::chrono::duration<double>(now - realAnchor).count() * scale;
        realAnchor = now;
        scale = s;
    }
    return simAnchor + std::chrono::duration<double>(now - realAnchor).count() * scale;
}

void PrintJobModel::timeScaleChanged()
{
    std::lock_guard<std::mutex> lock(mutex);
    simNow();
}

// --- output -------------------------------------------------------------------

void PrintJobModel::say(const std::string& line)
{
    if (out.job)
        out.job(line + "\n");
}

void PrintJobModel::debugEvent(const std::string& text)
{
    if (!out.event)
        return;
    json::Writer w;
    w.open().key("text").openArray();
    for (unsigned char c : text)
        w.num(static_cast<signed char>(c));
    w.num(0).closeArray().close();
    out.event("debug_event", w.text());
}

void PrintJobModel::traceZ(double fromMm, double toMm)
{
    if (!out.event)
        return;
    constexpr double EU_PER_MM = 100.0;
    const auto goal = static_cast<long long>(toMm * EU_PER_MM);
    const auto from = static_cast<long long>(fromMm * EU_PER_MM);
    for (int i = 0; i <= 4; ++i) {
        const long long pos = from + (goal - from) * i / 4;
        out.event("servo_dc_trace_event",
                  "{\"trace\":{\"servo_name\":2,\"servo_state\":" + std::to_string(i < 4 ? 1 : 0) +
                      ",\"int_cnt\":" + std::to_string(i * 250) +
                      ",\"pos_cmd\":" + std::to_string(goal) + ",\"pos\":" + std::to_string(pos) +
                      ",\"pwm\":" + std::to_string(i < 4 ? -1200 : 0) +
                      ",\"padout_dist\":" + std::to_string(goal - pos) + "}}");
    }
}

std::string PrintJobModel::status() const
{
    const double now = simNow();
    const double elapsed = jobActive ? now - jobStart : jobElapsed;
    json::Writer w;
    w.open().key("metadata").open().key("version").num(1).key("type").str("status").close();
    w.key("printer").open().key("model_name").str("Zelk").key("cpu_id").str(cpuId);
    w.key("firmware").open().key("name").str("zelk-fw").key("version").str(fw.firmwareVersion());
    w.close().key("accept_version").num(1).close();
    w.key("status").open().key("state").str(std::string(STATE_PREFIX) + stateName(state_));
    w.key("build_plate").str("ready").key("filament").str(filament_);
    w.key("extruder_temperature");
    const std::string t = tenths(fw.extruderTemperature());
    yajl_gen_number(w.gen(), t.data(), t.size());
    w.close();
    w.key("job").open().key("id").str(jobId).key("progress").num(progress_);
    w.key("file").str(jobFile).key("time_elapsed").num(static_cast<long long>(elapsed)).close();
    w.key("time").open().key("boot").num(static_cast<long long>(now - bootAt));
    w.key("idle").num(state_ == State::Idle ? static_cast<long long>(now - idleSince) : 0);
    w.close().key("error").num(error_).close();
    return w.text();
}

void PrintJobModel::announce()
{
    if (announceChanges && out.job)
        out.job(status());
}

void PrintJobModel::reportTemperature(double now)
{
    const auto real = Clock::now();
    if (now - lastReport < REPORT_EVERY_S || real - lastReportReal < REPORT_EVERY_REAL)
        return;
    lastReport = now;
    lastReportReal = real;
    say("T:" + tenths(fw.extruderTemperature()) + " /" + tenths(heaterFault ? 0 : target));
}

// --- state --------------------------------------------------------------------

void PrintJobModel::holdIfWanted(State s, double at)
{
    if (holdState != s || (s == State::Building && progress_ < holdPercent))
        return;
    holdState.reset();
    held = true;
    heldAt = at;
    debugEvent(std::string("job: held in ") + stateName(s));
}

void PrintJobModel::enter(State s, double at)
{
    held = false; // leaving a held state ends the hold
    state_ = s;
    since = at;
    if (history_.size() >= MAX_HISTORY)
        history_.erase(history_.begin());
    history_.push_back(s);
    if (s == State::Idle)
        idleSince = at;
    waitingSince = -1; // a wait for heat is timed per stay in BUILDING
    debugEvent(std::string("job: state ") + stateName(s));
    announce();
    holdIfWanted(s, at);
    if (out.wake)
        out.wake();
}

void PrintJobModel::setError(Error e)
{
    if (error_ == e)
        return;
    error_ = e;
    if (e != NoError)
        debugEvent("job: error " + std::to_string(e));
}

void PrintJobModel::fail(Error e, State next, const std::string& why)
{
    setError(e);
    say("Error:" + why);
    if (next == State::Idle) {
        dropJob();
        heat(0);
    }
    enter(next);
}

void PrintJobModel::heat(double celsius)
{
    target = celsius;
    fw.setExtruderTarget(heaterFault ? 0 : celsius);
}

bool PrintJobModel::hot() const
{
    return !heaterFault && target > 0 &&
           std::fabs(fw.extruderTemperature() - target) <= GUARD_BAND_C;
}

bool PrintJobModel::atRest() const
{
    const bool restingState = state_ == State::PreInit || state_ == State::Idle ||
                              state_ == State::Paused || state_ == State::JobQueued ||
                              state_ == State::FilamentOut;
    return restingState && !receiving && !sinking;
}

bool PrintJobModel::tick()
{
    std::lock_guard<std::mutex> lock(mutex);
    const double now = simNow();
    if ((receiving || sinking) && Clock::now() - rxLast > rxTimeout)
        giveUpFile("file transfer stalled after " + std::to_string(rxCount) + " of " +
                   std::to_string(rxSize) + " bytes");
    // Several phases can end within one tick when time runs fast; each is
    // entered at the moment it began, so the next one is timed from there.
    for (int i = 0; i < 64 && step(now); ++i) {
    }
    if (!atRest() && !held)
        reportTemperature(now);
    return receiving || sinking || (!atRest() && !held);
}

// One transition at most; true when the state changed.
bool PrintJobModel::step(double now)
{
    if (held)
        return false;
    const double in = now - since;
    auto after = [&](double seconds, State next) {
        if (in < seconds)
            return false;
        enter(next, since + seconds);
        return true;
    };
    switch (state_) {
    case State::InitMech:
        return after(INIT_MECH_S, State::Idle);
    case State::HomingInit: {
        if (in < HOMING_INIT_S)
            return false;
        const double t = fw.extruderTemperature();
        heat(PROBE_CELSIUS);
        const State next = t < PROBE_CELSIUS - GUARD_BAND_C   ? State::HomingHeating
                           : t > PROBE_CELSIUS + GUARD_BAND_C ? State::HomingCooling
                                                              : State::HomingXY;
        enter(next, since + HOMING_INIT_S);
        return true;
    }
    case State::HomingHeating:
    case State::HomingCooling:
        if (hot()) {
            enter(State::HomingXY, now);
            return true;
        }
        if (in > HEAT_TIMEOUT_S) {
            fail(HeatingTimeout, State::Idle, "hot end did not reach the probing temperature");
            return true;
        }
        return false;
    case State::HomingXY:
        return after(HOMING_XY_S, State::HomingZRough);
    case State::HomingZRough:
        if (in < HOMING_Z_ROUGH_S)
            return false;
        traceZ(20.0, 0.5);
        enter(State::HomingZFine, since + HOMING_Z_ROUGH_S);
        return true;
    case State::HomingZFine:
        if (in < HOMING_Z_FINE_S)
            return false;
        traceZ(0.5, 0.0);
        enter(State::HomingComplete, since + HOMING_Z_FINE_S);
        return true;
    case State::HomingComplete:
        if (in < HOMING_COMPLETE_S)
            return false;
        heat(printCelsius);
        enter(State::JobPrep, since + HOMING_COMPLETE_S);
        return true;
    case State::JobPrep:
        if (hot()) {
            buildClock = now;
            say("echo:Printing " + jobFile);
            enter(State::Building, now);
            return true;
        }
        if (in > HEAT_TIMEOUT_S) {
            fail(HeatingTimeout, State::Idle, "hot end did not reach the print temperature");
            return true;
        }
        return false;
    case State::Building:
        build(now);
        return state_ != State::Building;
    case State::ExecPauseCmd:
        return after(PAUSE_S, State::Paused);
    case State::Unpaused:
        if (in >= RESUME_S && hot()) {
            buildClock = now;
            enter(State::Building, now);
            return true;
        }
        if (in > HEAT_TIMEOUT_S) {
            fail(HeatingTimeout, State::Paused, "hot end did not get back to temperature");
            return true;
        }
        return false;
    case State::LoadHeating:
        if (hot()) {
            say("echo:Insert filament and press the button when it comes out of the nozzle");
            enter(State::LoadExtruding, now);
            return true;
        }
        if (in > HEAT_TIMEOUT_S) {
            setError(LoadHeatingTimeout);
            say("Error:hot end did not reach the loading temperature");
            leaveFilament(now);
            return true;
        }
        return false;
    case State::LoadExtruding:
        if (in > LOAD_EXTRUDE_TIMEOUT_S) {
            setError(LoadTimeout);
            say("Error:filament load not confirmed");
            leaveFilament(since + LOAD_EXTRUDE_TIMEOUT_S);
            return true;
        }
        return false;
    case State::UnloadHeating:
        if (hot()) {
            enter(State::UnloadRetracting, now);
            return true;
        }
        if (in > HEAT_TIMEOUT_S) {
            setError(UnloadTimeout);
            say("Error:hot end did not reach the unloading temperature");
            leaveFilament(now);
            return true;
        }
        return false;
    case State::UnloadRetracting:
        if (in < RETRACT_S)
            return false;
        filament_ = "unloaded";
        say("echo:Filament unloaded");
        leaveFilament(since + RETRACT_S);
        return true;
    case State::PreInit:
    case State::Idle:
    case State::Paused:
    case State::FileRx:
    case State::JobQueued:
    case State::FilamentOut:
        return false;
    }
    return false;
}

void PrintJobModel::leaveFilament(double at)
{
    heat(rest == State::Idle ? 0 : printCelsius);
    enter(rest, at);
}

void PrintJobModel::build(double now)
{
    if (!runner) {
        finishJob(now);
        return;
    }
    if (filament_ != "loaded" || (runoutAt && progress_ >= *runoutAt)) {
        runoutAt.reset();
        filament_ = "runout";
        say("echo:Filament ran out, print paused");
        enter(State::FilamentOut, now);
        return;
    }
    for (;;) {
        if (runner->waitingFor()) {
            if (!hot()) {
                buildClock = now; // the wait takes the time
                if (waitingSince < 0) {
                    waitingSince = now;
                } else if (now - waitingSince > HEAT_TIMEOUT_S) {
                    fail(HeatingTimeout, State::Idle, "hot end did not reach the M109 temperature");
                    return;
                }
                break;
            }
            runner->stopWaiting();
            waitingSince = -1;
        }
        buildClock += runner->run(now - buildClock);
        for (const GcodeRunner::Event& e : runner->takeEvents()) {
            if (e.kind == GcodeRunner::Event::Message) {
                say("echo:" + printable(e.text));
            } else {
                if (e.celsius > 0)
                    printCelsius = e.celsius;
                heat(e.celsius);
            }
        }
        if (!runner->waitingFor())
            break;
    }
    const int p = runner->finished() ? 100 : std::min(runner->percent(), 99);
    if (p != progress_) {
        progress_ = p;
        announce();
    }
    holdIfWanted(State::Building, now);
    if (runner->finished() && !held)
        finishJob(now);
}

void PrintJobModel::finishJob(double now)
{
    jobElapsed = now - jobStart;
    jobActive = false;
    runner.reset();
    heat(0);
    say("echo:Done printing " + jobFile + " in " + std::to_string(std::llround(jobElapsed)) + " s");
    enter(State::Idle, now);
}

void PrintJobModel::dropJob()
{
    if (jobActive)
        jobElapsed = simNow() - jobStart;
    jobActive = false;
    runner.reset();
    program.clear();
    program.shrink_to_fit();
}

// --- the job channel ----------------------------------------------------------

void PrintJobModel::received(const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> lock(mutex);
    reader.feed(data, length);
}

void PrintJobModel::onObject(yajl_val object)
{
    const std::string type = json::string(json::at(object, {"metadata", "type"}));
    if (type == "status") {
        if (out.job)
            out.job(status());
    } else if (type == "pause") {
        doPause();
    } else if (type == "abort") {
        doAbort();
    } else if (type == "file_push") {
        startFile(object);
    } else {
        say("echo:Unknown message" + (type.empty() ? std::string() : " " + printable(type)));
    }
}

void PrintJobModel::startFile(yajl_val header)
{
    yajl_val size = json::at(header, {"file_push", "size"});
    yajl_val adler = json::at(header, {"file_push", "adler32"});
    const long long s = YAJL_IS_INTEGER(size) ? YAJL_GET_INTEGER(size) : -1;
    const long long a = YAJL_IS_INTEGER(adler) ? YAJL_GET_INTEGER(adler) : -1;
    if (s <= 0 || static_cast<uint64_t>(s) > capacity) {
        // Without a size it can trust, the printer cannot know where the file
        // ends; what follows is read as messages again (and mostly skipped).
        setError(FileRejected);
        say("Error:file refused, size " +
            (YAJL_IS_NUMBER(size) ? std::string(YAJL_GET_NUMBER(size)) : std::string("missing")) +
            (s > 0 ? " exceeds the storage" : ""));
        announce();
        return;
    }
    rxSize = static_cast<uint64_t>(s);
    rxCount = 0;
    rxLast = Clock::now();
    reader.expectFile(rxSize);
    if (state_ != State::Idle || a < 0 || a > 0xffffffffLL) {
        // The size is sound, so the bytes can be skipped and the channel stays
        // in step with the host.
        sinking = true;
        setError(state_ != State::Idle ? Busy : FileRejected);
        say(state_ != State::Idle ? "Error:busy, file refused" : "Error:file refused, no checksum");
        announce();
        if (out.wake)
            out.wake();
        return;
    }
    receiving = true;
    rxExpected = static_cast<uint32_t>(a);
    rxAdler = 0; // not adler32's own start value 1: the host starts from 0 too
    rxData.clear();
    rxData.reserve(rxSize);
    ++jobCounter;
    const std::string id = printable(json::string(json::at(header, {"file_push", "job_id"})));
    rxId = id.empty() ? "job-" + std::to_string(jobCounter) : id;
    setError(NoError);
    say("echo:Receiving " + std::to_string(rxSize) + " bytes");
    enter(State::FileRx);
}

void PrintJobModel::onFileData(const uint8_t* data, size_t length)
{
    rxLast = Clock::now();
    rxCount += length;
    if (sinking) {
        if (rxCount >= rxSize) {
            sinking = false;
            say("echo:refused file skipped");
        }
        return;
    }
    if (!receiving)
        return;
    rxData.append(reinterpret_cast<const char*>(data), length);
    rxAdler = static_cast<uint32_t>(adler32(rxAdler, data, static_cast<uInt>(length)));
    if (rxCount >= rxSize)
        endFile();
}

void PrintJobModel::endFile()
{
    receiving = false;
    if (rxAdler != rxExpected) {
        rxData.clear();
        rxData.shrink_to_fit();
        fail(ChecksumMismatch, State::Idle,
             "checksum mismatch: header " + std::to_string(rxExpected) + ", file " +
                 std::to_string(rxAdler));
        return;
    }
    program.swap(rxData);
    rxData.clear();
    jobId = rxId;
    jobFile = rxId + ".gcode";
    progress_ = 0;
    jobElapsed = 0;
    printCelsius = GcodeRunner::firstTemperature(program).value_or(DEFAULT_PRINT_CELSIUS);
    say("echo:File received: " + jobFile + ", " + std::to_string(program.size()) + " bytes");
    say("ok");
    enter(State::JobQueued);
}

void PrintJobModel::giveUpFile(const std::string& why)
{
    reader.expectFile(0);
    if (sinking) {
        sinking = false;
        return;
    }
    if (!receiving)
        return;
    receiving = false;
    rxData.clear();
    rxData.shrink_to_fit();
    fail(TransferIncomplete, State::Idle, why);
}

void PrintJobModel::hostAttached()
{
    std::lock_guard<std::mutex> lock(mutex);
    reader.reset();
}

void PrintJobModel::hostDetached()
{
    std::lock_guard<std::mutex> lock(mutex);
    giveUpFile("host went away after " + std::to_string(rxCount) + " of " + std::to_string(rxSize) +
               " bytes");
    reader.reset();
}

// --- requests and the front panel ---------------------------------------------

void PrintJobModel::doPause()
{
    if (state_ == State::Building) {
        say("ok");
        enter(State::ExecPauseCmd);
    } else if (state_ == State::Paused) {
        resume();
    } else {
        say("echo:nothing to pause");
    }
}

void PrintJobModel::resume()
{
    if (filament_ != "loaded") {
        say("Error:load filament before resuming");
        return;
    }
    heat(printCelsius);
    say("ok");
    enter(State::Unpaused);
}

void PrintJobModel::doAbort()
{
    if (state_ == State::Idle || state_ == State::PreInit || state_ == State::InitMech ||
        state_ == State::FileRx) {
        say("echo:nothing to abort");
        return;
    }
    dropJob();
    heat(0);
    say("echo:aborted");
    say("ok");
    enter(State::Idle);
}

void PrintJobModel::pause()
{
    std::lock_guard<std::mutex> lock(mutex);
    doPause();
}

void PrintJobModel::abort()
{
    std::lock_guard<std::mutex> lock(mutex);
    doAbort();
}

void PrintJobModel::pressButton()
{
    std::lock_guard<std::mutex> lock(mutex);
    debugEvent("job: button");
    switch (state_) {
    case State::PreInit:
        enter(State::InitMech);
        break;
    case State::JobQueued:
        runner = std::make_unique<GcodeRunner>(std::move(program));
        program.clear();
        jobStart = simNow();
        jobActive = true;
        progress_ = 0;
        setError(NoError);
        enter(State::HomingInit);
        break;
    case State::Paused:
        resume();
        break;
    case State::LoadExtruding:
        filament_ = "loaded";
        say("echo:Filament loaded");
        leaveFilament(simNow());
        break;
    case State::Idle:
        if (error_ != NoError) { // acknowledges the error on the display
            setError(NoError);
            announce();
        }
        break;
    case State::FilamentOut:
        say("echo:unload and load filament to resume");
        break;
    default:
        break;
    }
}

unsigned char PrintJobModel::loadFilament()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (state_ != State::Idle && state_ != State::Paused && state_ != State::FilamentOut) {
        say("echo:busy, cannot load filament now");
        return FILAMENT_BUSY;
    }
    if (filament_ == "loaded") {
        setError(FilamentAlreadyLoaded);
        say("Error:filament already loaded");
        announce();
        return FilamentAlreadyLoaded;
    }
    rest = state_ == State::Idle ? State::Idle : State::Paused;
    setError(NoError);
    heat(std::max(FILAMENT_CELSIUS, rest == State::Idle ? 0.0 : printCelsius));
    enter(State::LoadHeating);
    return 0;
}

unsigned char PrintJobModel::unloadFilament()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (state_ != State::Idle && state_ != State::Paused && state_ != State::FilamentOut) {
        say("echo:busy, cannot unload filament now");
        return FILAMENT_BUSY;
    }
    if (filament_ == "unloaded") {
        setError(FilamentAlreadyUnloaded);
        say("Error:filament already unloaded");
        announce();
        return FilamentAlreadyUnloaded;
    }
    rest = state_ == State::Idle ? State::Idle : State::Paused;
    setError(NoError);
    heat(std::max(FILAMENT_CELSIUS, rest == State::Idle ? 0.0 : printCelsius));
    enter(State::UnloadHeating);
    return 0;
}

void PrintJobModel::runOutOfFilament(int atPercent)
{
    std::lock_guard<std::mutex> lock(mutex);
    runoutAt = std::max(atPercent, 0);
    if (out.wake)
        out.wake();
}

void PrintJobModel::holdAt(State s, int percent)
{
    std::lock_guard<std::mutex> lock(mutex);
    holdState = s;
    holdPercent = percent;
    if (state_ == s)
        holdIfWanted(s, simNow());
}

void PrintJobModel::release()
{
    std::lock_guard<std::mutex> lock(mutex);
    holdState.reset();
    if (!held)
        return;
    // The held time did not pass for the state machine.
    const double d = simNow() - heldAt;
    since += d;
    buildClock += d;
    held = false;
    if (out.wake)
        out.wake();
}

bool PrintJobModel::isHeld() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return held;
}

void PrintJobModel::setHeaterFault(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    heaterFault = on;
    heat(target);
}

void PrintJobModel::reboot()
{
    std::lock_guard<std::mutex> lock(mutex);
    reader.reset();
    receiving = sinking = false;
    rxData.clear();
    dropJob();
    jobId.clear();
    jobFile.clear();
    progress_ = 0;
    jobElapsed = 0;
    runoutAt.reset();
    heat(0);
    error_ = NoError;
    bootAt = simNow();
    enter(calibrateOnBoot ? State::PreInit : State::Idle, bootAt);
}

// --- settings and observation -------------------------------------------------

void PrintJobModel::setAnnounceChanges(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    announceChanges = on;
}

void PrintJobModel::setCalibrateOnBoot(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    calibrateOnBoot = on;
}

void PrintJobModel::setReceiveTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(mutex);
    rxTimeout = timeout;
}

void PrintJobModel::setStorageCapacity(uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    capacity = bytes;
}

PrintJobModel::State PrintJobModel::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return state_;
}

int PrintJobModel::progress() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return progress_;
}

int PrintJobModel::error() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return error_;
}

std::string PrintJobModel::filament() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return filament_;
}

std::string PrintJobModel::statusJson() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return status();
}

std::vector<PrintJobModel::State> PrintJobModel::history() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return history_;
}

uint64_t PrintJobModel::discardedBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return reader.discarded();
}

} // namespace zelksim
