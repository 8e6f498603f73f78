#pragma once

// The printer firmware's remote procedures, one row each: the one place that
// names them. TrelCommandInterface makes two methods of every row (see there).
//
//   C<n>(result, wire name, index, type 1, key 1, ..., type n, key n)
//
// n is the number of arguments (0 to 3); `void` marks a procedure whose
// method returns nothing. Each key is both the parameter's name and, spelled
// the same, its JSON key on the wire ("modifer_data" is the firmware's
// spelling): renaming a parameter here changes what the printer is sent.

// clang-format off
#define TREL_FIRMWARE_COMMANDS(C0, C1, C2, C3)                                                      \
    C0(std::shared_ptr<char>, bio_get_version, 0)                                                   \
    C0(std::shared_ptr<char>, bio_get_serial, 1)                                                    \
    C1(bool, gpio_get_raw, 2, gpio_name_t, gpio)                                                    \
    C2(input_state_t, gpio_input_get, 3, gpio_input_name_t, pin, bool, debounce)                    \
    C2(void, gpio_output_set, 4, gpio_name_t, pin, bool, value)                                     \
    C1(gcode_process_result_t, gcode_process_command, 5, std::shared_ptr<char>, command)           \
    C1(gcode_process_result_t, gcode_process_macro, 6, std::shared_ptr<char>, macro)               \
    C2(short, heater_param_set, 7, heater_params_t, param_num, float, param_val)                    \
    C2(short, heater_param_get, 8, heater_params_t, param_num, std::shared_ptr<float>, param_val)   \
    C0(void, heater_param_set_defaults, 9)                                                          \
    C0(void, heater_var_set_defaults, 10)                                                           \
    C0(short, heater_turn_on, 11)                                                                   \
    C0(short, heater_turn_off, 12)                                                                  \
    C0(heater_guardband_t, heater_in_guardband, 13)                                                 \
    C0(heater_state_t, heater_state_get, 14)                                                        \
    C0(heater_fault_t, heater_fault_get, 15)                                                        \
    C2(short, heater_var_set, 16, HEATER_VARS_m, var_num, float, var_val)                           \
    C2(short, heater_var_get, 17, HEATER_VARS_m, var_num, std::shared_ptr<float>, var_val)          \
    C1(int, wifi_start_wifi, 18, wifi_interface_t, interface_t)                                     \
    C1(int, wifi_stop_wifi, 19, wifi_interface_t, interface_t)                                      \
    C2(int, wifi_client_connect, 20, wifi_interface_t, interface_t,                                 \
       wifi_client_connect_t, connect_t)                                                            \
    C1(int, wifi_disconnect, 21, wifi_interface_t, interface_t)                                     \
    C1(wifi_status_t, wifi_client_get_status, 22, wifi_interface_t, interface_t)                    \
    C1(wifi_config_t, wifi_client_get_configuration, 23, wifi_interface_t, interface_t)             \
    C1(int, wifi_save_configuration, 24, wifi_interface_t, interface_t)                             \
    C2(int, wifi_set_auto_start_configuration_item, 25, wifi_interface_t, interface_t,              \
       bool, auto_start)                                                                            \
    C2(int, wifi_set_auto_connect_configuration_item, 26, wifi_interface_t, interface_t,            \
       bool, auto_connect)                                                                          \
    C2(int, wifi_set_auto_connect_ssid_configuration_item, 27, wifi_interface_t, interface_t,       \
       std::shared_ptr<char>, auto_connect_ssid)                                                    \
    C2(int, wifi_set_auto_connect_key_configuration_item, 28, wifi_interface_t, interface_t,        \
       std::shared_ptr<char>, auto_connect_key)                                                     \
    C3(int, wifi_client_configure, 29, wifi_interface_t, interface_t, int, cmd,                     \
       std::shared_ptr<wifi_config_t>, config)                                                      \
    C1(servo_dc_client_config_t, servo_dc_config_get, 30, servo_dc_name_t, servo_name)              \
    C2(void, servo_dc_config_set, 31, servo_dc_name_t, servo_name,                                  \
       servo_dc_client_config_t, config)                                                            \
    C0(servo_dc_move_config_t, servo_dc_move_default, 32)                                           \
    C2(servo_move_call_result_t, servo_dc_move, 33, servo_dc_name_t, servo_name,                    \
       std::shared_ptr<servo_dc_move_config_t>, move_config)                                        \
    C0(void, servo_dc_move_start_sync, 34)                                                          \
    C1(bool, servo_dc_move_active, 35, servo_dc_name_t, servo_name)                                 \
    C1(bool, servo_dc_put_idle, 36, servo_dc_name_t, servo_name)                                    \
    C3(unsigned char, servo_dc_move_modify, 37,                                                     \
       std::shared_ptr<servo_dc_move_modifier_data_t>, modifer_data, unsigned int, count,           \
       bool, validate)                                                                              \
    C2(bool, servo_dc_move_modifier_validate, 38,                                                   \
       std::shared_ptr<servo_dc_move_modifier_data_t>, modifier_data, unsigned int, count)          \
    C1(servo_dc_move_metrics_t, servo_dc_move_metrics_get, 39, servo_dc_name_t, servo_name)         \
    C1(servo_dc_move_dir_t, servo_dc_move_dir_get, 40, servo_dc_name_t, servo_name)                \
    C1(int, servo_dc_position_get, 41, servo_dc_name_t, servo_name)                                 \
    C1(float, servo_dc_position_get_client, 42, servo_dc_name_t, servo_name)                        \
    C2(void, servo_dc_position_set, 43, servo_dc_name_t, servo_name, int, position)                 \
    C2(void, servo_dc_position_set_client, 44, servo_dc_name_t, servo_name, float, position)        \
    C1(float, servo_dc_target_get_client, 45, servo_dc_name_t, servo_name)                          \
    C2(int, servo_dc_units_client_to_native, 46, servo_dc_name_t, servo_name, float, pos_client)    \
    C2(float, servo_dc_units_native_to_client, 47, servo_dc_name_t, servo_name, int, pos_native)    \
    C1(std::shared_ptr<char>, servo_dc_name_str_get, 48, servo_dc_name_t, servo_name)               \
    C3(void, servo_dc_backlash_set, 49, servo_dc_name_t, servo_name, short, backlash_value,         \
       bool, flush)                                                                                 \
    C2(void, servo_dc_trace_enable, 50, servo_dc_name_t, servo_name, bool, enable)                  \
    C0(unsigned char, unload_initiate, 51)                                                          \
    C0(unsigned char, load_initiate, 52)                                                            \
    C0(void, Enter_dfu_mode, 53)                                                                    \
    C3(void, ui_led, 54, ui_led_t, led, short, on_count, short, off_count)                          \
    C3(int, sd_mmc_write, 55, unsigned int, offset, std::shared_ptr<unsigned char>, buf,            \
       unsigned int, length)                                                                        \
    C2(write_byte_return_t, sd_mmc_write_byte, 56, unsigned int, offset, unsigned char, write_buf)  \
    C1(read_byte_return_t, sd_mmc_read_byte, 57, unsigned int, offset)                              \
    C3(int, sd_mmc_read, 58, unsigned int, offset, std::shared_ptr<unsigned char>, read_buf,        \
       unsigned int, length)                                                                        \
    C0(storage_info_t, sd_mmc_get_storage_info, 59)                                                 \
    C2(void, hbridge_duty_set, 60, hbridge_name_t, hbridge, int, duty)                              \
    C1(int, wifi_client_scan_refresh, 61, wifi_interface_t, interface_t)                            \
    C2(wifi_scan_network_t, wifi_client_scan_get, 62, wifi_interface_t, interface_t,               \
       unsigned char, index)                                                                        \
    C0(unsigned char, jm_disable_network_tasks, 63)                                                 \
    C0(void, jm_enable_network_tasks, 64)                                                           \
    C0(bool, jm_are_network_tasks_enabled, 65)                                                      \
    C0(unsigned char, check_store_connection, 66)                                                   \
    C0(void, Reset_printer, 67)
// clang-format on
