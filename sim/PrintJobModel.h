#pragma once

#include "GcodeRunner.h"
#include "JobChannelReader.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelksim {

class FirmwareModel;

// The printer's job side: what it does with the job channel (status, pause,
// abort, file push), its print state machine with homing, heating and a print
// that follows the G-code it received, the filament procedures, the front
// panel button, the filament sensor, and the text and events it writes.
//
// Time is simulated: phases last simulated seconds, which pass timeScale()
// times faster than real ones (the firmware model's scale, so moves, heat and
// prints all speed up together). The hot end is the firmware model's heater.
//
// Thread-safe: one lock guards the model and is held while it writes to the
// host, so what it writes keeps the order of what happened. The output hooks
// must therefore not call back into the model.
class PrintJobModel
{
public:
    enum class State {
        PreInit,
        InitMech,
        Idle,
        ExecPauseCmd,
        Paused,
        Unpaused,
        FileRx,
        JobQueued,
        JobPrep,
        Building,
        LoadHeating,
        LoadExtruding,
        UnloadHeating,
        UnloadRetracting,
        HomingInit,
        HomingHeating,
        HomingCooling,
        HomingXY,
        HomingZRough,
        HomingZFine,
        HomingComplete,
        FilamentOut,
    };
    // "IDLE", "HOMING_XY", ...: what the status reports after its prefix.
    static const char* stateName(State state);
    // Six characters before every state name in the status.
    static constexpr const char* STATE_PREFIX = "ZKSTA_";

    // The status message's "error". Codes 6, 8, 9, 11 and 13 are the ones
    // the desktop knows by meaning; the others read as a generic error there.
    enum Error : int {
        NoError = 0,
        Busy = 2,               // a file pushed while the printer was not idle
        TransferIncomplete = 3, // fewer bytes than announced: stalled or unplugged
        ChecksumMismatch = 4,
        FileRejected = 5, // empty, larger than the storage, or a bad header
        FilamentAlreadyLoaded = 6,
        HeatingTimeout = 7, // homing, preparing or resuming never got warm
        LoadHeatingTimeout = 8,
        LoadTimeout = 9, // extruding, the button was never pressed
        FilamentAlreadyUnloaded = 11,
        UnloadTimeout = 13, // heating for the unload never finished
    };

    // Return values of loadFilament() / unloadFilament() besides 0 (started)
    // and the error codes above. (The firmware command itself answers 0
    // whatever happens; the outcome is in the status.)
    static constexpr unsigned char FILAMENT_BUSY = 2;

    struct Output
    {
        std::function<void(const std::string& bytes)> job; // on the job channel
        std::function<void(const std::string& name, const std::string& argsJson)> event;
        std::function<void()> wake; // call tick() soon (and again while it asks)
    };

    // Simulated durations and limits.
    static constexpr double HEAT_TIMEOUT_S = 600;
    static constexpr double LOAD_EXTRUDE_TIMEOUT_S = 180;
    static constexpr double PROBE_CELSIUS = 150; // the nozzle's homing temperature
    static constexpr double FILAMENT_CELSIUS = 210;
    static constexpr double DEFAULT_PRINT_CELSIUS = 210;
    static constexpr double GUARD_BAND_C = 3;

    PrintJobModel(FirmwareModel& firmware, std::string serial);
    ~PrintJobModel();
    PrintJobModel(const PrintJobModel&) = delete;
    PrintJobModel& operator=(const PrintJobModel&) = delete;

    void setOutput(Output output);

    // --- the host (the virtual printer calls these)
    void received(const uint8_t* data, size_t length);
    void hostAttached();
    void hostDetached(); // a cable pull: a file being received is lost
    // Advances time; true while it needs further ticks.
    bool tick();
    // The firmware's Reset_printer: the job is lost, the clock restarts.
    void reboot();
    void timeScaleChanged();

