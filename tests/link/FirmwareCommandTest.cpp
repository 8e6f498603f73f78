// Every kind of firmware command through TrelCommandInterface, answered by the
// virtual printer's firmware over the real libusb: typed results, records that
// go out and come back unchanged, a servo that moves and settles, Wi-Fi, the
// storage card, firmware-update mode, the printer misbehaving, and the outcome
// each call reports.
#include "Eventually.h"
#include "SimEnvironment.h"
#include "StdoutCapture.h"
#include "TestClient.h"
#include "TestTransport.h"

#include <FirmwareModel.h>
#include <VirtualPrinter.h>

#include <trel/TrelException.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

using namespace zelktest;
using namespace std::chrono_literals;
using zelksim::FirmwareModel;
using zelksim::VirtualPrinter;

namespace {

const TrelDeviceAddress PRINTER(1, 5);

std::shared_ptr<char> text(const std::string& s)
{
    std::shared_ptr<char> p(new char[s.size() + 1], std::default_delete<char[]>());
    std::memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

std::string str(const std::shared_ptr<char>& p)
{
    return p ? std::string(p.get()) : std::string("(null)");
}

// The value of a call that must have been answered and decoded in full.
template <typename T>
T answered(TrelResult<T> result)
{
    EXPECT_TRUE(result.ok()) << result.status_name();
    return result.value;
}

// The JSON a value travels as; compares records field by field, padding aside.
template <typename T>
std::string wire(T value)
{
    std::unique_ptr<yajl_gen_t, void (*)(yajl_gen)> g(yajl_gen_alloc(nullptr), yajl_gen_free);
    yajl_gen_map_open(g.get());
    cmd_ifc_serialize_type(g.get(), "v", value);
    yajl_gen_map_close(g.get());
    const unsigned char* buf;
    size_t len;
    yajl_gen_get_buf(g.get(), &buf, &len);
    return std::string(reinterpret_cast<const char*>(buf), len);
}

// Sends a command with its arguments and returns the firmware's echo of them.
template <typename R, typename... A>
std::tuple<A...> echo(TrelTransport& transport, const char* name, int idx,
                      std::vector<std::string> keys, A... args)
{
    TrelFirmwareCommand<R, A...> cmd(transport, name, idx, std::tuple<A...>(args...), keys);
    cmd.send(PRINTER);
    EXPECT_TRUE(cmd.response_available()) << name;
    if (!cmd.response_available())
        return {};
    auto& r = dynamic_cast<TrelFirmwareCommand<R, A...>&>(*cmd.response());
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> echoed = r.keys();
    std::sort(echoed.begin(), echoed.end());
    EXPECT_EQ(echoed, keys) << name;
    return r.arguments();
}

class FirmwareCommands : public testing::Test
{
protected:
    void SetUp() override
    {
        printer.setTimeScale(40); // moves and heating at forty times real speed
        printer.plug();
        ASSERT_TRUE(transport.waitFor(true, PRINTER));
    }

    // Polls the Z position the way the desktop program waits for a move:
    // until two readings in a row agree.
    int settledZ()
    {
        int last = fw.servo_dc_position_get(PRINTER, SERVO_DC_Z);
        for (int i = 0; i < 200; ++i) {
            std::this_thread::sleep_for(25ms);
            const int now = fw.servo_dc_position_get(PRINTER, SERVO_DC_Z);
            if (now == last)
                return now;
            last = now;
        }
        ADD_FAILURE() << "Z never settled";
        return last;
    }

    TestTransport transport;
    TrelCommandInterface fw{transport};
    VirtualPrinter printer{SimEnvironment::bus()};
};

} // namespace

TEST_F(FirmwareCommands, IdentityTexts)
{
    EXPECT_EQ(str(fw.bio_get_version(PRINTER)), "1.2.0");
    EXPECT_EQ(str(fw.bio_get_serial(PRINTER)), "ZK1-000001");
    EXPECT_EQ(str(fw.servo_dc_name_str_get(PRINTER, SERVO_DC_Z)), "Z");
}

TEST_F(FirmwareCommands, PinsAndGcode)
{
    EXPECT_FALSE(fw.gpio_get_raw(PRINTER, GPIO_PART_FAN));
    fw.gpio_output_set(PRINTER, GPIO_PART_FAN, true);
    EXPECT_TRUE(fw.gpio_get_raw(PRINTER, GPIO_PART_FAN));
    EXPECT_EQ(fw.gpio_input_get(PRINTER, GPIO_INPUT_FILAMENT, true), INPUT_STATE_HIGH);

    EXPECT_EQ(fw.gcode_process_command(PRINTER, text("G28 Z")), GCODE_PROCESS_OK);
    EXPECT_EQ(fw.gcode_process_command(PRINTER, text("hello")), GCODE_PROCESS_UNKNOWN_COMMAND);
    EXPECT_EQ(fw.gcode_process_macro(PRINTER, text("M104 S200")), GCODE_PROCESS_OK);
    EXPECT_EQ(printer.firmware().gcodeLog(),
              (std::vector<std::string>{"G28 Z", "hello", "M104 S200"}));
}

TEST_F(FirmwareCommands, ZServoMovesAndSettles)
{
    const int start = fw.servo_dc_position_get(PRINTER, SERVO_DC_Z);
    std::shared_ptr<servo_dc_move_config_t> move = std::make_shared<servo_dc_move_config_t>(
        answered(fw.servo_dc_move_default_checked(PRINTER)));
    move->move_type = 1; // relative
    move->distance = 10.0f;
    move->speed_f = 5.0f;
    EXPECT_EQ(fw.servo_dc_move(PRINTER, SERVO_DC_Z, move), SERVO_MOVE_STARTED);
    EXPECT_TRUE(fw.servo_dc_move_active(PRINTER, SERVO_DC_Z));
    EXPECT_EQ(settledZ(), start + 1000); // 100 encoder units per millimetre
    EXPECT_FALSE(fw.servo_dc_move_active(PRINTER, SERVO_DC_Z));

    // Declare this spot zero, then go to an absolute -5: the axis stops at
    // its end stop if that is nearer.
    fw.servo_dc_position_set_client(PRINTER, SERVO_DC_Z, 0.0f);
    EXPECT_EQ(fw.servo_dc_position_get(PRINTER, SERVO_DC_Z), 0);
    move->move_type = 3;
    move->target = -5.0;
    fw.servo_dc_move(PRINTER, SERVO_DC_Z, move);
    EXPECT_EQ(fw.servo_dc_target_get_client(PRINTER, SERVO_DC_Z), -5.0f);
    EXPECT_EQ(settledZ(), -500);
    EXPECT_EQ(fw.servo_dc_units_client_to_native(PRINTER, SERVO_DC_Z, 2.5f), 250);
    EXPECT_EQ(fw.servo_dc_units_native_to_client(PRINTER, SERVO_DC_Z, 250), 2.5f);
    EXPECT_EQ(answered(fw.servo_dc_move_metrics_get_checked(PRINTER, SERVO_DC_Z)).n, 2);

    // M400 answers only once the queued motion is over.
    move->target = 5.0;
    fw.servo_dc_move(PRINTER, SERVO_DC_Z, move);
    fw.gcode_process_command(PRINTER, text("M400"));
    EXPECT_FALSE(printer.firmware().zMoving());
}

TEST_F(FirmwareCommands, RecordsRoundTrip)
{
    servo_dc_client_config_t config = answered(fw.servo_dc_config_get_checked(PRINTER, SERVO_DC_Z));
    EXPECT_EQ(config.pwm_cap, 3580);
    config.pwm_cap = 2000;
    config.pwm_cap_time = 5;
    config.gains.kp = 1.25f;
    fw.servo_dc_config_set(PRINTER, SERVO_DC_Z, config);
    EXPECT_EQ(wire(fw.servo_dc_config_get(PRINTER, SERVO_DC_Z)), wire(config));

    wifi_client_connect_t connect{};
    std::strcpy(connect.ssid, "ZelkLab");
    std::memset(connect.key, 'k', sizeof connect.key); // a full-length key, no zero
    connect.timeout = 15000;
    auto back = echo<int>(transport, "wifi_client_connect", 20, {"interface_t", "connect_t"},
                          WIFI_INTERFACE_CLIENT, connect);
    EXPECT_EQ(wire(std::get<1>(back)), wire(connect));

    auto cfg = std::make_shared<wifi_config_t>();
    cfg->ifc_config.auto_connect = true;
    std::strcpy(cfg->ifc_config.auto_connect_ssid, "Workshop-2G");
    std::strcpy(cfg->ifc_config.auto_connect_key, "sawdust");
    cfg->ifc_config.auto_connect_timeout = 9000;
    auto configured = echo<int>(transport, "wifi_client_configure", 29,
                                {"interface_t", "cmd", "config"}, WIFI_INTERFACE_CLIENT, 1, cfg);
    EXPECT_EQ(wire(std::get<2>(configured)), wire(cfg));
    const wifi_config_t stored =
        answered(fw.wifi_client_get_configuration_checked(PRINTER, WIFI_INTERFACE_CLIENT));
    EXPECT_EQ(wire(stored.ifc_config), wire(cfg->ifc_config));
    EXPECT_EQ(stored.hdw_config.mac_address[1], 0x1a);

    auto move = std::make_shared<servo_dc_move_config_t>(fw.servo_dc_move_default(PRINTER));
    move->target = 1.0 / 3.0; // a double that a float could not carry
    auto moved = echo<servo_move_call_result_t>(transport, "servo_dc_move", 33,
                                                {"servo_name", "move_config"}, SERVO_DC_Z, move);
    ASSERT_NE(std::get<1>(moved), nullptr);
    EXPECT_EQ(std::get<1>(moved)->target, 1.0 / 3.0);
    EXPECT_EQ(wire(std::get<1>(moved)), wire(move));

    auto modifier = std::make_shared<servo_dc_move_modifier_data_t>();
    modifier->servo_name = SERVO_DC_Z;
    modifier->vel = 2.5f;
    modifier->use_validation_pos = true;
    modifier->data = -7;
    auto modified = echo<unsigned char>(transport, "servo_dc_move_modify", 37,
                                        {"modifer_data", "count", "validate"}, modifier, 1u, true);
    EXPECT_EQ(wire(std::get<0>(modified)), wire(modifier));
    EXPECT_TRUE(fw.servo_dc_move_modifier_validate(PRINTER, modifier, 1));
}

TEST_F(FirmwareCommands, HeaterParametersAndVariables)
{
    EXPECT_EQ(fw.heater_param_set(PRINTER, HEATER_PARAM_KD, 0.5f), 0);
    // The value comes back in the response's arguments only.
    auto got = echo<short>(transport, "heater_param_get", 8, {"param_num", "param_val"},
                           HEATER_PARAM_KD, std::make_shared<float>(0.0f));
    ASSERT_NE(std::get<1>(got), nullptr);
    EXPECT_EQ(*std::get<1>(got), 0.5f);

    EXPECT_EQ(fw.heater_state_get(PRINTER), HEATER_STATE_OFF);
    printer.setTimeScale(400);
    fw.heater_var_set(PRINTER, HEATER_VAR_TARGET_TEMP, 200.0f);
    fw.heater_turn_on(PRINTER);
    EXPECT_EQ(fw.heater_state_get(PRINTER), HEATER_STATE_HEATING);
    EXPECT_TRUE(eventually([&] { return fw.heater_in_guardband(PRINTER); }, 20s));
    EXPECT_EQ(fw.heater_state_get(PRINTER), HEATER_STATE_AT_TEMPERATURE);
    EXPECT_EQ(fw.heater_fault_get(PRINTER), HEATER_FAULT_NONE);
}

TEST_F(FirmwareCommands, WifiScanConnectAndAutoConnect)
{
    EXPECT_FALSE(fw.wifi_client_get_status(PRINTER, WIFI_INTERFACE_CLIENT).connected);
    const int n = fw.wifi_client_scan_refresh(PRINTER, WIFI_INTERFACE_CLIENT);
    ASSERT_EQ(n, 5);
    std::vector<std::string> names;
    std::vector<int> security;
    for (int i = 0; i < n; ++i) {
        const wifi_scan_network_t net = answered(fw.wifi_client_scan_get_checked(
            PRINTER, WIFI_INTERFACE_CLIENT, static_cast<unsigned char>(i)));
        names.emplace_back(net.ssid, strnlen(net.ssid, sizeof net.ssid));
        security.push_back(net.encryption);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"ZelkLab", "CoffeeShop", "OldRouter", "Workshop-2G",
                                               "Mesh-Node"}));
    EXPECT_EQ(security, (std::vector<int>{3, 0, 1, 2, 4}));

    wifi_client_connect_t connect{};
    std::strcpy(connect.ssid, "ZelkLab");
    std::strcpy(connect.key, "wrong");
    EXPECT_NE(fw.wifi_client_connect(PRINTER, WIFI_INTERFACE_CLIENT, connect), 0);
    std::strcpy(connect.key, "correct horse");
    EXPECT_EQ(fw.wifi_client_connect(PRINTER, WIFI_INTERFACE_CLIENT, connect), 0);

    const wifi_status_t status =
        answered(fw.wifi_client_get_status_checked(PRINTER, WIFI_INTERFACE_CLIENT));
    EXPECT_TRUE(status.connected);
    // 192.168.1.57 as one number in the machine's byte order.
    uint32_t ip;
    std::memcpy(&ip, status.ip_config.ip, sizeof ip);
    EXPECT_EQ(ip, 0xC0A80139u);
    EXPECT_EQ(std::vector<int>(status.ip_config.mac_address, status.ip_config.mac_address + 6),
              (std::vector<int>{0, 0x1a, 0x2b, 3, 4, 5}));
    EXPECT_STREQ(reinterpret_cast<const char*>(status.ip_config.connected_ssid), "ZelkLab");
    EXPECT_EQ(fw.check_store_connection(PRINTER), 1);

    EXPECT_EQ(fw.wifi_disconnect(PRINTER, WIFI_INTERFACE_CLIENT), 0);
    EXPECT_FALSE(fw.wifi_client_get_status(PRINTER, WIFI_INTERFACE_CLIENT).connected);

    EXPECT_EQ(fw.wifi_set_auto_connect_ssid_configuration_item(PRINTER, WIFI_INTERFACE_CLIENT,
                                                               text("CoffeeShop")),
              0);
    EXPECT_EQ(
        fw.wifi_set_auto_connect_key_configuration_item(PRINTER, WIFI_INTERFACE_CLIENT, text("")),
        0);
    EXPECT_EQ(fw.wifi_set_auto_connect_configuration_item(PRINTER, WIFI_INTERFACE_CLIENT, true), 0);
    const wifi_config_t cfg = fw.wifi_client_get_configuration(PRINTER, WIFI_INTERFACE_CLIENT);
    EXPECT_TRUE(cfg.ifc_config.auto_connect);
    EXPECT_STREQ(cfg.ifc_config.auto_connect_ssid, "CoffeeShop");
}

