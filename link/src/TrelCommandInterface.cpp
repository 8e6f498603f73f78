#include <trel/TrelCommandInterface.h>

// One line per firmware procedure: wire name, index, argument keys in order.

std::shared_ptr<char> TrelCommandInterface::bio_get_version(TrelDeviceAddress address)
{
    return run<std::shared_ptr<char>>(address, "bio_get_version", 0);
}

std::shared_ptr<char> TrelCommandInterface::bio_get_serial(TrelDeviceAddress address)
{
    return run<std::shared_ptr<char>>(address, "bio_get_serial", 1);
}

bool TrelCommandInterface::gpio_get_raw(TrelDeviceAddress address, gpio_name_t gpio)
{
    return run<bool>(address, "gpio_get_raw", 2, {"gpio"}, gpio);
}

input_state_t TrelCommandInterface::gpio_input_get(TrelDeviceAddress address, gpio_input_name_t pin,
                                                   bool debounce)
{
    return run<input_state_t>(address, "gpio_input_get", 3, {"pin", "debounce"}, pin, debounce);
}

void TrelCommandInterface::gpio_output_set(TrelDeviceAddress address, gpio_name_t pin, bool value)
{
    run_void(address, "gpio_output_set", 4, {"pin", "value"}, pin, value);
}

gcode_process_result_t TrelCommandInterface::gcode_process_command(TrelDeviceAddress address,
                                                                   std::shared_ptr<char> command)
{
    return run<gcode_process_result_t>(address, "gcode_process_command", 5, {"command"}, command);
}

gcode_process_result_t TrelCommandInterface::gcode_process_macro(TrelDeviceAddress address,
                                                                 std::shared_ptr<char> macro)
{
    return run<gcode_process_result_t>(address, "gcode_process_macro", 6, {"macro"}, macro);
}

short TrelCommandInterface::heater_param_set(TrelDeviceAddress address, heater_params_t param_num,
                                             float param_val)
{
    return run<short>(address, "heater_param_set", 7, {"param_num", "param_val"}, param_num,
                      param_val);
}

short TrelCommandInterface::heater_param_get(TrelDeviceAddress address, heater_params_t param_num,
                                             std::shared_ptr<float> param_val)
{
    return run<short>(address, "heater_param_get", 8, {"param_num", "param_val"}, param_num,
                      param_val);
}

void TrelCommandInterface::heater_param_set_defaults(TrelDeviceAddress address)
{
    run_void(address, "heater_param_set_defaults", 9);
}

void TrelCommandInterface::heater_var_set_defaults(TrelDeviceAddress address)
{
    run_void(address, "heater_var_set_defaults", 10);
}

short TrelCommandInterface::heater_turn_on(TrelDeviceAddress address)
{
    return run<short>(address, "heater_turn_on", 11);
}

short TrelCommandInterface::heater_turn_off(TrelDeviceAddress address)
{
    return run<short>(address, "heater_turn_off", 12);
}

heater_guardband_t TrelCommandInterface::heater_in_guardband(TrelDeviceAddress address)
{
    return run<heater_guardband_t>(address, "heater_in_guardband", 13);
}

heater_state_t TrelCommandInterface::heater_state_get(TrelDeviceAddress address)
{
    return run<heater_state_t>(address, "heater_state_get", 14);
}

heater_fault_t TrelCommandInterface::heater_fault_get(TrelDeviceAddress address)
{
    return run<heater_fault_t>(address, "heater_fault_get", 15);
}

short TrelCommandInterface::heater_var_set(TrelDeviceAddress address, HEATER_VARS_m var_num,
                                           float var_val)
{
    return run<short>(address, "heater_var_set", 16, {"var_num", "var_val"}, var_num, var_val);
}

short TrelCommandInterface::heater_var_get(TrelDeviceAddress address, HEATER_VARS_m var_num,
                                           std::shared_ptr<float> var_val)
{
    return run<short>(address, "heater_var_get", 17, {"var_num", "var_val"}, var_num, var_val);
}

int TrelCommandInterface::wifi_start_wifi(TrelDeviceAddress address, wifi_interface_t interface)
{
    return run<int>(address, "wifi_start_wifi", 18, {"interface_t"}, interface);
}

