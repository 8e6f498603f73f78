#include "FirmwareModel.h"

#include "Json.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

FirmwareModel::Reply FirmwareModel::handle(yajl_val command)
{
    const std::string name = json::string(json::at(command, {"name"}));
    const long long idx = json::integer(json::at(command, {"idx"}));
    yajl_val args = json::at(command, {"args"});
    auto arg = [args](const char* key) { return json::at(args, {key}); };
    auto argInt = [&](const char* key) { return json::integer(arg(key)); };
    auto argNum = [&](const char* key) { return number(arg(key)); };
    // The first record of a pointer argument (an array of records).
    auto argRecord = [&](const char* key) -> yajl_val {
        yajl_val a = arg(key);
        return YAJL_IS_ARRAY(a) && a->u.array.len ? a->u.array.values[0] : nullptr;
    };

    std::unique_lock<std::mutex> lock(mutex);
    std::optional<CommandFault> fault;
    if (auto f = faults.find(name); f != faults.end() && !f->second.empty()) {
        fault = f->second.front();
        f->second.pop_front();
    }
    if (fault == CommandFault::NoResponse)
        return {};

    Reply reply;
    Write ret = [](json::Writer& w) { w.num(0); };
    std::map<std::string, Write> argOut; // echoed arguments the firmware fills in
    auto retInt = [&](long long v) { ret = [v](json::Writer& w) { w.num(v); }; };
    auto retNum = [&](double v) { ret = [v](json::Writer& w) { w.dbl(v); }; };
    auto retText = [&](std::string s) { ret = [s](json::Writer& w) { textArray(w, s); }; };

    if (name == "bio_get_version") {
        retText(firmwareVersion_);
    } else if (name == "bio_get_serial") {
        retText(serial_);
    } else if (name == "gpio_get_raw") {
        retInt(gpio[argInt("gpio")]);
    } else if (name == "gpio_input_get") {
        const long long pin = argInt("pin");
        retInt(pin == 1 ? 1 : 0); // filament present; button and endstop open
    } else if (name == "gpio_output_set") {
        gpio[argInt("pin")] = argInt("value") != 0;
    } else if (name == "gcode_process_command" || name == "gcode_process_macro") {
        const std::string code = text(arg(name == "gcode_process_command" ? "command" : "macro"));
        gcode.push_back(code);
        const char first = code.empty() ? 0 : static_cast<char>(std::toupper(code[0]));
        retInt(first == 'G' || first == 'M' || first == 'T' ? 0 : 2);
        if (code.rfind("M400", 0) == 0) {
            // Answers when every queued move has ended.
            double remaining = 0;
            for (auto& entry : servos) {
                const Servo& sv = entry.second;
                if (moving(sv) && sv.speed > 0)
                    remaining = std::max(remaining, std::fabs(sv.targetMm - physicalMm(sv)) /
                                                        sv.speed / scale);
            }
            reply.delay = std::chrono::milliseconds(static_cast<long long>(remaining * 1000) + 1);
        }
    } else if (name == "heater_param_set") {
        heaterParams[argInt("param_num")] = argNum("param_val");
    } else if (name == "heater_param_get") {
        auto it = heaterParams.find(argInt("param_num"));
        const double v = it == heaterParams.end() ? 0.0 : it->second;
        argOut["param_val"] = [v](json::Writer& w) { w.openArray().dbl(v).closeArray(); };
    } else if (name == "heater_param_set_defaults") {
        heaterParams.clear();
    } else if (name == "heater_var_set_defaults") {
        heaterFrom = temperatureNow();
        heaterSince = Clock::now();
        heaterVars.clear();
    } else if (name == "heater_turn_on" || name == "heater_turn_off") {
        heaterFrom = temperatureNow();
        heaterSince = Clock::now();
        heaterOn = name == "heater_turn_on";
    } else if (name == "heater_in_guardband" || name == "heater_state_get") {
        const double t = temperatureNow();
        auto target = heaterVars.find(0);
        const double goal = target == heaterVars.end() ? AMBIENT_C : target->second;
        auto gb = heaterParams.find(6);
        const bool inBand = std::fabs(t - goal) <= (gb == heaterParams.end() ? 3.0 : gb->second);
        if (name == "heater_in_guardband")
            retInt(heaterOn && inBand ? 1 : 0);
        else
            retInt(!heaterOn ? (t > AMBIENT_C + 8 ? 3 : 0) : inBand ? 2 : t < goal ? 1 : 3);
    } else if (name == "heater_fault_get") {
        retInt(0);
    } else if (name == "heater_var_set") {
        heaterFrom = temperatureNow();
        heaterSince = Clock::now();
        heaterVars[argInt("var_num")] = argNum("var_val");
    } else if (name == "heater_var_get") {
        const long long var = argInt("var_num");
        double v = var == 1 ? temperatureNow() : 0.0;
        if (auto it = heaterVars.find(var); var != 1 && it != heaterVars.end())
            v = it->second;
        argOut["var_val"] = [v](json::Writer& w) { w.openArray().dbl(v).closeArray(); };
    } else if (name == "wifi_start_wifi" || name == "wifi_stop_wifi" ||
               name == "wifi_save_configuration") {
        retInt(0);
    } else if (name == "wifi_client_connect") {
        yajl_val connect = arg("connect_t");
        const std::string ssid = text(json::at(connect, {"ssid"}));
        const std::string key = text(json::at(connect, {"key"}));
        auto net = std::find_if(wifi.networks.begin(), wifi.networks.end(),
                                [&](const WifiNetwork& n) { return n.ssid == ssid; });
        if (net == wifi.networks.end()) {
            retInt(-1); // no such network
        } else if (net->encryption != 0 && net->key != key) {
            retInt(-2); // refused
        } else {
            wifi.connected = true;
            wifi.connectedSsid = ssid;
            retInt(0);
        }
    } else if (name == "wifi_disconnect") {
        wifi.connected = false;
        wifi.connectedSsid.clear();
        retInt(0);
    } else if (name == "wifi_client_get_status" || name == "wifi_client_get_configuration") {
        const bool on = wifi.connected;
        const std::string ssid = wifi.connectedSsid;
        Write ipConfig = [on, ssid](json::Writer& w) {
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
        if (name == "wifi_client_get_status") {
            ret = [on, ipConfig](json::Writer& w) {
                w.open().key("connected").num(on ? 1 : 0).key("ip_config");
                ipConfig(w);
                w.close();
            };
        } else {
            const Wifi cfg = wifi;
            ret = [cfg, ipConfig](json::Writer& w) {
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
                ipConfig(w);
                w.close();
            };
        }
    } else if (name == "wifi_set_auto_start_configuration_item") {
        wifi.autoStart = argInt("auto_start") != 0;
        retInt(0);
    } else if (name == "wifi_set_auto_connect_configuration_item") {
        wifi.autoConnect = argInt("auto_connect") != 0;
        retInt(0);
    } else if (name == "wifi_set_auto_connect_ssid_configuration_item") {
        wifi.autoSsid = text(arg("auto_connect_ssid")).substr(0, 32);
        retInt(0);
    } else if (name == "wifi_set_auto_connect_key_configuration_item") {
        wifi.autoKey = text(arg("auto_connect_key")).substr(0, 64);
        retInt(0);
    } else if (name == "wifi_client_configure") {
        yajl_val ifc = json::at(argRecord("config"), {"ifc_config"});
        if (YAJL_IS_OBJECT(ifc)) {
            wifi.autoStart = json::integer(json::at(ifc, {"auto_start"})) != 0;
            wifi.autoConnect = json::integer(json::at(ifc, {"auto_connect"})) != 0;
            wifi.autoSsid = text(json::at(ifc, {"auto_connect_ssid"})).substr(0, 32);
            wifi.autoKey = text(json::at(ifc, {"auto_connect_key"})).substr(0, 64);
            wifi.autoTimeout =
                static_cast<uint32_t>(json::integer(json::at(ifc, {"auto_connect_timeout"})));
        }
        retInt(0);
    } else if (name == "wifi_client_scan_refresh") {
        wifi.lastScan = wifi.networks;
        retInt(static_cast<long long>(wifi.lastScan.size()));
    } else if (name == "wifi_client_scan_get") {
        const auto i = static_cast<size_t>(argInt("index"));
        const WifiNetwork net = i < wifi.lastScan.size() ? wifi.lastScan[i] : WifiNetwork{};
        ret = [net](json::Writer& w) {
            w.open().key("ssid"), fixedArray(w, net.ssid, 32, true);
            w.key("encryption").num(net.encryption).key("strength").num(net.strength).close();
        };
    } else if (name == "servo_dc_config_get") {
        const Servo sv = servo(argInt("servo_name"));
        ret = [sv](json::Writer& w) {
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
    } else if (name == "servo_dc_config_set") {
        Servo& sv = servo(argInt("servo_name"));
        yajl_val c = arg("config");
        auto n = [c](const char* k, double fallback) { return number(json::at(c, {k}), fallback); };
        auto g = [c](const char* k, double fallback) {
            return number(json::at(c, {"gains", k}), fallback);
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
        configsSent.push_back({argInt("servo_name"), sv.pwmCap, sv.pwmCapTime, sv.kp, sv.speedMax});
    } else if (name == "servo_dc_move_default") {
        ret = [](json::Writer& w) {
            w.open().key("move_type").num(3).key("start_sync").num(0).key("target").dbl(0.0);
            w.key("distance").dbl(0.0).key("speed_f").dbl(5.0).key("accel_f").dbl(10.0);
            w.key("decel_f").dbl(10.0).key("max_cycles").num(0).key("metric_skip").num(0);
            w.key("speed_offset_upramp_f").dbl(0.0).key("speed_offset_downramp_f").dbl(0.0);
            w.key("ignore_stalls").num(0).key("slaved").num(0).key("slave_ratio").dbl(1.0);
            w.close();
        };
    } else if (name == "servo_dc_move") {
        const long long which = argInt("servo_name");
        Servo& sv = servo(which);
        yajl_val m = argRecord("move_config");
        const long long type = json::integer(json::at(m, {"move_type"}), -1);
        movesSent.push_back({which, type, number(json::at(m, {"target"})),
                             number(json::at(m, {"distance"})), number(json::at(m, {"speed_f"})),
                             number(json::at(m, {"accel_f"})),
                             json::integer(json::at(m, {"ignore_stalls"})) != 0});
        const double now = physicalMm(sv);
        double target;
        if (type == 1)
            target = now + number(json::at(m, {"distance"}));
        else if (type == 3)
            target = number(json::at(m, {"target"})) + sv.offsetMm;
        else
            target = NAN;
        if (!m || std::isnan(target)) {
            retInt(2); // invalid move
        } else {
            double speed = number(json::at(m, {"speed_f"}));
            if (speed <= 0 || speed > sv.speedMax)
                speed = sv.speedMax;
            sv.lastDistance = std::fabs(target - now);
            sv.startMm = now;
            // With stalls ignored the axis stops at its end stop; the move ends there.
            sv.targetMm = std::clamp(target, Z_MIN_MM, Z_MAX_MM);
            sv.speed = speed;
            sv.startedAt = Clock::now();
            ++sv.moves;
            retInt(0);
            if (sv.traced && hooks.sendEvent) {
                auto send = hooks.sendEvent;
                const auto stepNative = static_cast<long long>(sv.targetMm * sv.posResEuPerMm);
                const auto from = static_cast<long long>(now * sv.posResEuPerMm);
                reply.afterwards = [send, which, stepNative, from] {
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
    } else if (name == "servo_dc_move_start_sync" || name == "servo_dc_backlash_set" ||
               name == "hbridge_duty_set" || name == "ui_led" ||
               name == "jm_enable_network_tasks") {
        if (name == "jm_enable_network_tasks")
            networkTasks = true;
    } else if (name == "servo_dc_move_active") {
        retInt(moving(servo(argInt("servo_name"))) ? 1 : 0);
    } else if (name == "servo_dc_put_idle") {
        Servo& sv = servo(argInt("servo_name"));
        sv.startMm = sv.targetMm = physicalMm(sv); // stops where it is
        retInt(1);
    } else if (name == "servo_dc_move_modify") {
        retInt(0);
    } else if (name == "servo_dc_move_modifier_validate") {
        retInt(1);
    } else if (name == "servo_dc_move_metrics_get") {
        const Servo sv = servo(argInt("servo_name"));
        ret = [sv](json::Writer& w) {
            w.open().key("n").num(sv.moves).key("mean").dbl(sv.lastDistance);
            w.key("M2").dbl(0.0).close();
        };
    } else if (name == "servo_dc_move_dir_get") {
        const Servo& sv = servo(argInt("servo_name"));
        retInt(!moving(sv) ? 0 : sv.targetMm > sv.startMm ? 1 : 2);
    } else if (name == "servo_dc_position_get") {
        const Servo& sv = servo(argInt("servo_name"));
        retInt(std::llround((physicalMm(sv) - sv.offsetMm) * sv.posResEuPerMm));
    } else if (name == "servo_dc_position_get_client") {
        const Servo& sv = servo(argInt("servo_name"));
        retNum(physicalMm(sv) - sv.offsetMm);
    } else if (name == "servo_dc_position_set" || name == "servo_dc_position_set_client") {
        Servo& sv = servo(argInt("servo_name"));
        const double client = name == "servo_dc_position_set"
                                  ? argNum("position") / sv.posResEuPerMm
                                  : argNum("position");
        sv.offsetMm = physicalMm(sv) - client;
    } else if (name == "servo_dc_target_get_client") {
        const Servo& sv = servo(argInt("servo_name"));
        retNum(sv.targetMm - sv.offsetMm);
    } else if (name == "servo_dc_units_client_to_native") {
        retInt(std::llround(argNum("pos_client") * servo(argInt("servo_name")).posResEuPerMm));
    } else if (name == "servo_dc_units_native_to_client") {
        retNum(argNum("pos_native") / servo(argInt("servo_name")).posResEuPerMm);
    } else if (name == "servo_dc_name_str_get") {
        static const char* const names[] = {"X", "Y", "Z", "E"};
        const long long which = argInt("servo_name");
        retText(which >= 0 && which < 4 ? names[which] : "?");
    } else if (name == "servo_dc_trace_enable") {
        servo(argInt("servo_name")).traced = argInt("enable") != 0;
    } else if (name == "unload_initiate" || name == "load_initiate") {
        auto run = name == "load_initiate" ? hooks.loadFilament : hooks.unloadFilament;
        lock.unlock();
        const unsigned char r = run ? run() : 0;
        lock.lock();
        retInt(r);
    } else if (name == "Enter_dfu_mode" || name == "Reset_printer") {
        reply.afterwards = name == "Enter_dfu_mode" ? hooks.enterDfu : hooks.reset;
    } else if (name == "sd_mmc_write") {
        yajl_val buf = arg("buf");
        const auto offset = static_cast<uint32_t>(argInt("offset"));
        if (YAJL_IS_ARRAY(buf) && buf->u.array.len)
            storage[offset] = static_cast<uint8_t>(json::integer(buf->u.array.values[0]));
        retInt(0);
    } else if (name == "sd_mmc_write_byte") {
        storage[static_cast<uint32_t>(argInt("offset"))] =
            static_cast<uint8_t>(argInt("write_buf"));
        ret = [](json::Writer& w) {
            w.open().key("success").num(1).key("timetowrite").num(3).close();
        };
    } else if (name == "sd_mmc_read_byte") {
        auto it = storage.find(static_cast<uint32_t>(argInt("offset")));
        const int b = it == storage.end() ? 0xff : it->second;
        ret = [b](json::Writer& w) {
            w.open().key("byteread").num(b).key("timetoread").num(2).close();
        };
    } else if (name == "sd_mmc_read") {
        const auto offset = static_cast<uint32_t>(argInt("offset"));
        const auto length = static_cast<uint32_t>(std::clamp<long long>(argInt("length"), 0, 512));
        std::vector<uint8_t> data(length, 0xff);
        for (uint32_t i = 0; i < length; ++i)
            if (auto it = storage.find(offset + i); it != storage.end())
                data[i] = it->second;
        argOut["read_buf"] = [data](json::Writer& w) { bytes(w, data.data(), data.size()); };
        retInt(length);
    } else if (name == "sd_mmc_get_storage_info") {
        ret = [](json::Writer& w) {
            w.open().key("total_size").num(static_cast<long long>(STORAGE_BLOCK) * STORAGE_BLOCKS);
            w.key("block_count").num(STORAGE_BLOCKS).key("block_size").num(STORAGE_BLOCK).close();
        };
    } else if (name == "jm_disable_network_tasks") {
        networkTasks = false;
        retInt(0);
    } else if (name == "jm_are_network_tasks_enabled") {
        retInt(networkTasks ? 1 : 0);
    } else if (name == "check_store_connection") {
        retInt(wifi.connected ? 1 : 0);
    } else {
        retInt(-1); // a command this firmware does not know
    }

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
            else if (auto out = argOut.find(key); out != argOut.end())
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
        ret(w);
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