TEST_F(FirmwareCommands, StorageCard)
{
    const storage_info_t info = answered(fw.sd_mmc_get_storage_info_checked(PRINTER));
    EXPECT_EQ(info.block_size, 512);
    EXPECT_EQ(static_cast<long long>(info.block_count) * info.block_size, info.total_size);

    const write_byte_return_t w = answered(fw.sd_mmc_write_byte_checked(PRINTER, 4096, 0xA5));
    EXPECT_EQ(w.success, 1);
    EXPECT_EQ(answered(fw.sd_mmc_read_byte_checked(PRINTER, 4096)).byteread, 0xA5);
    EXPECT_EQ(fw.sd_mmc_read_byte(PRINTER, 4097).byteread, 0xFF);

    auto read = echo<int>(transport, "sd_mmc_read", 58, {"offset", "read_buf", "length"}, 4095u,
                          std::shared_ptr<unsigned char>(new unsigned char[1](),
                                                         std::default_delete<unsigned char[]>()),
                          3u);
    const unsigned char* bytes = std::get<1>(read).get();
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::vector<int>(bytes, bytes + 3), (std::vector<int>{0xFF, 0xA5, 0xFF}));
}

TEST_F(FirmwareCommands, EveryRemainingCommandAnswers)
{
    StdoutCapture out;
    fw.heater_param_set_defaults(PRINTER);
    fw.heater_var_set_defaults(PRINTER);
    EXPECT_EQ(fw.heater_turn_off(PRINTER), 0);
    EXPECT_EQ(fw.wifi_start_wifi(PRINTER, WIFI_INTERFACE_CLIENT), 0);
    EXPECT_EQ(fw.wifi_stop_wifi(PRINTER, WIFI_INTERFACE_CLIENT), 0);
    EXPECT_EQ(fw.wifi_save_configuration(PRINTER, WIFI_INTERFACE_CLIENT), 0);
    EXPECT_EQ(fw.wifi_set_auto_start_configuration_item(PRINTER, WIFI_INTERFACE_CLIENT, false), 0);
    fw.servo_dc_move_start_sync(PRINTER);
    EXPECT_TRUE(fw.servo_dc_put_idle(PRINTER, SERVO_DC_Z));
    EXPECT_EQ(fw.servo_dc_move_dir_get(PRINTER, SERVO_DC_Z), SERVO_DIR_NONE);
    fw.servo_dc_position_set(PRINTER, SERVO_DC_Z, 1234);
    EXPECT_EQ(fw.servo_dc_position_get_client(PRINTER, SERVO_DC_Z), 12.34f);
    fw.servo_dc_backlash_set(PRINTER, SERVO_DC_Z, 3, true);
    fw.servo_dc_trace_enable(PRINTER, SERVO_DC_Z, false);
    fw.ui_led(PRINTER, UI_LED_STATUS, 5, 5);
    fw.hbridge_duty_set(PRINTER, HBRIDGE_PART_FAN, 128);
    EXPECT_EQ(fw.sd_mmc_write(PRINTER, 0, std::shared_ptr<unsigned char>(new unsigned char(7)), 1),
              0);
    EXPECT_EQ(fw.sd_mmc_read(PRINTER, 0, nullptr, 1), 1);
    EXPECT_EQ(fw.jm_disable_network_tasks(PRINTER), 0);
    EXPECT_FALSE(fw.jm_are_network_tasks_enabled(PRINTER));
    fw.jm_enable_network_tasks(PRINTER);
    EXPECT_TRUE(fw.jm_are_network_tasks_enabled(PRINTER));
    EXPECT_EQ(fw.load_initiate(PRINTER), 0);
    EXPECT_EQ(fw.unload_initiate(PRINTER), 0);
    EXPECT_EQ(out.text(), "") << "some command went unanswered";
}

