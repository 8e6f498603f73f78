#include "FirmwareModel.h"

#include "Json.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace zelksim {

namespace {

using Clock = std::chrono::steady_clock;
using Write = std::function<void(json::Writer&)>;

constexpr double Z_MIN_MM = 0.0;   // the head sits on its bottom stop
constexpr double Z_MAX_MM = 140.0; // and cannot rise above this
constexpr double AMBIENT_C = 22.0;
constexpr double HEATER_TAU_S = 30.0; // first-order time constant of the hot end
constexpr int32_t STORAGE_BLOCK = 512;
constexpr int32_t STORAGE_BLOCKS = 2097152; // 1 GiB card

const uint8_t MAC[6] = {0x00, 0x1a, 0x2b, 0x03, 0x04, 0x05};

std::string text(yajl_val array)
{
    std::string s;
    if (!YAJL_IS_ARRAY(array))
        return s;
    for (size_t i = 0; i < array->u.array.len; ++i) {
        const auto c = static_cast<char>(json::integer(array->u.array.values[i]));
        if (!c)
            break;
        s.push_back(c);
    }
    return s;
}

double number(yajl_val v, double fallback = 0)
{
    if (YAJL_IS_DOUBLE(v))
        return YAJL_GET_DOUBLE(v);
    if (YAJL_IS_INTEGER(v))
        return static_cast<double>(YAJL_GET_INTEGER(v));
    return fallback;
}

void textArray(json::Writer& w, const std::string& s)
{
    w.openArray();
    for (unsigned char c : s)
        w.num(static_cast<signed char>(c));
    w.num(0);
    w.closeArray();
}

// A fixed-size char or byte array: every element, also the trailing zeros.
void fixedArray(json::Writer& w, const std::string& s, size_t size, bool isSigned)
{
    w.openArray();
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
        w.num(isSigned ? static_cast<signed char>(c) : c);
    }
    w.closeArray();
}

void bytes(json::Writer& w, const uint8_t* b, size_t n)
{
    w.openArray();
    for (size_t i = 0; i < n; ++i)
        w.num(b[i]);
    w.closeArray();
}

// An IPv4 address as one number, the first part of its dotted form the most
// significant byte.
constexpr uint32_t address(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    return a << 24 | b << 16 | c << 8 | d;
}

// The firmware keeps an address as one 32-bit number in the machine's byte
// order, and its four-byte array is that number's memory: the desktop reads
// it back the same way. (On the little-endian printer, 192.168.1.57 travels
// as 57, 1, 168, 192.)
void addressBytes(json::Writer& w, uint32_t value)
{
    uint8_t b[4];
    std::memcpy(b, &value, sizeof b);
    bytes(w, b, sizeof b);
}

} // namespace

FirmwareModel::FirmwareModel(std::string firmwareVersion, std::string serial)
    : firmwareVersion_(std::move(firmwareVersion)), serial_(std::move(serial))
{
    heaterSince = Clock::now();
    wifi.networks = {
        {"ZelkLab", 3, -48, "correct horse"}, {"CoffeeShop", 0, -71, ""},
        {"OldRouter", 1, -80, "abcde"},       {"Workshop-2G", 2, -62, "sawdust"},
        {"Mesh-Node", 4, -55, "mesh"}, // a security type the desktop does not know
    };
    servos[2].startMm = servos[2].targetMm = 20.0;
}

void FirmwareModel::setHooks(Hooks h)
{
    std::lock_guard<std::mutex> lock(mutex);
    hooks = std::move(h);
}

void FirmwareModel::setTimeScale(double s)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Re-anchor running moves and heating so that nothing jumps.
    const auto now = Clock::now();
    for (auto& entry : servos) {
        Servo& sv = entry.second;
        sv.startMm = physicalMm(sv);
        sv.startedAt = now;
    }
    heaterFrom = temperatureNow();
    heaterSince = now;
    scale = s > 0 ? s : 1.0;
}

double FirmwareModel::timeScale() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return scale;
}

void FirmwareModel::injectCommandFault(const std::string& command, CommandFault fault, int times)
{
    std::lock_guard<std::mutex> lock(mutex);
    for (int i = 0; i < times; ++i)
        faults[command].push_back(fault);
}

// --- the machine ------------------------------------------------------------

double FirmwareModel::physicalMm(const Servo& s) const
{
    const double elapsed =
        std::chrono::duration<double>(Clock::now() - s.startedAt).count() * scale;
    const double distance = std::fabs(s.targetMm - s.startMm);
    const double travelled = std::min(distance, s.speed * elapsed);
    return s.startMm + (s.targetMm >= s.startMm ? travelled : -travelled);
}

bool FirmwareModel::moving(const Servo& s) const
{
    return physicalMm(s) != s.targetMm;
}

FirmwareModel::Servo& FirmwareModel::servo(long long name)
{
    return servos[name];
}

