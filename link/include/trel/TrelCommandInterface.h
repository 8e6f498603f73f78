#pragma once

#include <trel/TrelCommandTypes.h>
#include <trel/TrelDeviceAddress.h>
#include <trel/TrelFirmwareCommand.h>
#include <trel/TrelTransport.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

// The printer firmware's remote procedures as blocking methods. Each call
// names the printer, sends one two-way command through the transport and
// returns the decoded "__return__". A failed exchange (printer gone, no
// answer, write error) is reported on standard output by the transport and
// the method returns the value-initialised result (0, false, all-zero record,
// null text); nothing throws. Commands to one printer never overlap; any
// number of threads may call.
class TrelCommandInterface
{
public:
    explicit TrelCommandInterface(TrelTransport& t) : transport(t) {}
    TrelCommandInterface(const TrelCommandInterface&) = delete;
    TrelCommandInterface& operator=(const TrelCommandInterface&) = delete;

    std::shared_ptr<char> bio_get_version(TrelDeviceAddress address);
    std::shared_ptr<char> bio_get_serial(TrelDeviceAddress address);
    bool gpio_get_raw(TrelDeviceAddress address, gpio_name_t gpio);
    input_state_t gpio_input_get(TrelDeviceAddress address, gpio_input_name_t pin, bool debounce);
    void gpio_output_set(TrelDeviceAddress address, gpio_name_t pin, bool value);
    gcode_process_result_t gcode_process_command(TrelDeviceAddress address,
                                                 std::shared_ptr<char> command);
    gcode_process_result_t gcode_process_macro(TrelDeviceAddress address,
                                               std::shared_ptr<char> macro);
    short heater_param_set(TrelDeviceAddress address, heater_params_t param_num, float param_val);
    short heater_param_get(TrelDeviceAddress address, heater_params_t param_num,
                           std::shared_ptr<float> param_val);
    void heater_param_set_defaults(TrelDeviceAddress address);
    void heater_var_set_defaults(TrelDeviceAddress address);
    short heater_turn_on(TrelDeviceAddress address);
    short heater_turn_off(TrelDeviceAddress address);
    heater_guardband_t heater_in_guardband(TrelDeviceAddress address);
    heater_state_t heater_state_get(TrelDeviceAddress address);
    heater_fault_t heater_fault_get(TrelDeviceAddress address);
    short heater_var_set(TrelDeviceAddress address, HEATER_VARS_m var_num, float var_val);
    short heater_var_get(TrelDeviceAddress address, HEATER_VARS_m var_num,
                         std::shared_ptr<float> var_val);
    int wifi_start_wifi(TrelDeviceAddress address, wifi_interface_t interface);
    int wifi_stop_wifi(TrelDeviceAddress address, wifi_interface_t interface);
    int wifi_client_connect(TrelDeviceAddress address, wifi_interface_t interface,
                            wifi_client_connect_t connect);
    int wifi_disconnect(TrelDeviceAddress address, wifi_interface_t interface);
    wifi_status_t wifi_client_get_status(TrelDeviceAddress address, wifi_interface_t interface);
    wifi_config_t wifi_client_get_configuration(TrelDeviceAddress address,
                                                wifi_interface_t interface);
    int wifi_save_configuration(TrelDeviceAddress address, wifi_interface_t interface);
    int wifi_set_auto_start_configuration_item(TrelDeviceAddress address,
                                               wifi_interface_t interface, bool auto_start);
    int wifi_set_auto_connect_configuration_item(TrelDeviceAddress address,
                                                 wifi_interface_t interface, bool auto_connect);
    int wifi_set_auto_connect_ssid_configuration_item(TrelDeviceAddress address,
                                                      wifi_interface_t interface,
                                                      std::shared_ptr<char> auto_connect_ssid);
    int wifi_set_auto_connect_key_configuration_item(TrelDeviceAddress address,
                                                     wifi_interface_t interface,
                                                     std::shared_ptr<char> auto_connect_key);
    int wifi_client_configure(TrelDeviceAddress address, wifi_interface_t interface, int cmd,
                              std::shared_ptr<wifi_config_t> config);
    servo_dc_client_config_t servo_dc_config_get(TrelDeviceAddress address,
                                                 servo_dc_name_t servo_name);
    void servo_dc_config_set(TrelDeviceAddress address, servo_dc_name_t servo_name,
                             servo_dc_client_config_t config);
    servo_dc_move_config_t servo_dc_move_default(TrelDeviceAddress address);
    servo_move_call_result_t servo_dc_move(TrelDeviceAddress address, servo_dc_name_t servo_name,
                                           std::shared_ptr<servo_dc_move_config_t> move_config);
    void servo_dc_move_start_sync(TrelDeviceAddress address);
    bool servo_dc_move_active(TrelDeviceAddress address, servo_dc_name_t servo_name);
    bool servo_dc_put_idle(TrelDeviceAddress address, servo_dc_name_t servo_name);
    unsigned char servo_dc_move_modify(TrelDeviceAddress address,
                                       std::shared_ptr<servo_dc_move_modifier_data_t> modifer_data,
                                       unsigned int count, bool validate);
    bool
    servo_dc_move_modifier_validate(TrelDeviceAddress address,
                                    std::shared_ptr<servo_dc_move_modifier_data_t> modifier_data,
                                    unsigned int count);
    servo_dc_move_metrics_t servo_dc_move_metrics_get(TrelDeviceAddress address,
                                                      servo_dc_name_t servo_name);
    servo_dc_move_dir_t servo_dc_move_dir_get(TrelDeviceAddress address,
                                              servo_dc_name_t servo_name);
    int servo_dc_position_get(TrelDeviceAddress address, servo_dc_name_t servo_name);
    float servo_dc_position_get_client(TrelDeviceAddress address, servo_dc_name_t servo_name);
    void servo_dc_position_set(TrelDeviceAddress address, servo_dc_name_t servo_name, int position);
    void servo_dc_position_set_client(TrelDeviceAddress address, servo_dc_name_t servo_name,
                                      float position);
    float servo_dc_target_get_client(TrelDeviceAddress address, servo_dc_name_t servo_name);
    int servo_dc_units_client_to_native(TrelDeviceAddress address, servo_dc_name_t servo_name,
                                        float pos_client);
    float servo_dc_units_native_to_client(TrelDeviceAddress address, servo_dc_name_t servo_name,
                                          int pos_native);
    std::shared_ptr<char> servo_dc_name_str_get(TrelDeviceAddress address,
                                                servo_dc_name_t servo_name);
    void servo_dc_backlash_set(TrelDeviceAddress address, servo_dc_name_t servo_name,
                               short backlash_value, bool flush);
    void servo_dc_trace_enable(TrelDeviceAddress address, servo_dc_name_t servo_name, bool enable);
    unsigned char unload_initiate(TrelDeviceAddress address);
    unsigned char load_initiate(TrelDeviceAddress address);
    void Enter_dfu_mode(TrelDeviceAddress address);
    void ui_led(TrelDeviceAddress address, ui_led_t led, short on_count, short off_count);
    int sd_mmc_write(TrelDeviceAddress address, unsigned int offset,
                     std::shared_ptr<unsigned char> buf, unsigned int length);
    write_byte_return_t sd_mmc_write_byte(TrelDeviceAddress address, unsigned int offset,
                                          unsigned char write_buf);
    read_byte_return_t sd_mmc_read_byte(TrelDeviceAddress address, unsigned int offset);
    int sd_mmc_read(TrelDeviceAddress address, unsigned int offset,
                    std::shared_ptr<unsigned char> read_buf, unsigned int length);
    storage_info_t sd_mmc_get_storage_info(TrelDeviceAddress address);
    void hbridge_duty_set(TrelDeviceAddress address, hbridge_name_t hbridge, int duty);
    int wifi_client_scan_refresh(TrelDeviceAddress address, wifi_interface_t interface);
    wifi_scan_network_t wifi_client_scan_get(TrelDeviceAddress address, wifi_interface_t interface,
                                             unsigned char index);
    unsigned char jm_disable_network_tasks(TrelDeviceAddress address);
    void jm_enable_network_tasks(TrelDeviceAddress address);
    bool jm_are_network_tasks_enabled(TrelDeviceAddress address);
    unsigned char check_store_connection(TrelDeviceAddress address);
    void Reset_printer(TrelDeviceAddress address);

private:
    template <typename R>
    R run(TrelDeviceAddress address, const char* name, int idx)
    {
        TrelFirmwareCommandNoArg<R> cmd(transport, name, idx);
        cmd.send(address);
        return cmd.get_result();
    }
    template <typename R, typename... Args>
    R run(TrelDeviceAddress address, const char* name, int idx, std::vector<std::string> keys,
          Args... args)
    {
        TrelFirmwareCommand<R, Args...> cmd(transport, name, idx, std::tuple<Args...>(args...),
                                            keys);
        cmd.send(address);
        return cmd.get_result();
    }
    void run_void(TrelDeviceAddress address, const char* name, int idx)
    {
        VoidTrelFirmwareCommandNoArg cmd(transport, name, idx);
        cmd.send(address);
    }
    template <typename... Args>
    void run_void(TrelDeviceAddress address, const char* name, int idx,
                  std::vector<std::string> keys, Args... args)
    {
        VoidTrelFirmwareCommand<Args...> cmd(transport, name, idx, std::tuple<Args...>(args...),
                                             keys);
        cmd.send(address);
    }

    TrelTransport& transport;
};