TEST_F(FirmwareCommands, TraceEventsFollowATracedMove)
{
    class Tracer : public TestTransport
    {
    public:
        Tracer() : TestTransport(Derived()) { start_callbacks(); }
        ~Tracer() override { stop_callbacks(); }
        void servo_dc_trace_event(TrelDeviceAddress, servo_trace_msg record) override
        {
            std::lock_guard<std::mutex> lock(m);
            records.push_back(record);
        }
        std::mutex m; // guards records
        std::vector<servo_trace_msg> records;
    };
    // A second client in the process hears every event too, although it
    // registered after the printer opened.
    Tracer tracer;
    fw.servo_dc_trace_enable(PRINTER, SERVO_DC_Z, true);
    auto move = std::make_shared<servo_dc_move_config_t>(fw.servo_dc_move_default(PRINTER));
    move->move_type = 1;
    move->distance = 1.0f;
    fw.servo_dc_move(PRINTER, SERVO_DC_Z, move);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(tracer.m);
        return tracer.records.size() >= 5;
    }));
    std::lock_guard<std::mutex> lock(tracer.m);
    EXPECT_EQ(tracer.records.front().servo_name, SERVO_DC_Z);
    EXPECT_EQ(tracer.records.back().servo_state, 0);
    EXPECT_EQ(tracer.records.back().pos, tracer.records.back().pos_cmd);
}