double FirmwareModel::temperatureNow() const
{
    const double t = std::chrono::duration<double>(Clock::now() - heaterSince).count() * scale;
    auto target = heaterVars.find(0);
    const double goal = heaterOn && target != heaterVars.end() ? target->second : AMBIENT_C;
    return goal + (heaterFrom - goal) * std::exp(-t / HEATER_TAU_S);
}

// --- commands ---------------------------------------------------------------

// One command being answered: its arguments, and what the handler leaves for
// the response (the return value, arguments the firmware fills in, when and
// what happens once it is sent). Lives on handle()'s stack.
struct FirmwareModel::Call
{
    yajl_val args;
    std::unique_lock<std::mutex>& lock; // held; a handler may drop it around a hook
    Reply& reply;
    Write ret = [](json::Writer& w) { w.num(0); };
    std::map<std::string, Write> argOut; // echoed arguments the firmware fills in

    Call(yajl_val a, std::unique_lock<std::mutex>& l, Reply& r) : args(a), lock(l), reply(r) {}

    yajl_val arg(const char* key) const { return json::at(args, {key}); }
    long long argInt(const char* key) const { return json::integer(arg(key)); }
    double argNum(const char* key) const { return number(arg(key)); }
    // The first record of a pointer argument (an array of records).
    yajl_val argRecord(const char* key) const
    {
        yajl_val a = arg(key);
        return YAJL_IS_ARRAY(a) && a->u.array.len ? a->u.array.values[0] : nullptr;
    }

    void retInt(long long v)
    {
        ret = [v](json::Writer& w) { w.num(v); };
    }
    void retNum(double v)
    {
        ret = [v](json::Writer& w) { w.dbl(v); };
    }
    void retText(std::string s)
    {
        ret = [s](json::Writer& w) { textArray(w, s); };
    }
};

// The handlers, one per command (or per family of commands that share one
// body), and the table that names them. Each runs under the model's lock and
// leaves its answer in the Call; a command not in the table returns -1.
struct FirmwareModel::Commands
{
    using Handler = void (*)(FirmwareModel&, Call&);
    static const std::unordered_map<std::string, Handler>& table();

    // Commands the model takes note of and answers with 0.
    static void acknowledge(FirmwareModel&, Call&) {}

    // --- identity and pins

    static void bioGetVersion(FirmwareModel& m, Call& c) { c.retText(m.firmwareVersion_); }
    static void bioGetSerial(FirmwareModel& m, Call& c) { c.retText(m.serial_); }
    static void gpioGetRaw(FirmwareModel& m, Call& c) { c.retInt(m.gpio[c.argInt("gpio")]); }
    static void gpioInputGet(FirmwareModel&, Call& c)
    {
        const long long pin = c.argInt("pin");
        c.retInt(pin == 1 ? 1 : 0); // filament present; button and endstop open
    }
    static void gpioOutputSet(FirmwareModel& m, Call& c)
    {
        m.gpio[c.argInt("pin")] = c.argInt("value") != 0;
    }

    // --- G-code

    static void gcode(FirmwareModel& m, Call& c, const char* argument)
    {
        const std::string code = text(c.arg(argument));
        m.gcode.push_back(code);
        const char first = code.empty() ? 0 : static_cast<char>(std::toupper(code[0]));
        c.retInt(first == 'G' || first == 'M' || first == 'T' ? 0 : 2);
        if (code.rfind("M400", 0) == 0) {
            // Answers when every queued move has ended.
            double remaining = 0;
            for (auto& entry : m.servos) {
                const Servo& sv = entry.second;
                if (m.moving(sv) && sv.speed > 0)
                    remaining = std::max(remaining, std::fabs(sv.targetMm - m.physicalMm(sv)) /
                                                        sv.speed / m.scale);
            }
            c.reply.delay = std::chrono::milliseconds(static_cast<long long>(remaining * 1000) + 1);
        }
    }
    static void gcodeCommand(FirmwareModel& m, Call& c) { gcode(m, c, "command"); }
    static void gcodeMacro(FirmwareModel& m, Call& c) { gcode(m, c, "macro"); }

    // --- heater

