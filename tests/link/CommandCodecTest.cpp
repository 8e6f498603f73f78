// The firmware command layer's JSON, byte for byte, and its decoding of
// responses, including hostile ones: wrong types, missing members, arrays
// longer than their fields, texts without their terminating zero; and the
// outcome each response decodes to.
// Numbers that JSON cannot carry are refused before anything is written.
// Built twice: also where char is unsigned (as on ARM64 Linux).
#include "TestTransport.h"

#include <trel/TrelCommandInterface.h>
#include <trel/TrelException.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using namespace zelktest;

namespace {

struct Tree
{
    explicit Tree(const std::string& text) : v(yajl_tree_parse(text.c_str(), nullptr, 0)) {}
    ~Tree() { yajl_tree_free(v); }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    yajl_val v;
};

std::shared_ptr<char> text(const char* s)
{
    std::shared_ptr<char> p(new char[std::strlen(s) + 1], std::default_delete<char[]>());
    std::strcpy(p.get(), s);
    return p;
}

// What the message carries under "data"; the envelope is tested elsewhere.
std::string dataOf(TrelMessage& m)
{
    const std::string all = m.compile();
    const std::string marker = ",\"data\":";
    const size_t at = all.find(marker);
    return all.substr(at + marker.size(), all.size() - at - marker.size() - 1);
}

// Delivers `responseData` to `cmd` as the transport would.
void deliver(TrelCommand& cmd, const std::string& responseData)
{
    Tree data(responseData);
    ASSERT_NE(data.v, nullptr) << responseData;
    TrelMessage raw(cmd.transport(), TREL_ATTR_RESPONSE, cmd.id(), data.v);
    std::shared_ptr<TrelMessage> response = TrelMessage::elevate(raw);
    cmd.set_response(response);
}

std::string zeros(int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += ",0";
    return s;
}

class CommandCodec : public testing::Test
{
protected:
    TestTransport transport;
};

} // namespace

TEST_F(CommandCodec, GpioOutputSetIsTheDocumentedMessage)
{
    VoidTrelFirmwareCommand<gpio_name_t, bool> cmd(
        transport, "gpio_output_set", 4, {static_cast<gpio_name_t>(3), true}, {"pin", "value"});
    EXPECT_EQ(cmd.compile(), "{\"transport\":{\"attrs\":[\"request\",\"twoway\"],\"id\":" +
                                 std::to_string(cmd.id()) +
                                 "},\"data\":{\"command\":{\"idx\":4,\"name\":\"gpio_output_set\","
                                 "\"args\":{\"pin\":3,\"value\":1}}}}");
}

struct EncodeCase
{
    const char* name;
    std::function<std::string(TrelTransport&)> data;
    std::string expected;
};

class Encode : public CommandCodec, public testing::WithParamInterface<EncodeCase>
{};

TEST_P(Encode, ArgumentsTravelAsTheFirmwareReadsThem)
{
    EXPECT_EQ(GetParam().data(transport), GetParam().expected);
}

template <typename R, typename... A>
std::function<std::string(TrelTransport&)> encode(const char* name, int idx,
                                                  std::vector<std::string> keys, A... args)
{
    return [=](TrelTransport& t) {
        TrelFirmwareCommand<R, A...> cmd(t, name, idx, std::tuple<A...>(args...), keys);
        return dataOf(cmd);
    };
}

std::string noArgs(TrelTransport& transport)
{
    TrelFirmwareCommandNoArg<std::shared_ptr<char>> c(transport, "bio_get_version", 0);
    return dataOf(c);
}

wifi_client_connect_t connectRecord()
{
    wifi_client_connect_t c{};
    std::strcpy(c.ssid, "abc");
    c.ssid[3] = static_cast<char>(200); // a Latin-1 byte travels signed
    std::strcpy(c.key, "pw");
    c.timeout = 15000;
    return c;
}

std::shared_ptr<wifi_config_t> configRecord()
{
    auto c = std::make_shared<wifi_config_t>();
    c->ifc_config.auto_connect = true;
    c->hdw_config.mac_address[5] = 200; // an address byte travels unsigned
    c->ip_config.ip[0] = 10;
    return c;
}