int TrelCommandInterface::wifi_stop_wifi(TrelDeviceAddress address, wifi_interface_t interface)
{
    return run<int>(address, "wifi_stop_wifi", 19, {"interface_t"}, interface);
}

int TrelCommandInterface::wifi_client_connect(TrelDeviceAddress address, wifi_interface_t interface,
                                              wifi_client_connect_t connect)
{
    return run<int>(address, "wifi_client_connect", 20, {"interface_t", "connect_t"}, interface,
                    connect);
}

int TrelCommandInterface::wifi_disconnect(TrelDeviceAddress address, wifi_interface_t interface)
{
    return run<int>(address, "wifi_disconnect", 21, {"interface_t"}, interface);
}

wifi_status_t TrelCommandInterface::wifi_client_get_status(TrelDeviceAddress address,
                                                           wifi_interface_t interface)
{
    return run<wifi_status_t>(address, "wifi_client_get_status", 22, {"interface_t"}, interface);
}

wifi_config_t TrelCommandInterface::wifi_client_get_configuration(TrelDeviceAddress address,
                                                                  wifi_interface_t interface)
{
    return run<wifi_config_t>(address, "wifi_client_get_configuration", 23, {"interface_t"},
                              interface);
}

int TrelCommandInterface::wifi_save_configuration(TrelDeviceAddress address,
                                                  wifi_interface_t interface)
{
    return run<int>(address, "wifi_save_configuration", 24, {"interface_t"}, interface);
}

int TrelCommandInterface::wifi_set_auto_start_configuration_item(TrelDeviceAddress address,
                                                                 wifi_interface_t interface,
                                                                 bool auto_start)
{
    return run<int>(address, "wifi_set_auto_start_configuration_item", 25,
                    {"interface_t", "auto_start"}, interface, auto_start);
}

int TrelCommandInterface::wifi_set_auto_connect_configuration_item(TrelDeviceAddress address,
                                                                   wifi_interface_t interface,
                                                                   bool auto_connect)
{
    return run<int>(address, "wifi_set_auto_connect_configuration_item", 26,
                    {"interface_t", "auto_connect"}, interface, auto_connect);
}

int TrelCommandInterface::wifi_set_auto_connect_ssid_configuration_item(
    TrelDeviceAddress address, wifi_interface_t interface, std::shared_ptr<char> auto_connect_ssid)
{
    return run<int>(address, "wifi_set_auto_connect_ssid_configuration_item", 27,
                    {"interface_t", "auto_connect_ssid"}, interface, auto_connect_ssid);
}

int TrelCommandInterface::wifi_set_auto_connect_key_configuration_item(
    TrelDeviceAddress address, wifi_interface_t interface, std::shared_ptr<char> auto_connect_key)
{
    return run<int>(address, "wifi_set_auto_connect_key_configuration_item", 28,
                    {"interface_t", "auto_connect_key"}, interface, auto_connect_key);
}

int TrelCommandInterface::wifi_client_configure(TrelDeviceAddress address,
                                                wifi_interface_t interface, int cmd,
                                                std::shared_ptr<wifi_config_t> config)
{
    return run<int>(address, "wifi_client_configure", 29, {"interface_t", "cmd", "config"},
                    interface, cmd, config);
}

servo_dc_client_config_t TrelCommandInterface::servo_dc_config_get(TrelDeviceAddress address,
                                                                   servo_dc_name_t servo_name)
{
    return run<servo_dc_client_config_t>(address, "servo_dc_config_get", 30, {"servo_name"},
                                         servo_name);
}

void TrelCommandInterface::servo_dc_config_set(TrelDeviceAddress address,
                                               servo_dc_name_t servo_name,
                                               servo_dc_client_config_t config)
{
    run_void(address, "servo_dc_config_set", 31, {"servo_name", "config"}, servo_name, config);
}

servo_dc_move_config_t TrelCommandInterface::servo_dc_move_default(TrelDeviceAddress address)
{
    return run<servo_dc_move_config_t>(address, "servo_dc_move_default", 32);
}

servo_move_call_result_t
TrelCommandInterface::servo_dc_move(TrelDeviceAddress address, servo_dc_name_t servo_name,
                                    std::shared_ptr<servo_dc_move_config_t> move_config)
{
    return run<servo_move_call_result_t>(address, "servo_dc_move", 33,
                                         {"servo_name", "move_config"}, servo_name, move_config);
}