    // The temperature starts its approach afresh from where it is now.
    static void reanchorHeater(FirmwareModel& m)
    {
        m.heaterFrom = m.temperatureNow();
        m.heaterSince = Clock::now();
    }
    static void heaterParamSet(FirmwareModel& m, Call& c)
    {
        m.heaterParams[c.argInt("param_num")] = c.argNum("param_val");
    }
    static void heaterParamGet(FirmwareModel& m, Call& c)
    {
        auto it = m.heaterParams.find(c.argInt("param_num"));
        const double v = it == m.heaterParams.end() ? 0.0 : it->second;
        c.argOut["param_val"] = [v](json::Writer& w) { w.openArray().dbl(v).closeArray(); };
    }
    static void heaterParamSetDefaults(FirmwareModel& m, Call&) { m.heaterParams.clear(); }
    static void heaterVarSetDefaults(FirmwareModel& m, Call&)
    {
        reanchorHeater(m);
        m.heaterVars.clear();
    }
    static void heaterTurnOn(FirmwareModel& m, Call&)
    {
        reanchorHeater(m);
        m.heaterOn = true;
    }
    static void heaterTurnOff(FirmwareModel& m, Call&)
    {
        reanchorHeater(m);
        m.heaterOn = false;
    }
    static bool heaterInBand(const FirmwareModel& m, double t, double goal)
    {
        auto gb = m.heaterParams.find(6);
        return std::fabs(t - goal) <= (gb == m.heaterParams.end() ? 3.0 : gb->second);
    }
    static double heaterGoal(const FirmwareModel& m)
    {
        auto target = m.heaterVars.find(0);
        return target == m.heaterVars.end() ? AMBIENT_C : target->second;
    }
    static void heaterInGuardband(FirmwareModel& m, Call& c)
    {
        c.retInt(m.heaterOn && heaterInBand(m, m.temperatureNow(), heaterGoal(m)) ? 1 : 0);
    }
    static void heaterStateGet(FirmwareModel& m, Call& c)
    {
        const double t = m.temperatureNow();
        const double goal = heaterGoal(m);
        c.retInt(!m.heaterOn                ? (t > AMBIENT_C + 8 ? 3 : 0)
                 : heaterInBand(m, t, goal) ? 2
                 : t < goal                 ? 1
                                            : 3);
    }
    static void heaterVarSet(FirmwareModel& m, Call& c)
    {
        reanchorHeater(m);
        m.heaterVars[c.argInt("var_num")] = c.argNum("var_val");
    }
    static void heaterVarGet(FirmwareModel& m, Call& c)
    {
        const long long var = c.argInt("var_num");
        double v = var == 1 ? m.temperatureNow() : 0.0;
        if (auto it = m.heaterVars.find(var); var != 1 && it != m.heaterVars.end())
            v = it->second;
        c.argOut["var_val"] = [v](json::Writer& w) { w.openArray().dbl(v).closeArray(); };
    }

    // --- Wi-Fi