TEST_F(FirmwareCommands, EnterDfuModeLeavesTheBusAndComesBackAsProduct3)
{
    fw.Enter_dfu_mode(PRINTER);
    ASSERT_TRUE(transport.waitFor(false, PRINTER));
    ASSERT_TRUE(eventually([&] {
        auto rows = transport.list_attached();
        return rows.size() == 1 && rows[0].mode == 2;
    }));
    EXPECT_TRUE(printer.inFirmwareUpdateMode());
    EXPECT_TRUE(transport.list_connected().empty());
}

// --- the printer misbehaving

struct FaultCase
{
    const char* name;
    FirmwareModel::CommandFault fault;
    bool answered;
    TrelStatus status;
};

class CommandFaults : public FirmwareCommands, public testing::WithParamInterface<FaultCase>
{};

TEST_P(CommandFaults, CallsSayWhatFailedAndReturnTheirStartValue)
{
    StdoutCapture out;
    transport.set_response_timeout(200ms);
    printer.firmware().injectCommandFault("bio_get_version", GetParam().fault);
    printer.firmware().injectCommandFault("wifi_client_get_status", GetParam().fault);
    printer.firmware().injectCommandFault("gpio_input_get", GetParam().fault);

    const TrelResult<std::shared_ptr<char>> version = fw.bio_get_version_checked(PRINTER);
    EXPECT_EQ(version.status, GetParam().status) << version.status_name();
    EXPECT_EQ(version.value, nullptr);
    EXPECT_FALSE(fw.wifi_client_get_status(PRINTER, WIFI_INTERFACE_CLIENT).connected);
    EXPECT_EQ(fw.gpio_input_get(PRINTER, GPIO_INPUT_FILAMENT, false), INPUT_STATE_LOW);
    EXPECT_EQ(out.contains("timed out"), !GetParam().answered) << out.text();

    // Faults are one-shot: the next calls are answered properly.
    EXPECT_EQ(str(fw.bio_get_version(PRINTER)), "1.2.0");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CommandFaults,
    testing::Values(
        FaultCase{"NoResponse", FirmwareModel::CommandFault::NoResponse, false, TREL_ERROR_TIMEOUT},
        FaultCase{"AnswerLost", FirmwareModel::CommandFault::NoResponseAfterActing, false,
                  TREL_ERROR_TIMEOUT},
        FaultCase{"NoReturn", FirmwareModel::CommandFault::NoReturn, true, TREL_ERROR_NO_RETURN},
        FaultCase{"WrongTypes", FirmwareModel::CommandFault::WrongTypes, true,
                  TREL_ERROR_BAD_RESPONSE}),
    [](const testing::TestParamInfo<FaultCase>& i) { return i.param.name; });