void TrelCommandInterface::servo_dc_move_start_sync(TrelDeviceAddress address)
{
    run_void(address, "servo_dc_move_start_sync", 34);
}

bool TrelCommandInterface::servo_dc_move_active(TrelDeviceAddress address,
                                                servo_dc_name_t servo_name)
{
    return run<bool>(address, "servo_dc_move_active", 35, {"servo_name"}, servo_name);
}

bool TrelCommandInterface::servo_dc_put_idle(TrelDeviceAddress address, servo_dc_name_t servo_name)
{
    return run<bool>(address, "servo_dc_put_idle", 36, {"servo_name"}, servo_name);
}

unsigned char TrelCommandInterface::servo_dc_move_modify(
    TrelDeviceAddress address, std::shared_ptr<servo_dc_move_modifier_data_t> modifer_data,
    unsigned int count, bool validate)
{
    return run<unsigned char>(address, "servo_dc_move_modify", 37,
                              {"modifer_data", "count", "validate"}, modifer_data, count, validate);
}

bool TrelCommandInterface::servo_dc_move_modifier_validate(
    TrelDeviceAddress address, std::shared_ptr<servo_dc_move_modifier_data_t> modifier_data,
    unsigned int count)
{
    return run<bool>(address, "servo_dc_move_modifier_validate", 38, {"modifier_data", "count"},
                     modifier_data, count);
}

servo_dc_move_metrics_t TrelCommandInterface::servo_dc_move_metrics_get(TrelDeviceAddress address,
                                                                        servo_dc_name_t servo_name)
{
    return run<servo_dc_move_metrics_t>(address, "servo_dc_move_metrics_get", 39, {"servo_name"},
                                        servo_name);
}

servo_dc_move_dir_t TrelCommandInterface::servo_dc_move_dir_get(TrelDeviceAddress address,
                                                                servo_dc_name_t servo_name)
{
    return run<servo_dc_move_dir_t>(address, "servo_dc_move_dir_get", 40, {"servo_name"},
                                    servo_name);
}

int TrelCommandInterface::servo_dc_position_get(TrelDeviceAddress address,
                                                servo_dc_name_t servo_name)
{
    return run<int>(address, "servo_dc_position_get", 41, {"servo_name"}, servo_name);
}

float TrelCommandInterface::servo_dc_position_get_client(TrelDeviceAddress address,
                                                         servo_dc_name_t servo_name)
{
    return run<float>(address, "servo_dc_position_get_client", 42, {"servo_name"}, servo_name);
}

void TrelCommandInterface::servo_dc_position_set(TrelDeviceAddress address,
                                                 servo_dc_name_t servo_name, int position)
{
    run_void(address, "servo_dc_position_set", 43, {"servo_name", "position"}, servo_name,
             position);
}

void TrelCommandInterface::servo_dc_position_set_client(TrelDeviceAddress address,
                                                        servo_dc_name_t servo_name, float position)
{
    run_void(address, "servo_dc_position_set_client", 44, {"servo_name", "position"}, servo_name,
             position);
}

float TrelCommandInterface::servo_dc_target_get_client(TrelDeviceAddress address,
                                                       servo_dc_name_t servo_name)
{
    return run<float>(address, "servo_dc_target_get_client", 45, {"servo_name"}, servo_name);
}

int TrelCommandInterface::servo_dc_units_client_to_native(TrelDeviceAddress address,
                                                          servo_dc_name_t servo_name,
                                                          float pos_client)
{
    return run<int>(address, "servo_dc_units_client_to_native", 46, {"servo_name", "pos_client"},
                    servo_name, pos_client);
}

float TrelCommandInterface::servo_dc_units_native_to_client(TrelDeviceAddress address,
                                                            servo_dc_name_t servo_name,
                                                            int pos_native)
{
    return run<float>(address, "servo_dc_units_native_to_client", 47, {"servo_name", "pos_native"},
                      servo_name, pos_native);
}

std::shared_ptr<char> TrelCommandInterface::servo_dc_name_str_get(TrelDeviceAddress address,
                                                                  servo_dc_name_t servo_name)
{
    return run<std::shared_ptr<char>>(address, "servo_dc_name_str_get", 48, {"servo_name"},
                                      servo_name);
}