    static void wifiClientConnect(FirmwareModel& m, Call& c)
    {
        yajl_val connect = c.arg("connect_t");
        const std::string ssid = text(json::at(connect, {"ssid"}));
        const std::string key = text(json::at(connect, {"key"}));
        auto& nets = m.wifi.networks;
        auto net = std::find_if(nets.begin(), nets.end(),
                                [&](const WifiNetwork& n) { return n.ssid == ssid; });
        if (net == nets.end()) {
            c.retInt(-1); // no such network
        } else if (net->encryption != 0 && net->key != key) {
            c.retInt(-2); // refused
        } else {
            m.wifi.connected = true;
            m.wifi.connectedSsid = ssid;
            c.retInt(0);
        }
    }
    static void wifiDisconnect(FirmwareModel& m, Call& c)
    {
        m.wifi.connected = false;
        m.wifi.connectedSsid.clear();
        c.retInt(0);
    }
    // The interface's addresses as the status and the configuration report them.
    static Write ipConfig(const FirmwareModel& m)
    {
        const bool on = m.wifi.connected;
        const std::string ssid = m.wifi.connectedSsid;
        return [on, ssid](json::Writer& w) {
            const uint32_t ip = on ? address(192, 168, 1, 57) : 0;
            const uint32_t mask = on ? address(255, 255, 255, 0) : 0;
            const uint32_t gw = on ? address(192, 168, 1, 1) : 0;
            w.open();
            w.key("ip");
            addressBytes(w, ip);
            w.key("subnet_mask");
            addressBytes(w, mask);
            w.key("default_gateway");
            addressBytes(w, gw);
            w.key("dhcp_server");
            addressBytes(w, gw);
            w.key("dns_server");
            addressBytes(w, gw);
            w.key("mac_address");
            bytes(w, MAC, 6);
            w.key("connected_ssid");
            fixedArray(w, ssid, 32, false);
            w.close();
        };
    }
    static void wifiClientGetStatus(FirmwareModel& m, Call& c)
    {
        const bool on = m.wifi.connected;
        c.ret = [on, ip = ipConfig(m)](json::Writer& w) {
            w.open().key("connected").num(on ? 1 : 0).key("ip_config");
            ip(w);
            w.close();
        };
    }
    static void wifiClientGetConfiguration(FirmwareModel& m, Call& c)
    {
        c.ret = [cfg = m.wifi, ip = ipConfig(m)](json::Writer& w) {
            w.open().key("ifc_config").open();
            w.key("auto_start").num(cfg.autoStart ? 1 : 0);
            w.key("auto_connect").num(cfg.autoConnect ? 1 : 0);
            w.key("auto_connect_ssid");
            fixedArray(w, cfg.autoSsid, 32, true);
            w.key("auto_connect_key");
            fixedArray(w, cfg.autoKey, 64, true);
            w.key("auto_connect_timeout").num(cfg.autoTimeout);
            w.close().key("hdw_config").open();
            w.key("mac_address");
            bytes(w, MAC, 6);
            const uint8_t patch[2] = {1, 7};
            w.key("patch_version");
            bytes(w, patch, 2);
            w.close().key("ip_config");
            ip(w);
            w.close();
        };
    }
    static void wifiSetAutoStart(FirmwareModel& m, Call& c)
    {
        m.wifi.autoStart = c.argInt("auto_start") != 0;
        c.retInt(0);
    }
    static void wifiSetAutoConnect(FirmwareModel& m, Call& c)
    {
        m.wifi.autoConnect = c.argInt("auto_connect") != 0;
        c.retInt(0);
    }
    static void wifiSetAutoConnectSsid(FirmwareModel& m, Call& c)
    {
        m.wifi.autoSsid = text(c.arg("auto_connect_ssid")).substr(0, 32);
        c.retInt(0);
    }
    static void wifiSetAutoConnectKey(FirmwareModel& m, Call& c)
    {
        m.wifi.autoKey = text(c.arg("auto_connect_key")).substr(0, 64);
        c.retInt(0);
    }
    static void wifiClientConfigure(FirmwareModel& m, Call& c)
    {
        yajl_val ifc = json::at(c.argRecord("config"), {"ifc_config"});
        if (YAJL_IS_OBJECT(ifc)) {
            m.wifi.autoStart = json::integer(json::at(ifc, {"auto_start"})) != 0;
            m.wifi.autoConnect = json::integer(json::at(ifc, {"auto_connect"})) != 0;
            m.wifi.autoSsid = text(json::at(ifc, {"auto_connect_ssid"})).substr(0, 32);
            m.wifi.autoKey = text(json::at(ifc, {"auto_connect_key"})).substr(0, 64);
            m.wifi.autoTimeout =
                static_cast<uint32_t>(json::integer(json::at(ifc, {"auto_connect_timeout"})));
        }
        c.retInt(0);
    }
    static void wifiClientScanRefresh(FirmwareModel& m, Call& c)
    {
        m.wifi.lastScan = m.wifi.networks;
        c.retInt(static_cast<long long>(m.wifi.lastScan.size()));
    }
    static void wifiClientScanGet(FirmwareModel& m, Call& c)
    {
        const auto i = static_cast<size_t>(c.argInt("index"));
        const WifiNetwork net = i < m.wifi.lastScan.size() ? m.wifi.lastScan[i] : WifiNetwork{};
        c.ret = [net](json::Writer& w) {
            w.open().key("ssid"), fixedArray(w, net.ssid, 32, true);
            w.key("encryption").num(net.encryption).key("strength").num(net.strength).close();
        };
    }
    static void checkStoreConnection(FirmwareModel& m, Call& c)
    {
        c.retInt(m.wifi.connected ? 1 : 0);
    }

    // --- servos