std::shared_ptr<servo_dc_move_modifier_data_t> modifier()
{
    auto m = std::make_shared<servo_dc_move_modifier_data_t>();
    m->servo_name = SERVO_DC_Z;
    m->pos = 1.5f;
    m->active = true;
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Encode,
    testing::Values(
        EncodeCase{"NoArgumentsNoArgsKey", noArgs,
                   "{\"command\":{\"idx\":0,\"name\":\"bio_get_version\"}}"},
        EncodeCase{
            "TextWithItsZero",
            encode<gcode_process_result_t>("gcode_process_command", 5, {"command"}, text("abc")),
            "{\"command\":{\"idx\":5,\"name\":\"gcode_process_command\","
            "\"args\":{\"command\":[97,98,99,0]}}}"},
        EncodeCase{"EmptyText",
                   encode<gcode_process_result_t>("gcode_process_macro", 6, {"macro"}, text("")),
                   "{\"command\":{\"idx\":6,\"name\":\"gcode_process_macro\","
                   "\"args\":{\"macro\":[0]}}}"},
        EncodeCase{"NullTextIsEmpty",
                   encode<int>("wifi_set_auto_connect_key_configuration_item", 28,
                               {"interface_t", "auto_connect_key"}, WIFI_INTERFACE_CLIENT,
                               std::shared_ptr<char>()),
                   "{\"command\":{\"idx\":28,\"name\":\"wifi_set_auto_connect_key_configuration_"
                   "item\",\"args\":{\"interface_t\":0,\"auto_connect_key\":[0]}}}"},
        EncodeCase{"FloatWidenedAndPointerAsOneElement",
                   encode<short>("heater_param_get", 8, {"param_num", "param_val"}, HEATER_PARAM_KD,
                                 std::make_shared<float>(0.5f)),
                   "{\"command\":{\"idx\":8,\"name\":\"heater_param_get\","
                   "\"args\":{\"param_num\":2,\"param_val\":[0.5]}}}"},
        EncodeCase{
            "BufferSendsItsFirstByte",
            encode<int>("sd_mmc_write", 55, {"offset", "buf", "length"}, 7u,
                        std::shared_ptr<unsigned char>(new unsigned char[3]{250, 2, 3},
                                                       std::default_delete<unsigned char[]>()),
                        3u),
            "{\"command\":{\"idx\":55,\"name\":\"sd_mmc_write\","
            "\"args\":{\"offset\":7,\"buf\":[250],\"length\":3}}}"},
        EncodeCase{"WifiConnectFixedArrays",
                   encode<int>("wifi_client_connect", 20, {"interface_t", "connect_t"},
                               WIFI_INTERFACE_CLIENT, connectRecord()),
                   "{\"command\":{\"idx\":20,\"name\":\"wifi_client_connect\",\"args\":{"
                   "\"interface_t\":0,\"connect_t\":{\"ssid\":[97,98,99,-56" +
                       zeros(28) + "],\"key\":[112,119" + zeros(62) + "],\"timeout\":15000}}}}"},
        EncodeCase{"WifiConfigurePointerRecordInGroupOrder",
                   encode<int>("wifi_client_configure", 29, {"interface_t", "cmd", "config"},
                               WIFI_INTERFACE_CLIENT, 1, configRecord()),
                   "{\"command\":{\"idx\":29,\"name\":\"wifi_client_configure\",\"args\":{"
                   "\"interface_t\":0,\"cmd\":1,\"config\":[{\"ifc_config\":{\"auto_start\":0,"
                   "\"auto_connect\":1,\"auto_connect_ssid\":[0" +
                       zeros(31) + "],\"auto_connect_key\":[0" + zeros(63) +
                       "],\"auto_connect_timeout\":0},\"hdw_config\":{\"mac_address\":[0,0,0,0,"
                       "0,200],\"patch_version\":[0,0]},\"ip_config\":{\"ip\":[10,0,0,0],"
                       "\"subnet_mask\":[0,0,0,0],\"default_gateway\":[0,0,0,0],\"dhcp_server\":"
                       "[0,0,0,0],\"dns_server\":[0,0,0,0],\"mac_address\":[0,0,0,0,0,0],"
                       "\"connected_ssid\":[0" +
                       zeros(31) + "]}}]}}}"},
        EncodeCase{"ModifyUsesTheFirmwaresSpelling",
                   encode<unsigned char>("servo_dc_move_modify", 37,
                                         {"modifer_data", "count", "validate"}, modifier(), 1u,
                                         false),
                   "{\"command\":{\"idx\":37,\"name\":\"servo_dc_move_modify\",\"args\":{"
                   "\"modifer_data\":[{\"servo_name\":2,\"type\":0,\"pos\":1.5,\"vel\":0.0,"
                   "\"accel\":0.0,\"decel\":0.0,\"validation_pos\":0.0,\"use_validation_pos\":0,"
                   "\"decel_ramp_skip\":0,\"data\":0,\"active\":1}],\"count\":1,"
                   "\"validate\":0}}}"},
        EncodeCase{"NullRecordPointerIsAnEmptyArray",
                   encode<bool>("servo_dc_move_modifier_validate", 38, {"modifier_data", "count"},
                                std::shared_ptr<servo_dc_move_modifier_data_t>(), 0u),
                   "{\"command\":{\"idx\":38,\"name\":\"servo_dc_move_modifier_validate\","
                   "\"args\":{\"modifier_data\":[],\"count\":0}}}"}),
    [](const testing::TestParamInfo<EncodeCase>& i) { return i.param.name; });