void TrelCommandInterface::servo_dc_backlash_set(TrelDeviceAddress address,
                                                 servo_dc_name_t servo_name, short backlash_value,
                                                 bool flush)
{
    run_void(address, "servo_dc_backlash_set", 49, {"servo_name", "backlash_value", "flush"},
             servo_name, backlash_value, flush);
}

void TrelCommandInterface::servo_dc_trace_enable(TrelDeviceAddress address,
                                                 servo_dc_name_t servo_name, bool enable)
{
    run_void(address, "servo_dc_trace_enable", 50, {"servo_name", "enable"}, servo_name, enable);
}

unsigned char TrelCommandInterface::unload_initiate(TrelDeviceAddress address)
{
    return run<unsigned char>(address, "unload_initiate", 51);
}

unsigned char TrelCommandInterface::load_initiate(TrelDeviceAddress address)
{
    return run<unsigned char>(address, "load_initiate", 52);
}

void TrelCommandInterface::Enter_dfu_mode(TrelDeviceAddress address)
{
    run_void(address, "Enter_dfu_mode", 53);
}

void TrelCommandInterface::ui_led(TrelDeviceAddress address, ui_led_t led, short on_count,
                                  short off_count)
{
    run_void(address, "ui_led", 54, {"led", "on_count", "off_count"}, led, on_count, off_count);
}

int TrelCommandInterface::sd_mmc_write(TrelDeviceAddress address, unsigned int offset,
                                       std::shared_ptr<unsigned char> buf, unsigned int length)
{
    return run<int>(address, "sd_mmc_write", 55, {"offset", "buf", "length"}, offset, buf, length);
}

write_byte_return_t TrelCommandInterface::sd_mmc_write_byte(TrelDeviceAddress address,
                                                            unsigned int offset,
                                                            unsigned char write_buf)
{
    return run<write_byte_return_t>(address, "sd_mmc_write_byte", 56, {"offset", "write_buf"},
                                    offset, write_buf);
}

read_byte_return_t TrelCommandInterface::sd_mmc_read_byte(TrelDeviceAddress address,
                                                          unsigned int offset)
{
    return run<read_byte_return_t>(address, "sd_mmc_read_byte", 57, {"offset"}, offset);
}

int TrelCommandInterface::sd_mmc_read(TrelDeviceAddress address, unsigned int offset,
                                      std::shared_ptr<unsigned char> read_buf, unsigned int length)
{
    return run<int>(address, "sd_mmc_read", 58, {"offset", "read_buf", "length"}, offset, read_buf,
                    length);
}

storage_info_t TrelCommandInterface::sd_mmc_get_storage_info(TrelDeviceAddress address)
{
    return run<storage_info_t>(address, "sd_mmc_get_storage_info", 59);
}

void TrelCommandInterface::hbridge_duty_set(TrelDeviceAddress address, hbridge_name_t hbridge,
                                            int duty)
{
    run_void(address, "hbridge_duty_set", 60, {"hbridge", "duty"}, hbridge, duty);
}

int TrelCommandInterface::wifi_client_scan_refresh(TrelDeviceAddress address,
                                                   wifi_interface_t interface)
{
    return run<int>(address, "wifi_client_scan_refresh", 61, {"interface_t"}, interface);
}

wifi_scan_network_t TrelCommandInterface::wifi_client_scan_get(TrelDeviceAddress address,
                                                               wifi_interface_t interface,
                                                               unsigned char index)
{
    return run<wifi_scan_network_t>(address, "wifi_client_scan_get", 62, {"interface_t", "index"},
                                    interface, index);
}

unsigned char TrelCommandInterface::jm_disable_network_tasks(TrelDeviceAddress address)
{
    return run<unsigned char>(address, "jm_disable_network_tasks", 63);
}

void TrelCommandInterface::jm_enable_network_tasks(TrelDeviceAddress address)
{
    run_void(address, "jm_enable_network_tasks", 64);
}

bool TrelCommandInterface::jm_are_network_tasks_enabled(TrelDeviceAddress address)
{
    return run<bool>(address, "jm_are_network_tasks_enabled", 65);
}

unsigned char TrelCommandInterface::check_store_connection(TrelDeviceAddress address)
{
    return run<unsigned char>(address, "check_store_connection", 66);
}

void TrelCommandInterface::Reset_printer(TrelDeviceAddress address)
{
    run_void(address, "Reset_printer", 67);
}
