#pragma once

// The firmware's own types, as its remote procedures take and return them:
// 32-bit enumerations and fixed-layout records. The wire carries enumerations
// as bare integers; the enumerator names below are ours.

#include <cstdint>

enum gpio_name_t : int32_t {
    GPIO_STATUS_LED = 0,
    GPIO_PART_FAN = 1,
    GPIO_HOTEND_FAN = 2,
    GPIO_HEATER_ENABLE = 3,
    GPIO_FILAMENT_SENSOR = 4,
    GPIO_BUTTON = 5,
    GPIO_Z_ENDSTOP = 6,
};

enum gpio_input_name_t : int32_t {
    GPIO_INPUT_BUTTON = 0,
    GPIO_INPUT_FILAMENT = 1,
    GPIO_INPUT_Z_ENDSTOP = 2,
};

enum input_state_t : int32_t {
    INPUT_STATE_LOW = 0,
    INPUT_STATE_HIGH = 1,
    INPUT_STATE_BOUNCING = 2,
};

enum gcode_process_result_t : int32_t {
    GCODE_PROCESS_OK = 0,
    GCODE_PROCESS_BUSY = 1,
    GCODE_PROCESS_UNKNOWN_COMMAND = 2,
    GCODE_PROCESS_BAD_ARGUMENT = 3,
    GCODE_PROCESS_FAILED = 4,
};

enum heater_params_t : int32_t {
    HEATER_PARAM_KP = 0,
    HEATER_PARAM_KI = 1,
    HEATER_PARAM_KD = 2,
    HEATER_PARAM_MAX_TEMP = 3,
    HEATER_PARAM_MIN_TEMP = 4,
    HEATER_PARAM_MAX_POWER = 5,
    HEATER_PARAM_GUARDBAND = 6,
};

enum HEATER_VARS_m : int32_t {
    HEATER_VAR_TARGET_TEMP = 0,
    HEATER_VAR_CURRENT_TEMP = 1,
    HEATER_VAR_POWER = 2,
    HEATER_VAR_AMBIENT_TEMP = 3,
};

enum heater_guardband_t : int32_t {
    HEATER_OUTSIDE_GUARDBAND = 0,
    HEATER_INSIDE_GUARDBAND = 1,
};

enum heater_state_t : int32_t {
    HEATER_STATE_OFF = 0,
    HEATER_STATE_HEATING = 1,
    HEATER_STATE_AT_TEMPERATURE = 2,
    HEATER_STATE_COOLING = 3,
};

enum heater_fault_t : int32_t {
    HEATER_FAULT_NONE = 0,
    HEATER_FAULT_SENSOR_OPEN = 1,
    HEATER_FAULT_SENSOR_SHORT = 2,
    HEATER_FAULT_RUNAWAY = 3,
    HEATER_FAULT_TIMEOUT = 4,
};

enum wifi_interface_t : int32_t {
    WIFI_INTERFACE_CLIENT = 0,
    WIFI_INTERFACE_ACCESS_POINT = 1,
};

enum servo_dc_name_t : int32_t {
    SERVO_DC_X = 0,
    SERVO_DC_Y = 1,
    SERVO_DC_Z = 2, // the build plate's height; what the desktop program moves
    SERVO_DC_E = 3,
};

enum servo_move_call_result_t : int32_t {
    SERVO_MOVE_STARTED = 0,
    SERVO_MOVE_BUSY = 1,
    SERVO_MOVE_INVALID = 2,
    SERVO_MOVE_UNKNOWN_SERVO = 3,
};

enum servo_dc_move_dir_t : int32_t {
    SERVO_DIR_NONE = 0,
    SERVO_DIR_POSITIVE = 1,
    SERVO_DIR_NEGATIVE = 2,
};

enum ui_led_t : int32_t {
    UI_LED_STATUS = 0,
    UI_LED_BUTTON = 1,
    UI_LED_WIFI = 2,
};

enum hbridge_name_t : int32_t {
    HBRIDGE_PART_FAN = 0,
    HBRIDGE_HOTEND_FAN = 1,
    HBRIDGE_AUX = 2,
};

// Network name and pass phrase are NUL-padded; a full-length one has no
// terminating zero.
struct wifi_client_connect_t
{
    char ssid[32];
    char key[64];
    uint32_t timeout;
};

struct wifi_ip_config
{
    uint8_t ip[4];
    uint8_t subnet_mask[4];
    uint8_t default_gateway[4];
    uint8_t dhcp_server[4];
    uint8_t dns_server[4];
    uint8_t mac_address[6];
    uint8_t connected_ssid[32];
};

struct wifi_status_t
{
    bool connected;
    wifi_ip_config ip_config;
};

struct wifi_ifc_config
{
    bool auto_start;
    bool auto_connect;
    char auto_connect_ssid[32];
    char auto_connect_key[64];
    uint32_t auto_connect_timeout;
};

struct wifi_hdw_config
{
    uint8_t mac_address[6];
    uint8_t patch_version[2];
};

struct wifi_config_t
{
    wifi_ifc_config ifc_config;
    wifi_hdw_config hdw_config;
    wifi_ip_config ip_config;
};

struct wifi_scan_network_t
{
    char ssid[32];
    int32_t encryption;
    int8_t strength;
};

struct servo_dc_gains
{
    float kp;
    float ki;
    float kd;
    float ka;
    float kv;
    float kf;
};

struct servo_dc_client_config_t
{
    uint16_t interrupt_frequency;
    servo_dc_gains gains;
    int32_t pwm_cap;
    uint32_t pwm_cap_time;
    uint32_t units;
    float pos_res_eu_per_mm;
    float vel_res_mm_per_sec;
    float speed_max;
    float accel_max;
    uint32_t move_dist_min_static;
    uint32_t move_dist_min_dynamic;
    uint32_t trace;
};

struct servo_dc_move_config_t
{
    uint32_t move_type;
    bool start_sync;
    double target; // the one field that travels unnarrowed
    float distance;
    float speed_f;
    float accel_f;
    float decel_f;
    uint32_t max_cycles;
    uint32_t metric_skip;
    float speed_offset_upramp_f;
    float speed_offset_downramp_f;
    bool ignore_stalls;
    bool slaved;
    float slave_ratio;
};

struct servo_dc_move_modifier_data_t
{
    servo_dc_name_t servo_name;
    uint32_t type;
    float pos;
    float vel;
    float accel;
    float decel;
    float validation_pos;
    bool use_validation_pos;
    bool decel_ramp_skip;
    int32_t data;
    bool active;
};

struct servo_dc_move_metrics_t
{
    int32_t n;
    float mean;
    float M2;
};

struct write_byte_return_t
{
    int16_t success;
    int32_t timetowrite;
};

struct read_byte_return_t
{
    int16_t byteread;
    int32_t timetoread;
};

struct storage_info_t
{
    int32_t total_size;
    int32_t block_count;
    int32_t block_size;
};
