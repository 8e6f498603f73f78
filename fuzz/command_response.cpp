// The command response decoders: a response's "data" object as the printer
// may write it, decoded by every kind of firmware command the library sends
// (each return type and argument codec: texts, buffers, float pointers,
// enumerations, records, arrays of records), and the decoded values used the
// way the program uses them.
//
// Input: the JSON text of the response's "data".
#include "FuzzSupport.h"

#include <RMWiFi.h>

#include <trel/TrelClient.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <type_traits>

namespace {

TrelTransport& transport()
{
    // Also keeps the USB back end running between inputs.
    return zelkfuzz::untilExit<TrelClient>();
}

unsigned long long g_used = 0;

template <typename T>
void touch(const T& value)
{
    // Every byte of a value or record; a float is never converted (an out of
    // range conversion would be ours, not the decoder's).
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (unsigned char b : bytes)
        g_used += b;
}
void touch(const std::shared_ptr<char>& text)
{
    // Texts are used as C strings.
    if (text)
        g_used += std::strlen(text.get());
}
template <typename T>
void touch(const std::shared_ptr<T>& pointer)
{
    // A caller takes a returned pointer for (at least) one element.
    if (pointer)
        touch(*pointer);
}
void touch(const wifi_status_t& status)
{
    touch<wifi_status_t>(status);
    const RMWiFiStatus s = RMWiFiStatus::fromFirmware(status);
    g_used += static_cast<unsigned long long>(s.ssid().size() + s.macAddress().size());
}
void touch(const wifi_config_t& config)
{
    touch<wifi_config_t>(config);
    const RMWiFiConfig c(config);
    g_used += static_cast<unsigned long long>(c.ssid().size() + c.password().size());
}

template <typename R, typename... Args>
void decode(std::shared_ptr<TrelMessage>& response, std::vector<std::string> keys)
{
    TrelFirmwareCommand<R, Args...> command(transport(), "fuzz", 0, std::tuple<Args...>{}, keys);
    command.set_response(response);
    touch(command.get_result());
    auto decoded = std::dynamic_pointer_cast<TrelFirmwareCommand<R, Args...>>(command.response());
    zelkfuzz::check(decoded != nullptr, "a response decodes into the command's own type");
    std::apply([](const auto&... v) { (touch(v), ...); }, decoded->arguments());
    g_used += decoded->command_name().size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<yajl_val_s, void (*)(yajl_val)> tree(yajl_tree_parse(text.c_str(), nullptr, 0),
                                                         yajl_tree_free);
    if (!tree)
        return 0;

    const TrelMessage parsed(transport(), TREL_ATTR_RESPONSE, 1, tree.get());
    std::shared_ptr<TrelMessage> response = TrelMessage::elevate(parsed);

    decode<std::shared_ptr<char>, int>(response, {});
    decode<bool, gpio_name_t>(response, {"gpio"});
    decode<input_state_t, gpio_input_name_t, bool>(response, {"pin", "debounce"});
    decode<gcode_process_result_t, std::shared_ptr<char>>(response, {"command"});
    decode<short, heater_params_t, std::shared_ptr<float>>(response, {"param_num", "param_val"});
    decode<short, HEATER_VARS_m, float>(response, {"var_num", "var_val"});
    decode<int, wifi_interface_t, wifi_client_connect_t>(response, {"interface_t", "connect_t"});
    decode<wifi_status_t, wifi_interface_t>(response, {"interface_t"});
    decode<wifi_config_t, wifi_interface_t>(response, {"interface_t"});
    decode<int, wifi_interface_t, int, std::shared_ptr<wifi_config_t>>(
        response, {"interface_t", "cmd", "config"});
    decode<servo_dc_client_config_t, servo_dc_name_t>(response, {"servo_name"});
    decode<servo_dc_move_config_t, int>(response, {});
    decode<servo_move_call_result_t, servo_dc_name_t, std::shared_ptr<servo_dc_move_config_t>>(
        response, {"servo_name", "move_config"});
    decode<unsigned char, std::shared_ptr<servo_dc_move_modifier_data_t>, unsigned int, bool>(
        response, {"modifier_data", "count", "validate"});
    decode<servo_dc_move_metrics_t, servo_dc_name_t>(response, {"servo_name"});
    decode<float, servo_dc_name_t, int>(response, {"servo_name", "pos_native"});
    decode<int, unsigned int, std::shared_ptr<unsigned char>, unsigned int>(
        response, {"offset", "read_buf", "length"});
    decode<write_byte_return_t, unsigned int, unsigned char>(response, {"offset", "write_buf"});
    decode<read_byte_return_t, unsigned int>(response, {"offset"});
    decode<storage_info_t, int>(response, {});
    decode<wifi_scan_network_t, wifi_interface_t, unsigned char>(response,
                                                                 {"interface_t", "index"});
    decode<int, int>(response, {});
    return 0;
}