    static Servo& servoOf(FirmwareModel& m, const Call& c)
    {
        return m.servo(c.argInt("servo_name"));
    }
    static void servoConfigGet(FirmwareModel& m, Call& c)
    {
        c.ret = [sv = servoOf(m, c)](json::Writer& w) {
            w.open().key("interrupt_frequency").num(sv.interruptFrequency);
            w.key("gains").open().key("kp").dbl(sv.kp).key("ki").dbl(sv.ki).key("kd").dbl(sv.kd);
            w.key("ka").dbl(sv.ka).key("kv").dbl(sv.kv).key("kf").dbl(sv.kf).close();
            w.key("pwm_cap").num(sv.pwmCap).key("pwm_cap_time").num(sv.pwmCapTime);
            w.key("units").num(sv.units).key("pos_res_eu_per_mm").dbl(sv.posResEuPerMm);
            w.key("vel_res_mm_per_sec").dbl(sv.velResMmPerSec).key("speed_max").dbl(sv.speedMax);
            w.key("accel_max").dbl(sv.accelMax);
            w.key("move_dist_min_static").num(sv.moveDistMinStatic);
            w.key("move_dist_min_dynamic").num(sv.moveDistMinDynamic);
            w.key("trace").num(sv.trace).close();
        };
    }
    static void servoConfigSet(FirmwareModel& m, Call& c)
    {
        Servo& sv = servoOf(m, c);
        yajl_val cfg = c.arg("config");
        auto n = [cfg](const char* k, double fallback) {
            return number(json::at(cfg, {k}), fallback);
        };
        auto g = [cfg](const char* k, double fallback) {
            return number(json::at(cfg, {"gains", k}), fallback);
        };
        sv.interruptFrequency =
            static_cast<uint16_t>(n("interrupt_frequency", sv.interruptFrequency));
        sv.kp = g("kp", sv.kp), sv.ki = g("ki", sv.ki), sv.kd = g("kd", sv.kd);
        sv.ka = g("ka", sv.ka), sv.kv = g("kv", sv.kv), sv.kf = g("kf", sv.kf);
        sv.pwmCap = static_cast<int32_t>(n("pwm_cap", sv.pwmCap));
        sv.pwmCapTime = static_cast<uint32_t>(n("pwm_cap_time", sv.pwmCapTime));
        sv.units = static_cast<uint32_t>(n("units", sv.units));
        const double res = n("pos_res_eu_per_mm", sv.posResEuPerMm);
        sv.posResEuPerMm = res > 0 ? res : sv.posResEuPerMm;
        sv.velResMmPerSec = n("vel_res_mm_per_sec", sv.velResMmPerSec);
        sv.speedMax = n("speed_max", sv.speedMax);
        sv.accelMax = n("accel_max", sv.accelMax);
        sv.moveDistMinStatic =
            static_cast<uint32_t>(n("move_dist_min_static", sv.moveDistMinStatic));
        sv.moveDistMinDynamic =
            static_cast<uint32_t>(n("move_dist_min_dynamic", sv.moveDistMinDynamic));
        sv.trace = static_cast<uint32_t>(n("trace", sv.trace));
        m.configsSent.push_back(
            {c.argInt("servo_name"), sv.pwmCap, sv.pwmCapTime, sv.kp, sv.speedMax});
    }
    static void servoMoveDefault(FirmwareModel&, Call& c)
    {
        c.ret = [](json::Writer& w) {
            w.open().key("move_type").num(3).key("start_sync").num(0).key("target").dbl(0.0);
            w.key("distance").dbl(0.0).key("speed_f").dbl(5.0).key("accel_f").dbl(10.0);
            w.key("decel_f").dbl(10.0).key("max_cycles").num(0).key("metric_skip").num(0);
            w.key("speed_offset_upramp_f").dbl(0.0).key("speed_offset_downramp_f").dbl(0.0);
            w.key("ignore_stalls").num(0).key("slaved").num(0).key("slave_ratio").dbl(1.0);
            w.close();
        };
    }
    static void servoMove(FirmwareModel& m, Call& c)
    {
        const long long which = c.argInt("servo_name");
        Servo& sv = m.servo(which);
        yajl_val mv = c.argRecord("move_config");
        const long long type = json::integer(json::at(mv, {"move_type"}), -1);
        m.movesSent.push_back({which, type, number(json::at(mv, {"target"})),
                               number(json::at(mv, {"distance"})),
                               number(json::at(mv, {"speed_f"})), number(json::at(mv, {"accel_f"})),
                               json::integer(json::at(mv, {"ignore_stalls"})) != 0});
        const double now = m.physicalMm(sv);
        double target;
        if (type == 1)
            target = now + number(json::at(mv, {"distance"}));
        else if (type == 3)
            target = number(json::at(mv, {"target"})) + sv.offsetMm;
        else
            target = NAN;
        if (!mv || std::isnan(target)) {
            c.retInt(2); // invalid move
            return;
        }
        double speed = number(json::at(mv, {"speed_f"}));
        if (speed <= 0 || speed > sv.speedMax)
            speed = sv.speedMax;
        sv.lastDistance = std::fabs(target - now);
        sv.startMm = now;
        // With stalls ignored the axis stops at its end stop; the move ends there.
        sv.targetMm = std::clamp(target, Z_MIN_MM, Z_MAX_MM);
        sv.speed = speed;
        sv.startedAt = Clock::now();
        ++sv.moves;
        c.retInt(0);
        if (sv.traced && m.hooks.sendEvent) {
            auto send = m.hooks.sendEvent;
            const auto stepNative = static_cast<long long>(sv.targetMm * sv.posResEuPerMm);
            const auto from = static_cast<long long>(now * sv.posResEuPerMm);
            c.reply.afterwards = [send, which, stepNative, from] {
                for (int i = 0; i <= 4; ++i) {
                    const long long pos = from + (stepNative - from) * i / 4;
                    send("servo_dc_trace_event",
                         "{\"trace\":{\"servo_name\":" + std::to_string(which) +
                             ",\"servo_state\":" + std::to_string(i < 4 ? 1 : 0) +
                             ",\"int_cnt\":" + std::to_string(i * 250) + ",\"pos_cmd\":" +
                             std::to_string(stepNative) + ",\"pos\":" + std::to_string(pos) +
                             ",\"pwm\":" + std::to_string(i < 4 ? 1800 : 0) +
                             ",\"padout_dist\":" + std::to_string(stepNative - pos) + "}}");
                }
            };
        }
    }
    static void servoMoveActive(FirmwareModel& m, Call& c)
    {
        c.retInt(m.moving(servoOf(m, c)) ? 1 : 0);
    }
    static void servoPutIdle(FirmwareModel& m, Call& c)
    {
        Servo& sv = servoOf(m, c);
        sv.startMm = sv.targetMm = m.physicalMm(sv); // stops where it is
        c.retInt(1);
    }
    static void servoMoveModifierValidate(FirmwareModel&, Call& c) { c.retInt(1); }
    static void servoMoveMetricsGet(FirmwareModel& m, Call& c)
    {
        c.ret = [sv = servoOf(m, c)](json::Writer& w) {
            w.open().key("n").num(sv.moves).key("mean").dbl(sv.lastDistance);
            w.key("M2").dbl(0.0).close();
        };
    }
    static void servoMoveDirGet(FirmwareModel& m, Call& c)
    {
        const Servo& sv = servoOf(m, c);
        c.retInt(!m.moving(sv) ? 0 : sv.targetMm > sv.startMm ? 1 : 2);
    }
    static void servoPositionGet(FirmwareModel& m, Call& c)
    {
        const Servo& sv = servoOf(m, c);
        c.retInt(std::llround((m.physicalMm(sv) - sv.offsetMm) * sv.posResEuPerMm));
    }
    static void servoPositionGetClient(FirmwareModel& m, Call& c)
    {
        const Servo& sv = servoOf(m, c);
        c.retNum(m.physicalMm(sv) - sv.offsetMm);
    }
    static void servoPositionSet(FirmwareModel& m, Call& c)
    {
        Servo& sv = servoOf(m, c);
        sv.offsetMm = m.physicalMm(sv) - c.argNum("position") / sv.posResEuPerMm;
    }
    static void servoPositionSetClient(FirmwareModel& m, Call& c)
    {
        Servo& sv = servoOf(m, c);
        sv.offsetMm = m.physicalMm(sv) - c.argNum("position");
    }
    static void servoTargetGetClient(FirmwareModel& m, Call& c)
    {
        const Servo& sv = servoOf(m, c);
        c.retNum(sv.targetMm - sv.offsetMm);
    }
    static void servoUnitsClientToNative(FirmwareModel& m, Call& c)
    {
        c.retInt(std::llround(c.argNum("pos_client") * servoOf(m, c).posResEuPerMm));
    }
    static void servoUnitsNativeToClient(FirmwareModel& m, Call& c)
    {
        c.retNum(c.argNum("pos_native") / servoOf(m, c).posResEuPerMm);
    }
    static void servoNameStrGet(FirmwareModel&, Call& c)
    {
        static const char* const names[] = {"X", "Y", "Z", "E"};
        const long long which = c.argInt("servo_name");
        c.retText(which >= 0 && which < 4 ? names[which] : "?");
    }
    static void servoTraceEnable(FirmwareModel& m, Call& c)
    {
        servoOf(m, c).traced = c.argInt("enable") != 0;
    }