TEST_F(FirmwareCommands, ReorderedArgumentsBindByPosition)
{
    printer.firmware().injectCommandFault("gpio_output_set",
                                          FirmwareModel::CommandFault::ArgsReordered);
    auto back = echo<int>(transport, "gpio_output_set", 4, {"pin", "value"}, GPIO_PART_FAN, true);
    // {"value":1,"pin":1}: the pin slot reads "value", the value slot "pin".
    EXPECT_EQ(std::get<0>(back), 1);
    EXPECT_TRUE(std::get<1>(back));
}

TEST_F(FirmwareCommands, UnpluggedPrinterGivesNullTextsWithoutThrowing)
{
    printer.unplug();
    ASSERT_TRUE(transport.waitFor(false, PRINTER));
    StdoutCapture out;
    std::shared_ptr<char> version;
    EXPECT_NO_THROW(version = fw.bio_get_version(PRINTER));
    EXPECT_EQ(version, nullptr);
    EXPECT_EQ(fw.servo_dc_config_get_checked(PRINTER, SERVO_DC_Z).status, TREL_ERROR_NO_DEVICE);
    EXPECT_NE(out.text().find(" -- Transport Error - Device has been disconnected.\n"),
              std::string::npos)
        << out.text();
    EXPECT_EQ(out.text().rfind("TrelMessage: ", 0), 0u);
}