    // --- the world
    void pressButton();
    // The same as the host's pause and abort requests.
    void pause();
    void abort();
    unsigned char loadFilament();   // load_initiate
    unsigned char unloadFilament(); // unload_initiate
    // The filament breaks or runs out: at once during a print, or when the
    // print reaches `atPercent`; armed until a print consumes it.
    void runOutOfFilament(int atPercent = -1);
    // A heater that never warms: heating phases time out.
    void setHeaterFault(bool on);
    // A breakpoint: the state machine's clock stops when it enters `state`
    // (BUILDING: once progress reaches `percent`) and stays stopped until
    // release(), or until a request, the button or a command moves it on. The
    // heater keeps its own time. One-shot; for catching a passing state.
    void holdAt(State state, int percent = 0);
    void release();
    bool isHeld() const;

    // --- behaviour
    // Sends a status message on every state and progress change, besides
    // answering requests (off: answers only, as the firmware does).
    void setAnnounceChanges(bool on);
    // After a reboot, wait in PRE_INIT for the button before calibrating.
    void setCalibrateOnBoot(bool on);
    // A file push that stalls this long (real time) is given up.
    void setReceiveTimeout(std::chrono::milliseconds timeout);
    void setStorageCapacity(uint64_t bytes);

    // --- observing
    State state() const;
    int progress() const;
    int error() const;
    std::string filament() const;
    std::string statusJson() const;
    // Every state entered since construction, in order.
    std::vector<State> history() const;
    uint64_t discardedBytes() const;

private:
    using Clock = std::chrono::steady_clock;

    double simNow() const;
    void enter(State s, double at);
    void enter(State s) { enter(s, simNow()); }
    void fail(Error e, State next, const std::string& why);
    void setError(Error e);
    void say(const std::string& line);
    void debugEvent(const std::string& text);
    void traceZ(double fromMm, double toMm);
    void announce();
    std::string status() const;
    void heat(double celsius);
    bool hot() const;
    bool atRest() const;
    bool step(double now);
    void build(double now);
    void finishJob(double now);
    void dropJob();
    void reportTemperature(double now);
    void holdIfWanted(State s, double at);

    void onObject(yajl_val object);
    void onFileData(const uint8_t* data, size_t length);
    void startFile(yajl_val header);
    void endFile();
    void giveUpFile(const std::string& why);
    void doPause();
    void doAbort();
    void resume();
    void leaveFilament(double at);

    FirmwareModel& fw;
    const std::string cpuId;

    // Guards everything below; held while writing to the host.
    mutable std::mutex mutex;
    Output out;
    JobChannelReader reader;

    // The simulated clock: simAnchor seconds at realAnchor, then `scale`
    // simulated seconds per real one. Re-anchored lazily when the scale changes.
    mutable double scale = 1.0;
    mutable Clock::time_point realAnchor;
    mutable double simAnchor = 0;

    State state_ = State::Idle;
    double since = 0;         // when the state was entered
    State rest = State::Idle; // where a filament procedure returns to
    std::vector<State> history_;
    int error_ = NoError;
    std::string filament_ = "loaded";
    bool heaterFault = false;
    double target = 0; // what the model asked the heater for
    bool announceChanges = false;
    bool calibrateOnBoot = false;
    double bootAt = 0;
    double idleSince = 0;
    double lastReport = -1e9;
    Clock::time_point lastReportReal;

    // File push in progress.
    bool receiving = false; // into FILE_RX
    bool sinking = false;   // refused (busy): the bytes are read and dropped
    uint64_t rxSize = 0;
    uint64_t rxCount = 0;
    uint32_t rxAdler = 0;
    uint32_t rxExpected = 0;
    std::string rxData;
    std::string rxId;
    Clock::time_point rxLast;
    std::chrono::milliseconds rxTimeout{5000};
    uint64_t capacity = 32ull << 20;
    unsigned jobCounter = 0;

    // The job.
    std::string jobId, jobFile;
    std::string program; // the queued file, until the button starts it
    std::unique_ptr<GcodeRunner> runner;
    double printCelsius = DEFAULT_PRINT_CELSIUS;
    double buildClock = 0;    // simulated time the runner has reached
    double waitingSince = -1; // when the runner began waiting for heat
    double jobStart = 0;
    double jobElapsed = 0;
    bool jobActive = false;
    int progress_ = 0;
    std::optional<int> runoutAt; // armed filament run-out (percent)

    std::optional<State> holdState;
    int holdPercent = 0;
    bool held = false;
    double heldAt = 0;
};

} // namespace zelksim