    // --- the world outside the firmware

    // The filament hooks drive the job model, which calls back into this model:
    // they run without the lock.
    static void filament(Call& c, const std::function<unsigned char()>& run)
    {
        auto hook = run;
        c.lock.unlock();
        const unsigned char r = hook ? hook() : 0;
        c.lock.lock();
        c.retInt(r);
    }
    static void loadInitiate(FirmwareModel& m, Call& c) { filament(c, m.hooks.loadFilament); }
    static void unloadInitiate(FirmwareModel& m, Call& c) { filament(c, m.hooks.unloadFilament); }
    static void enterDfuMode(FirmwareModel& m, Call& c) { c.reply.afterwards = m.hooks.enterDfu; }
    static void resetPrinter(FirmwareModel& m, Call& c) { c.reply.afterwards = m.hooks.reset; }

    // --- storage card

    static void sdWrite(FirmwareModel& m, Call& c)
    {
        yajl_val buf = c.arg("buf");
        const auto offset = static_cast<uint32_t>(c.argInt("offset"));
        if (YAJL_IS_ARRAY(buf) && buf->u.array.len)
            m.storage[offset] = static_cast<uint8_t>(json::integer(buf->u.array.values[0]));
        c.retInt(0);
    }
    static void sdWriteByte(FirmwareModel& m, Call& c)
    {
        m.storage[static_cast<uint32_t>(c.argInt("offset"))] =
            static_cast<uint8_t>(c.argInt("write_buf"));
        c.ret = [](json::Writer& w) {
            w.open().key("success").num(1).key("timetowrite").num(3).close();
        };
    }
    static void sdReadByte(FirmwareModel& m, Call& c)
    {
        auto it = m.storage.find(static_cast<uint32_t>(c.argInt("offset")));
        const int b = it == m.storage.end() ? 0xff : it->second;
        c.ret = [b](json::Writer& w) {
            w.open().key("byteread").num(b).key("timetoread").num(2).close();
        };
    }
    static void sdRead(FirmwareModel& m, Call& c)
    {
        const auto offset = static_cast<uint32_t>(c.argInt("offset"));
        const auto length =
            static_cast<uint32_t>(std::clamp<long long>(c.argInt("length"), 0, 512));
        std::vector<uint8_t> data(length, 0xff);
        for (uint32_t i = 0; i < length; ++i)
            if (auto it = m.storage.find(offset + i); it != m.storage.end())
                data[i] = it->second;
        c.argOut["read_buf"] = [data](json::Writer& w) { bytes(w, data.data(), data.size()); };
        c.retInt(length);
    }
    static void sdGetStorageInfo(FirmwareModel&, Call& c)
    {
        c.ret = [](json::Writer& w) {
            w.open().key("total_size").num(static_cast<long long>(STORAGE_BLOCK) * STORAGE_BLOCKS);
            w.key("block_count").num(STORAGE_BLOCKS).key("block_size").num(STORAGE_BLOCK).close();
        };
    }