TEST_F(FirmwareCommands, AnAnswerLostBeforeOrAfterThePrinterActed)
{
    // The caller sees the same timeout; only the second request changed the
    // printer, so a caller that must know reads the state back.
    StdoutCapture out;
    transport.set_response_timeout(300ms);
    servo_dc_client_config_t config = answered(fw.servo_dc_config_get_checked(PRINTER, SERVO_DC_Z));
    config.pwm_cap = 2000;
    for (auto fault : {FirmwareModel::CommandFault::NoResponse,
                       FirmwareModel::CommandFault::NoResponseAfterActing}) {
        printer.firmware().injectCommandFault("servo_dc_config_set", fault);
        EXPECT_EQ(fw.servo_dc_config_set_checked(PRINTER, SERVO_DC_Z, config).status,
                  TREL_ERROR_TIMEOUT);
        EXPECT_EQ(answered(fw.servo_dc_config_get_checked(PRINTER, SERVO_DC_Z)).pwm_cap,
                  fault == FirmwareModel::CommandFault::NoResponse ? 3580 : 2000);
    }
}

TEST_F(FirmwareCommands, AFirmwareErrorCodeIsAnAnswer)
{
    printer.setResponder([](const std::string&) {
        return std::optional<std::string>("{\"command\":{\"idx\":11,\"name\":\"heater_turn_on\","
                                          "\"args\":{},\"__return__\":-2}}");
    });
    const TrelResult<short> on = fw.heater_turn_on_checked(PRINTER);
    EXPECT_TRUE(on.ok()) << on.status_name();
    EXPECT_EQ(on.value, -2);
}