// --- decoding

TEST_F(CommandCodec, ResultsStartValueInitialised)
{
    TrelFirmwareCommandNoArg<wifi_status_t> status(transport, "wifi_client_get_status", 22);
    const wifi_status_t& s = status.get_result();
    EXPECT_FALSE(s.connected);
    for (uint8_t b : s.ip_config.mac_address)
        EXPECT_EQ(b, 0);
    TrelFirmwareCommandNoArg<std::shared_ptr<char>> version(transport, "bio_get_version", 0);
    EXPECT_EQ(version.get_result(), nullptr);
    TrelFirmwareCommandNoArg<float> f(transport, "x", 0);
    EXPECT_EQ(f.get_result(), 0.0f);
}

struct BoolCase
{
    const char* ret;
    bool expected;
    TrelStatus status;
};

class DecodeBool : public CommandCodec, public testing::WithParamInterface<BoolCase>
{};

TEST_P(DecodeBool, NumbersOnly)
{
    TrelFirmwareCommand<bool, gpio_name_t> cmd(transport, "gpio_get_raw", 2, {GPIO_BUTTON},
                                               {"gpio"});
    deliver(cmd, std::string("{\"command\":{\"idx\":2,\"name\":\"gpio_get_raw\",\"args\":{"
                             "\"gpio\":5}") +
                     (*GetParam().ret ? std::string(",\"__return__\":") + GetParam().ret : "") +
                     "}}");
    EXPECT_EQ(cmd.get_result(), GetParam().expected);
    EXPECT_TRUE(cmd.response_available());
    EXPECT_EQ(cmd.decode_status(), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(Returns, DecodeBool,
                         testing::Values(BoolCase{"2", true, TREL_SUCCESS},
                                         BoolCase{"1", true, TREL_SUCCESS},
                                         BoolCase{"-1", true, TREL_SUCCESS},
                                         BoolCase{"0", false, TREL_SUCCESS},
                                         BoolCase{"0.7", false, TREL_SUCCESS},
                                         BoolCase{"true", false, TREL_ERROR_BAD_RESPONSE},
                                         BoolCase{"\"1\"", false, TREL_ERROR_BAD_RESPONSE},
                                         BoolCase{"[1]", false, TREL_ERROR_BAD_RESPONSE},
                                         BoolCase{"", false, TREL_ERROR_NO_RETURN}));

TEST_F(CommandCodec, ScalarsAreCutToTheirWidthAndFloatsSaturate)
{
    TrelFirmwareCommandNoArg<unsigned char> byte(transport, "load_initiate", 52);
    deliver(byte, "{\"command\":{\"__return__\":257}}");
    EXPECT_EQ(byte.get_result(), 1);

    TrelFirmwareCommandNoArg<short> s(transport, "heater_turn_on", 11);
    deliver(s, "{\"command\":{\"__return__\":70000}}");
    EXPECT_EQ(s.get_result(), static_cast<short>(70000 - 65536));

    TrelFirmwareCommand<float, servo_dc_name_t> f(transport, "servo_dc_position_get_client", 42,
                                                  {SERVO_DC_Z}, {"servo_name"});
    deliver(f, "{\"command\":{\"__return__\":1e300}}");
    EXPECT_TRUE(std::isinf(f.get_result()));

    TrelFirmwareCommand<int, servo_dc_name_t> i(transport, "servo_dc_position_get", 41,
                                                {SERVO_DC_Z}, {"servo_name"});
    deliver(i, "{\"command\":{\"__return__\":-1250}}");
    EXPECT_EQ(i.get_result(), -1250);
}

struct TextCase
{
    const char* name;
    const char* ret;
    bool null;
    std::string value;
    TrelStatus status;
};

class DecodeText : public CommandCodec, public testing::WithParamInterface<TextCase>
{};

TEST_P(DecodeText, AlwaysTerminated)
{
    TrelFirmwareCommandNoArg<std::shared_ptr<char>> cmd(transport, "bio_get_version", 0);
    deliver(cmd, std::string("{\"command\":{\"__return__\":") + GetParam().ret + "}}");
    EXPECT_EQ(cmd.decode_status(), GetParam().status);
    if (GetParam().null) {
        EXPECT_EQ(cmd.get_result(), nullptr);
    } else {
        ASSERT_NE(cmd.get_result(), nullptr);
        EXPECT_EQ(std::string(cmd.get_result().get()), GetParam().value);
    }
}

constexpr TrelStatus OK = TREL_SUCCESS;
constexpr TrelStatus BAD = TREL_ERROR_BAD_RESPONSE;

INSTANTIATE_TEST_SUITE_P(Returns, DecodeText,
                         testing::Values(TextCase{"Terminated", "[49,46,50,0]", false, "1.2", OK},
                                         TextCase{"WithoutItsZero", "[104,105]", false, "hi", OK},
                                         TextCase{"Empty", "[]", false, "", OK},
                                         TextCase{"LowBytesOnly", "[360,-151,0]", false, "hi", OK},
                                         TextCase{"ElementNotANumber", "[104,\"i\",0]", false, "h",
                                                  BAD},
                                         TextCase{"NotAnArray", "\"1.2\"", true, "", BAD},
                                         TextCase{"Null", "null", true, "", BAD}),
                         [](const testing::TestParamInfo<TextCase>& i) { return i.param.name; });

TEST_F(CommandCodec, RecordsDecodeWhatIsThereBoundedByTheirFields)
{
    TrelFirmwareCommand<wifi_status_t, wifi_interface_t> cmd(
        transport, "wifi_client_get_status", 22, {WIFI_INTERFACE_CLIENT}, {"interface_t"});
    deliver(cmd, "{\"command\":{\"__return__\":{\"connected\":7,\"ip_config\":{"
                 "\"ip\":[192,168,1,57,99,98,97],\"mac_address\":[0,26,43,3,4,5],"
                 "\"subnet_mask\":\"255.255.255.0\",\"dns_server\":[8,\"8\",8]}}}}");
    const wifi_status_t& s = cmd.get_result();
    EXPECT_TRUE(s.connected);
    EXPECT_EQ(std::vector<int>(s.ip_config.ip, s.ip_config.ip + 4),
              (std::vector<int>{192, 168, 1, 57}));
    EXPECT_EQ(std::vector<int>(s.ip_config.mac_address, s.ip_config.mac_address + 6),
              (std::vector<int>{0, 26, 43, 3, 4, 5}));
    EXPECT_EQ(s.ip_config.subnet_mask[0], 0); // wrong type: untouched
    EXPECT_EQ(std::vector<int>(s.ip_config.dns_server, s.ip_config.dns_server + 4),
              (std::vector<int>{8, 0, 8, 0}));
    // A record written back after such a read would carry zeros the printer
    // never sent.
    EXPECT_EQ(cmd.decode_status(), TREL_ERROR_BAD_RESPONSE);

    TrelFirmwareCommand<wifi_status_t, wifi_interface_t> off(
        transport, "wifi_client_get_status", 22, {WIFI_INTERFACE_CLIENT}, {"interface_t"});
    deliver(off, "{\"command\":{\"__return__\":{\"connected\":0}}}");
    EXPECT_FALSE(off.get_result().connected);
    EXPECT_EQ(off.decode_status(), TREL_ERROR_BAD_RESPONSE); // no "ip_config"
}

TEST_F(CommandCodec, ACommandThatReturnsNothingNeedsOnlyItsCommandObject)
{
    VoidTrelFirmwareCommandNoArg reset(transport, "Reset_printer", 67);
    deliver(reset, "{\"command\":{\"idx\":67}}");
    EXPECT_EQ(reset.decode_status(), TREL_SUCCESS);
    deliver(reset, "{\"command\":{\"__return__\":\"x\"}}");
    EXPECT_EQ(reset.decode_status(), TREL_SUCCESS);
    deliver(reset, "{\"event\":{}}");
    EXPECT_EQ(reset.decode_status(), TREL_ERROR_BAD_RESPONSE);
}

TEST_F(CommandCodec, ResponseArgumentsBindByPosition)
{
    VoidTrelFirmwareCommand<gpio_name_t, bool> cmd(transport, "gpio_output_set", 4,
                                                   {GPIO_HEATER_ENABLE, true}, {"pin", "value"});
    deliver(cmd, "{\"command\":{\"idx\":4,\"name\":\"gpio_output_set\","
                 "\"args\":{\"value\":0,\"pin\":3},\"__return__\":0}}");
    ASSERT_TRUE(cmd.response_available());
    auto& response = dynamic_cast<TrelFirmwareCommand<int, gpio_name_t, bool>&>(*cmd.response());
    EXPECT_EQ(response.keys(), (std::vector<std::string>{"value", "pin"}));
    EXPECT_EQ(std::get<0>(response.arguments()), 0);    // "pin" slot took "value"
    EXPECT_EQ(std::get<1>(response.arguments()), true); // "value" slot took "pin"
    EXPECT_EQ(response.command_name(), "gpio_output_set");
    EXPECT_EQ(response.command_idx(), 4);
}

TEST_F(CommandCodec, ResponseWithFewerOrNoArgumentsStillCompletes)
{
    TrelFirmwareCommand<short, heater_params_t, std::shared_ptr<float>> get(
        transport, "heater_param_get", 8, {HEATER_PARAM_KP, std::make_shared<float>(1.0f)},
        {"param_num", "param_val"});
    deliver(get, "{\"command\":{\"args\":{\"param_num\":0},\"__return__\":0}}");
    auto& r = dynamic_cast<TrelFirmwareCommand<short, heater_params_t, std::shared_ptr<float>>&>(
        *get.response());
    EXPECT_EQ(r.keys(), (std::vector<std::string>{"param_num", ""}));
    EXPECT_EQ(std::get<1>(r.arguments()), nullptr);

    TrelFirmwareCommand<short, heater_params_t, std::shared_ptr<float>> bare(
        transport, "heater_param_get", 8, {HEATER_PARAM_KP, nullptr}, {"param_num", "param_val"});
    deliver(bare, "{\"command\":{}}");
    ASSERT_TRUE(bare.response_available());
    EXPECT_EQ(bare.get_result(), 0);
    EXPECT_EQ(bare.decode_status(), TREL_ERROR_NO_RETURN);
}

TEST_F(CommandCodec, PointerArgumentsDecodeEveryElement)
{
    using Cmd = TrelFirmwareCommand<int, servo_dc_name_t, std::shared_ptr<servo_dc_move_config_t>>;
    Cmd cmd(transport, "servo_dc_move", 33, {SERVO_DC_Z, nullptr}, {"servo_name", "move_config"});
    deliver(cmd, "{\"command\":{\"args\":{\"servo_name\":2,\"move_config\":["
                 "{\"move_type\":3,\"target\":-5.25,\"ignore_stalls\":1},{\"move_type\":1}]},"
                 "\"__return__\":0}}");
    auto& r = dynamic_cast<Cmd&>(*cmd.response());
    const servo_dc_move_config_t* moves = std::get<1>(r.arguments()).get();
    ASSERT_NE(moves, nullptr);
    EXPECT_EQ(moves[0].move_type, 3u);
    EXPECT_EQ(moves[0].target, -5.25);
    EXPECT_TRUE(moves[0].ignore_stalls);
    EXPECT_EQ(moves[1].move_type, 1u);
}

TEST_F(CommandCodec, CharArraysCarrySignedValuesWhateverTheCharType)
{
    // The firmware's char is signed; where ours is unsigned (ARM64 Linux, and
    // the second build of this test) byte 200 still travels as -56, and
    // either spelling comes back as that byte.
    TrelFirmwareCommand<wifi_scan_network_t, wifi_interface_t, unsigned char> scan(
        transport, "wifi_client_scan_get", 62, {WIFI_INTERFACE_CLIENT, 0},
        {"interface_t", "index"});
    deliver(scan, "{\"command\":{\"__return__\":{\"ssid\":[-56,200,97],\"encryption\":3,"
                  "\"strength\":-40}}}");
    EXPECT_EQ(scan.decode_status(), TREL_SUCCESS);
    const wifi_scan_network_t& net = scan.get_result();
    EXPECT_EQ(std::string(net.ssid), "\xc8\xc8"
                                     "a");
    EXPECT_EQ(net.strength, -40);

    wifi_client_connect_t connect{};
    std::memcpy(connect.ssid, net.ssid, sizeof connect.ssid);
    const std::string sent = encode<int>("wifi_client_connect", 20, {"interface_t", "connect_t"},
                                         WIFI_INTERFACE_CLIENT, connect)(transport);
    EXPECT_NE(sent.find("\"ssid\":[-56,-56,97,0,"), std::string::npos) << sent;

    TrelFirmwareCommandNoArg<std::shared_ptr<char>> text(transport, "bio_get_serial", 1);
    deliver(text, "{\"command\":{\"__return__\":[200,-56,0]}}");
    ASSERT_NE(text.get_result(), nullptr);
    EXPECT_EQ(std::string(text.get_result().get()), "\xc8\xc8");
    EXPECT_EQ(encode<gcode_process_result_t>("gcode_process_command", 5, {"command"},
                                             text.get_result())(transport),
              "{\"command\":{\"idx\":5,\"name\":\"gcode_process_command\","
              "\"args\":{\"command\":[-56,-56,0]}}}");
}

// --- what is never sent

struct NonFiniteCase
{
    const char* name;
    std::function<std::string(TrelTransport&)> data;
    std::string where;
};

class NonFinite : public CommandCodec, public testing::WithParamInterface<NonFiniteCase>
{};

TEST_P(NonFinite, NumbersJsonCannotCarryAreRefusedByName)
{
    // yajl writes no value for them: a NaN left the key without its value, an
    // infinity shifted the next member's name into its place.
    try {
        const std::string data = GetParam().data(transport);
        ADD_FAILURE() << "compiled to " << data;
    } catch (const TrelException& e) {
        EXPECT_EQ(e.status(), TREL_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(e.what()).rfind("Argument " + GetParam().where + " of ", 0), 0u)
            << e.what();
    }
}

servo_dc_client_config_t gains(float kd)
{
    servo_dc_client_config_t c{};
    c.gains.kd = kd;
    return c;
}

std::shared_ptr<servo_dc_move_config_t> moveTo(double target)
{
    auto m = std::make_shared<servo_dc_move_config_t>();
    m->target = target;
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, NonFinite,
    testing::Values(NonFiniteCase{"NanFloat",
                                  encode<int>("servo_dc_position_set_client", 44,
                                              {"servo_name", "position"}, SERVO_DC_Z, NAN),
                                  "position"},
                    NonFiniteCase{"InfiniteGainInARecord",
                                  encode<int>("servo_dc_config_set", 31, {"servo_name", "config"},
                                              SERVO_DC_Z, gains(INFINITY)),
                                  "config.gains.kd"},
                    NonFiniteCase{"DoubleBehindAPointer",
                                  encode<servo_move_call_result_t>("servo_dc_move", 33,
                                                                   {"servo_name", "move_config"},
                                                                   SERVO_DC_Z, moveTo(-INFINITY)),
                                  "move_config.target"},
                    NonFiniteCase{"FloatPointer",
                                  encode<short>("heater_param_get", 8, {"param_num", "param_val"},
                                                HEATER_PARAM_KD, std::make_shared<float>(NAN)),
                                  "param_val"}),
    [](const testing::TestParamInfo<NonFiniteCase>& i) { return i.param.name; });
