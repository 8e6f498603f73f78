#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <yajl/yajl_tree.h>

namespace zelksim {

// The printer firmware's remote procedures, as the virtual printer runs them:
// every command of the firmware's table answered with a well-typed response
// whose "args" echo the request's members in order and whose "__return__"
// comes from a small model of the machine (a Z servo that moves and settles,
// a heater, Wi-Fi, a storage card, LEDs and pins).
//
// Not thread-safe by itself: the virtual printer calls it from its own thread
// only; the accessors for tests take the same lock.
class FirmwareModel
{
public:
    struct Reply
    {
        std::optional<std::string> data;    // the response's "data"; none: stay silent
        std::chrono::milliseconds delay{0}; // answer after this long
        std::function<void()> afterwards;   // runs once the response is on its way
    };

    // What a command does to the world outside the firmware.
    struct Hooks
    {
        std::function<void()> enterDfu; // Enter_dfu_mode
        std::function<void()> reset;    // Reset_printer
        std::function<unsigned char()> loadFilament;
        std::function<unsigned char()> unloadFilament;
        std::function<void(const std::string& name, const std::string& argsJson)> sendEvent;
    };

    enum class CommandFault {
        NoResponse,            // the request is dropped unread: nothing changes
        NoReturn,              // the response lacks "__return__"
        WrongTypes,            // "__return__" and every echoed argument as a JSON string
        ArgsReordered,         // the echoed arguments in reverse order
        NoResponseAfterActing, // the command is carried out, its answer lost
    };

    struct WifiNetwork
    {
        std::string ssid;
        int32_t encryption; // 0 open, 1 WEP, 2 WPA, 3 WPA2, other: unexpected
        int8_t strength;
        std::string key; // what connecting takes
    };

    FirmwareModel(std::string firmwareVersion, std::string serial);

    void setHooks(Hooks hooks);
    // Simulated seconds per real second, for moves and heating (default 1).
    void setTimeScale(double scale);
    double timeScale() const;

    // Answers one command, given the request's "command" object.
    Reply handle(yajl_val command);

    void injectCommandFault(const std::string& command, CommandFault fault, int times = 1);

    // What the printer was sent for its servos, in order: the model moves
    // the axis but ignores the caps and ignore_stalls, so tests look here.
    struct ServoConfigSent
    {
        long long servo;
        int32_t pwmCap;
        uint32_t pwmCapTime;
        double kp;
        double speedMax;
    };
    struct ServoMoveSent
    {
        long long servo;
        long long type; // 1 relative (distance), 3 absolute (target)
        double target;
        double distance;
        double speed;
        double accel;
        bool ignoreStalls;
    };

    // --- for tests and the launcher
    std::vector<std::string> gcodeLog() const;
    std::vector<ServoConfigSent> servoConfigLog() const;
    std::vector<ServoMoveSent> servoMoveLog() const;
    double zPositionMm() const;
    bool zMoving() const;
    bool wifiConnected() const;
    std::string wifiConnectedSsid() const;
    double extruderTemperature() const;
    void setExtruderTarget(double celsius);
    std::vector<WifiNetwork> wifiNetworks() const;
    void setWifiNetworks(std::vector<WifiNetwork> networks);
    std::string firmwareVersion() const;
    void setFirmwareVersion(std::string version);

private:
    struct Servo
    {
        // client configuration
        uint16_t interruptFrequency = 1000;
        double kp = 0.8, ki = 0.02, kd = 0.1, ka = 0, kv = 0, kf = 0;
        int32_t pwmCap = 3580;
        uint32_t pwmCapTime = 200;
        uint32_t units = 1;
        double posResEuPerMm = 100.0; // encoder units per millimetre
        double velResMmPerSec = 0.01;
        double speedMax = 20.0;
        double accelMax = 50.0;
        uint32_t moveDistMinStatic = 2;
        uint32_t moveDistMinDynamic = 5;
        uint32_t trace = 0;
        // motion, in millimetres of model time
        double offsetMm = 0; // client position = physical - offset
        double startMm = 0;  // physical
        double targetMm = 0; // physical
        double speed = 0;    // mm/s
        std::chrono::steady_clock::time_point startedAt;
        int32_t moves = 0;
        double lastDistance = 0;
        bool traced = false;
    };

    double physicalMm(const Servo& s) const;
    bool moving(const Servo& s) const;
    Servo& servo(long long name);
    double temperatureNow() const;

    std::string firmwareVersion_;
    std::string serial_;
    Hooks hooks;
    double scale = 1.0;

    mutable std::mutex mutex; // guards everything below (accessors from other threads)
    std::map<std::string, std::deque<CommandFault>> faults;
    std::vector<std::string> gcode;
    std::vector<ServoConfigSent> configsSent;
    std::vector<ServoMoveSent> movesSent;
    std::map<long long, long long> gpio;
    std::map<long long, Servo> servos;
    std::map<long long, double> heaterParams;
    std::map<long long, double> heaterVars;
    bool heaterOn = false;
    double heaterFrom = 22.0;
    std::chrono::steady_clock::time_point heaterSince;
    bool networkTasks = true;
    std::map<uint32_t, uint8_t> storage; // the card, sparse; unwritten bytes read 0xFF

    struct Wifi
    {
        bool connected = false;
        std::string connectedSsid;
        bool autoStart = true;
        bool autoConnect = false;
        std::string autoSsid;
        std::string autoKey;
        uint32_t autoTimeout = 15000;
        std::vector<WifiNetwork> networks;
        std::vector<WifiNetwork> lastScan;
    } wifi;
};

} // namespace zelksim