TEST_F(FirmwareCommands, NonFiniteNumbersAreRefusedBeforeAnythingIsWritten)
{
    StdoutCapture out;
    servo_dc_client_config_t config = answered(fw.servo_dc_config_get_checked(PRINTER, SERVO_DC_Z));
    const int writes = printer.writesReceived(VirtualPrinter::Command);
    EXPECT_EQ(fw.servo_dc_position_set_client_checked(PRINTER, SERVO_DC_Z, NAN).status,
              TREL_ERROR_INVALID_ARGUMENT);
    config.gains.kp = INFINITY;
    EXPECT_EQ(fw.servo_dc_config_set_checked(PRINTER, SERVO_DC_Z, config).status,
              TREL_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(printer.writesReceived(VirtualPrinter::Command), writes);
    EXPECT_TRUE(out.contains(" -- Argument config.gains.kp of servo_dc_config_set is not a finite "
                             "number; the command was not sent.\n"))
        << out.text();
    EXPECT_EQ(answered(fw.servo_dc_config_get_checked(PRINTER, SERVO_DC_Z)).gains.kp, 0.8f);
}

TEST_F(FirmwareCommands, BlockingCallsFromALibraryCallbackFailAtOnce)
{
    // The receive callback runs on the thread that delivers answers: a command
    // made there could only time out, and a job-channel write never returned
    // (libusb cannot complete a transfer from inside its own event handling).
    class Caller : public TestClient
    {
    public:
        Caller() : TestClient(Derived()) { start_callbacks(); }
        ~Caller() override { stop_callbacks(); }
        void StatusReceived(TrelDeviceAddress a, StatusMsg s) override
        {
            if (!called.exchange(true)) {
                const auto start = std::chrono::steady_clock::now();
                command = heater_turn_on_checked(a).status;
                try {
                    RequestStatus(a);
                } catch (const TrelException& e) {
                    write = e.status();
                }
                took = std::chrono::steady_clock::now() - start;
            }
            TestClient::StatusReceived(a, s); // publishes the above under its lock
        }
        std::atomic<bool> called{false};
        TrelStatus command = TREL_SUCCESS;
        TrelStatus write = TREL_SUCCESS;
        std::chrono::steady_clock::duration took{};
    } client;
    StdoutCapture out;
    client.RequestStatus(PRINTER);
    ASSERT_TRUE(client.waitUntil([](TestClient& c) { return !c.statuses.empty(); }));
    EXPECT_EQ(client.command, TREL_ERROR_NOT_ALLOWED);
    EXPECT_EQ(client.write, TREL_ERROR_NOT_ALLOWED);
    EXPECT_LT(client.took, 1s);
    EXPECT_EQ(fw.heater_state_get(PRINTER), HEATER_STATE_OFF); // nothing was sent
    EXPECT_EQ(client.heater_turn_on_checked(PRINTER).status, TREL_SUCCESS);
}

// --- every other call from a receive callback

namespace {

std::string outcome(const std::function<void()>& call)
{
    try {
        call();
    } catch (const TrelException& e) {
        return trel_status_name(e.status());
    }
    return "works";
}

struct CallbackCase
{
    const char* name;
    // Runs inside StatusReceived. Threads it starts go into `later`, joined
    // once the callback has returned.
    std::function<std::string(TestClient& self, VirtualPrinter& printer,
                              std::vector<std::thread>& later)>
        call;
    const char* expected;
};

class FromACallback : public FirmwareCommands, public testing::WithParamInterface<CallbackCase>
{
protected:
    void TearDown() override { TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS); }
};

} // namespace