    // --- network tasks

    static void enableNetworkTasks(FirmwareModel& m, Call&) { m.networkTasks = true; }
    static void disableNetworkTasks(FirmwareModel& m, Call& c)
    {
        m.networkTasks = false;
        c.retInt(0);
    }
    static void networkTasksEnabled(FirmwareModel& m, Call& c) { c.retInt(m.networkTasks ? 1 : 0); }
};

const std::unordered_map<std::string, FirmwareModel::Commands::Handler>&
FirmwareModel::Commands::table()
{
    static const std::unordered_map<std::string, Handler> handlers = {
        {"bio_get_version", bioGetVersion},
        {"bio_get_serial", bioGetSerial},
        {"gpio_get_raw", gpioGetRaw},
        {"gpio_input_get", gpioInputGet},
        {"gpio_output_set", gpioOutputSet},

        {"gcode_process_command", gcodeCommand},
        {"gcode_process_macro", gcodeMacro},

        {"heater_param_set", heaterParamSet},
        {"heater_param_get", heaterParamGet},
        {"heater_param_set_defaults", heaterParamSetDefaults},
        {"heater_var_set_defaults", heaterVarSetDefaults},
        {"heater_turn_on", heaterTurnOn},
        {"heater_turn_off", heaterTurnOff},
        {"heater_in_guardband", heaterInGuardband},
        {"heater_state_get", heaterStateGet},
        {"heater_fault_get", acknowledge},
        {"heater_var_set", heaterVarSet},
        {"heater_var_get", heaterVarGet},

        {"wifi_start_wifi", acknowledge},
        {"wifi_stop_wifi", acknowledge},
        {"wifi_save_configuration", acknowledge},
        {"wifi_client_connect", wifiClientConnect},
        {"wifi_disconnect", wifiDisconnect},
        {"wifi_client_get_status", wifiClientGetStatus},
        {"wifi_client_get_configuration", wifiClientGetConfiguration},
        {"wifi_set_auto_start_configuration_item", wifiSetAutoStart},
        {"wifi_set_auto_connect_configuration_item", wifiSetAutoConnect},
        {"wifi_set_auto_connect_ssid_configuration_item", wifiSetAutoConnectSsid},
        {"wifi_set_auto_connect_key_configuration_item", wifiSetAutoConnectKey},
        {"wifi_client_configure", wifiClientConfigure},
        {"wifi_client_scan_refresh", wifiClientScanRefresh},
        {"wifi_client_scan_get", wifiClientScanGet},
        {"check_store_connection", checkStoreConnection},

        {"servo_dc_config_get", servoConfigGet},
        {"servo_dc_config_set", servoConfigSet},
        {"servo_dc_move_default", servoMoveDefault},
        {"servo_dc_move", servoMove},
        {"servo_dc_move_start_sync", acknowledge},
        {"servo_dc_backlash_set", acknowledge},
        {"servo_dc_move_active", servoMoveActive},
        {"servo_dc_put_idle", servoPutIdle},
        {"servo_dc_move_modify", acknowledge},
        {"servo_dc_move_modifier_validate", servoMoveModifierValidate},
        {"servo_dc_move_metrics_get", servoMoveMetricsGet},
        {"servo_dc_move_dir_get", servoMoveDirGet},
        {"servo_dc_position_get", servoPositionGet},
        {"servo_dc_position_get_client", servoPositionGetClient},
        {"servo_dc_position_set", servoPositionSet},
        {"servo_dc_position_set_client", servoPositionSetClient},
        {"servo_dc_target_get_client", servoTargetGetClient},
        {"servo_dc_units_client_to_native", servoUnitsClientToNative},
        {"servo_dc_units_native_to_client", servoUnitsNativeToClient},
        {"servo_dc_name_str_get", servoNameStrGet},
        {"servo_dc_trace_enable", servoTraceEnable},
        {"hbridge_duty_set", acknowledge},
        {"ui_led", acknowledge},

        {"load_initiate", loadInitiate},
        {"unload_initiate", unloadInitiate},
        {"Enter_dfu_mode", enterDfuMode},
        {"Reset_printer", resetPrinter},

        {"sd_mmc_write", sdWrite},
        {"sd_mmc_write_byte", sdWriteByte},
        {"sd_mmc_read_byte", sdReadByte},
        {"sd_mmc_read", sdRead},
        {"sd_mmc_get_storage_info", sdGetStorageInfo},

        {"jm_enable_network_tasks", enableNetworkTasks},
        {"jm_disable_network_tasks", disableNetworkTasks},
        {"jm_are_network_tasks_enabled", networkTasksEnabled},
    };
    return handlers;
}