TEST_P(FromACallback, EveryCallWorksOrFailsAtOnce)
{
    // Each of these waited for a lock that another thread held while it
    // waited for this very thread (a registration for the channel lock, a
    // writer for its transfer), or pumped events where libusb refuses to:
    // the back end's thread hung and with it every printer.
    class Probe : public TestClient
    {
    public:
        Probe() : TestClient(Derived()) { start_callbacks(); }
        ~Probe() override { stop_callbacks(); }
        void StatusReceived(TrelDeviceAddress a, StatusMsg s) override
        {
            if (!called.exchange(true)) {
                const auto start = std::chrono::steady_clock::now();
                const std::string r = call(*this);
                std::lock_guard<std::mutex> lock(mutex);
                result = r;
                took = std::chrono::steady_clock::now() - start;
            }
            TestClient::StatusReceived(a, s);
        }
        std::function<std::string(TestClient&)> call;
        std::atomic<bool> called{false};
        std::string result;
        std::chrono::steady_clock::duration took{};
    } probe;
    std::vector<std::thread> later;
    probe.call = [&](TestClient& self) { return GetParam().call(self, printer, later); };
    // Sent by the printer on its own: an answer to a write of this thread
    // could reach the callback on this thread, inside that write.
    const std::string status = "{\"metadata\":{\"type\":\"status\"}}";
    printer.sendRaw(VirtualPrinter::Job, std::vector<uint8_t>(status.begin(), status.end()));
    ASSERT_TRUE(probe.waitUntil([](TestClient& c) { return !c.statuses.empty(); }, 15s))
        << "the callback never returned";
    for (std::thread& t : later)
        t.join();
    EXPECT_EQ(probe.result, GetParam().expected);
    EXPECT_LT(probe.took, 2s);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FromACallback,
    testing::Values(
        CallbackCase{"ListAttachedWhileAClientIsBuilt",
                     [](TestClient&, VirtualPrinter&, std::vector<std::thread>& later) {
                         // It waits for the job channel's lock, which this
                         // callback holds, holding the back end's own.
                         later.emplace_back([] { TestClient another; });
                         std::this_thread::sleep_for(200ms);
                         return outcome([] {
                             if (TrelTransport::list_attached().size() != 1)
                                 throw TrelException("wrong listing");
                         });
                     },
                     "works"},
        CallbackCase{
            "ListConnectedWhileAWriterHoldsTheTable",
            [](TestClient& self, VirtualPrinter& printer, std::vector<std::thread>& later) {
                TrelUsb::set_write_timeout(100);
                printer.timeoutWrites(VirtualPrinter::Job, 4);
                const int before = printer.writesReceived(VirtualPrinter::Job);
                later.emplace_back([&self] { outcome([&] { self.SendPause(PRINTER); }); });
                if (!eventually(
                        [&] { return printer.writesReceived(VirtualPrinter::Job) > before; }))
                    return std::string("the writer never wrote");
                return outcome([] {
                    if (TrelTransport::list_connected() != std::vector<TrelDeviceAddress>{PRINTER})
                        throw TrelException("wrong listing");
                });
            },
            "works"},
        CallbackCase{"ListUnopened",
                     [](TestClient&, VirtualPrinter&, std::vector<std::thread>&) {
                         return outcome([] { TrelTransport::list_unopened(); });
                     },
                     "works"},
        CallbackCase{"Close",
                     [](TestClient&, VirtualPrinter&, std::vector<std::thread>&) {
                         return outcome([] { TrelTransport::close(PRINTER); });
                     },
                     "TREL_ERROR_NOT_ALLOWED"},
        CallbackCase{"BuildAClient",
                     [](TestClient&, VirtualPrinter&, std::vector<std::thread>&) {
                         return outcome([] { TestClient another; });
                     },
                     "TREL_ERROR_NOT_ALLOWED"}),
    [](const testing::TestParamInfo<CallbackCase>& i) { return i.param.name; });