FirmwareModel::Reply FirmwareModel::handle(yajl_val command)
{
    const std::string name = json::string(json::at(command, {"name"}));
    const long long idx = json::integer(json::at(command, {"idx"}));
    yajl_val args = json::at(command, {"args"});

    std::unique_lock<std::mutex> lock(mutex);
    std::optional<CommandFault> fault;
    if (auto f = faults.find(name); f != faults.end() && !f->second.empty()) {
        fault = f->second.front();
        f->second.pop_front();
    }
    if (fault == CommandFault::NoResponse)
        return {};

    Reply reply;
    Call call(args, lock, reply);
    const auto& handlers = Commands::table();
    if (auto h = handlers.find(name); h != handlers.end())
        h->second(*this, call);
    else
        call.retInt(-1); // a command this firmware does not know

    // The response: idx, name, the arguments echoed in the request's order
    // (or as the fault wants them), then the return value.
    json::Writer w;
    w.open().key("command").open().key("idx").num(idx).key("name").str(name).key("args").open();
    if (YAJL_IS_OBJECT(args)) {
        std::vector<size_t> order(args->u.object.len);
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        if (fault == CommandFault::ArgsReordered)
            std::reverse(order.begin(), order.end());
        for (size_t i : order) {
            const std::string key = args->u.object.keys[i];
            w.key(key);
            if (fault == CommandFault::WrongTypes)
                w.str("x");
            else if (auto out = call.argOut.find(key); out != call.argOut.end())
                out->second(w);
            else
                w.raw(args->u.object.values[i]);
        }
    }
    w.close();
    if (fault == CommandFault::WrongTypes) {
        w.key("__return__").str("x");
    } else if (fault != CommandFault::NoReturn) {
        w.key("__return__");
        call.ret(w);
    }
    w.close().close();
    // What the command did stays done (including what `afterwards` does);
    // only the answer never leaves.
    if (fault != CommandFault::NoResponseAfterActing)
        reply.data = w.text();
    return reply;
}

// --- accessors ----------------------------------------------------------------

std::vector<std::string> FirmwareModel::gcodeLog() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return gcode;
}

double FirmwareModel::zPositionMm() const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = servos.find(2);
    return it == servos.end() ? 0.0 : physicalMm(it->second);
}

bool FirmwareModel::zMoving() const
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = servos.find(2);
    return it != servos.end() && moving(it->second);
}

bool FirmwareModel::wifiConnected() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return wifi.connected;
}

std::string FirmwareModel::wifiConnectedSsid() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return wifi.connectedSsid;
}

double FirmwareModel::extruderTemperature() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return temperatureNow();
}

void FirmwareModel::setExtruderTarget(double celsius)
{
    std::lock_guard<std::mutex> lock(mutex);
    heaterFrom = temperatureNow();
    heaterSince = Clock::now();
    heaterVars[0] = celsius;
    heaterOn = celsius > AMBIENT_C;
}

std::vector<FirmwareModel::WifiNetwork> FirmwareModel::wifiNetworks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return wifi.networks;
}

void FirmwareModel::setWifiNetworks(std::vector<WifiNetwork> networks)
{
    std::lock_guard<std::mutex> lock(mutex);
    wifi.networks = std::move(networks);
}

std::vector<FirmwareModel::ServoConfigSent> FirmwareModel::servoConfigLog() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return configsSent;
}

std::vector<FirmwareModel::ServoMoveSent> FirmwareModel::servoMoveLog() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return movesSent;
}

std::string FirmwareModel::firmwareVersion() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return firmwareVersion_;
}

void FirmwareModel::setFirmwareVersion(std::string version)
{
    std::lock_guard<std::mutex> lock(mutex);
    firmwareVersion_ = std::move(version);
}

} // namespace zelksim
