#pragma once

#include <trel/TrelExport.h>

// JSON codecs of the firmware command layer: every scalar, text, buffer, float
// pointer, enumeration and record that crosses the wire, in both directions.
//
// Writing: integers and enumerations as integers, bool as 0 or 1, float
// widened to double, fixed arrays as arrays of every element (char signed,
// uint8_t unsigned), records as objects with their members in declaration
// order, pointers to records as an array holding the one pointed-to record.
// A char array travels signed also where char is unsigned.
// A number that is not finite has no JSON form: writing one throws
// TrelException (TREL_ERROR_INVALID_ARGUMENT); the command layer checks its
// arguments with non_finite() before it writes anything.
//
// Reading never trusts the printer: a missing member or one of another JSON
// type leaves the field as it was, every array copy stops at the field's
// length, and numbers are cut to the field's width.
// Each reader returns whether everything it looked for was there with the
// JSON type it needs (array lengths aside): false makes a command's result
// TREL_ERROR_BAD_RESPONSE.

#include <trel/TrelCommandTypes.h>
#include <trel/TrelMessage.h>

#include <cfloat>
#include <cmath>
#include <memory>
#include <string>
#include <type_traits>

namespace trel_codec {

// --- members of each record, in wire order -------------------------------

template <typename V>
void fields(wifi_client_connect_t& s, V&& v)
{
    v("ssid", s.ssid);
    v("key", s.key);
    v("timeout", s.timeout);
}
template <typename V>
void fields(wifi_ip_config& s, V&& v)
{
    v("ip", s.ip);
    v("subnet_mask", s.subnet_mask);
    v("default_gateway", s.default_gateway);
    v("dhcp_server", s.dhcp_server);
    v("dns_server", s.dns_server);
    v("mac_address", s.mac_address);
    v("connected_ssid", s.connected_ssid);
}
template <typename V>
void fields(wifi_status_t& s, V&& v)
{
    v("connected", s.connected);
    v("ip_config", s.ip_config);
}
template <typename V>
void fields(wifi_ifc_config& s, V&& v)
{
    v("auto_start", s.auto_start);
    v("auto_connect", s.auto_connect);
    v("auto_connect_ssid", s.auto_connect_ssid);
    v("auto_connect_key", s.auto_connect_key);
    v("auto_connect_timeout", s.auto_connect_timeout);
}
template <typename V>
void fields(wifi_hdw_config& s, V&& v)
{
    v("mac_address", s.mac_address);
    v("patch_version", s.patch_version);
}
template <typename V>
void fields(wifi_config_t& s, V&& v)
{
    v("ifc_config", s.ifc_config);
    v("hdw_config", s.hdw_config);
    v("ip_config", s.ip_config);
}
template <typename V>
void fields(wifi_scan_network_t& s, V&& v)
{
    v("ssid", s.ssid);
    v("encryption", s.encryption);
    v("strength", s.strength);
}
template <typename V>
void fields(servo_dc_gains& s, V&& v)
{
    v("kp", s.kp);
    v("ki", s.ki);
    v("kd", s.kd);
    v("ka", s.ka);
    v("kv", s.kv);
    v("kf", s.kf);
}
template <typename V>
void fields(servo_dc_client_config_t& s, V&& v)
{
    v("interrupt_frequency", s.interrupt_frequency);
    v("gains", s.gains);
    v("pwm_cap", s.pwm_cap);
    v("pwm_cap_time", s.pwm_cap_time);
    v("units", s.units);
    v("pos_res_eu_per_mm", s.pos_res_eu_per_mm);
    v("vel_res_mm_per_sec", s.vel_res_mm_per_sec);
    v("speed_max", s.speed_max);
    v("accel_max", s.accel_max);
    v("move_dist_min_static", s.move_dist_min_static);
    v("move_dist_min_dynamic", s.move_dist_min_dynamic);
    v("trace", s.trace);
}
template <typename V>
void fields(servo_dc_move_config_t& s, V&& v)
{
    v("move_type", s.move_type);
    v("start_sync", s.start_sync);
    v("target", s.target);
    v("distance", s.distance);
    v("speed_f", s.speed_f);
    v("accel_f", s.accel_f);
    v("decel_f", s.decel_f);
    v("max_cycles", s.max_cycles);
    v("metric_skip", s.metric_skip);
    v("speed_offset_upramp_f", s.speed_offset_upramp_f);
    v("speed_offset_downramp_f", s.speed_offset_downramp_f);
    v("ignore_stalls", s.ignore_stalls);
    v("slaved", s.slaved);
    v("slave_ratio", s.slave_ratio);
}
template <typename V>
void fields(servo_dc_move_modifier_data_t& s, V&& v)
{
    v("servo_name", s.servo_name);
    v("type", s.type);
    v("pos", s.pos);
    v("vel", s.vel);
    v("accel", s.accel);
    v("decel", s.decel);
    v("validation_pos", s.validation_pos);
    v("use_validation_pos", s.use_validation_pos);
    v("decel_ramp_skip", s.decel_ramp_skip);
    v("data", s.data);
    v("active", s.active);
}
template <typename V>
void fields(servo_dc_move_metrics_t& s, V&& v)
{
    v("n", s.n);
    v("mean", s.mean);
    v("M2", s.M2);
}
template <typename V>
void fields(write_byte_return_t& s, V&& v)
{
    v("success", s.success);
    v("timetowrite", s.timetowrite);
}
template <typename V>
void fields(read_byte_return_t& s, V&& v)
{
    v("byteread", s.byteread);
    v("timetoread", s.timetoread);
}
template <typename V>
void fields(storage_info_t& s, V&& v)
{
    v("total_size", s.total_size);
    v("block_count", s.block_count);
    v("block_size", s.block_size);
}

struct NoVisitor
{
    template <typename F>
    void operator()(const char*, F&) const
    {}
};

template <typename T, typename = void>
struct is_record : std::false_type
{};
template <typename T>
struct is_record<T, std::void_t<decltype(fields(std::declval<T&>(), NoVisitor()))>> : std::true_type
{};

template <typename T>
constexpr bool is_plain_integer = std::is_integral_v<T> && !std::is_same_v<T, bool>;

// --- writing -----------------------------------------------------------------

inline void write(yajl_gen gen, bool v)
{
    yajl_gen_integer(gen, v ? 1 : 0);
}
template <typename T>
std::enable_if_t<is_plain_integer<T> || std::is_enum_v<T>> write(yajl_gen gen, T v)
{
    yajl_gen_integer(gen, static_cast<long long>(v));
}
// The firmware's char is signed: a byte 200 is -56 on the wire also where
// char is unsigned (ARM64 Linux).
inline void write(yajl_gen gen, char v)
{
    yajl_gen_integer(gen, static_cast<signed char>(v));
}
inline void write(yajl_gen gen, double v)
{
    TrelMessage::gen_double(gen, v);
}
inline void write(yajl_gen gen, float v)
{
    write(gen, static_cast<double>(v));
}
template <typename T, size_t N>
void write(yajl_gen gen, const T (&a)[N])
{
    yajl_gen_array_open(gen);
    for (size_t i = 0; i < N; ++i)
        write(gen, a[i]);
    yajl_gen_array_close(gen);
}
template <typename T>
std::enable_if_t<is_record<T>::value> write(yajl_gen gen, const T& record)
{
    yajl_gen_map_open(gen);
    fields(const_cast<T&>(record), [gen](const char* key, auto& field) {
        TrelMessage::gen_string(gen, key);
        write(gen, field);
    });
    yajl_gen_map_close(gen);
}

// --- reading -----------------------------------------------------------------

inline double number_value(yajl_val v)
{
    if (v->u.number.flags & YAJL_NUMBER_DOUBLE_VALID)
        return v->u.number.d;
    return static_cast<double>(v->u.number.i);
}

inline bool read(yajl_val v, bool& out)
{
    if (!YAJL_IS_NUMBER(v))
        return false;
    out = trel_json::integer_value(v) != 0;
    return true;
}
template <typename T>
std::enable_if_t<is_plain_integer<T>, bool> read(yajl_val v, T& out)
{
    if (!YAJL_IS_NUMBER(v))
        return false;
    // Cut to width; a char takes the low byte, whatever its signedness.
    out = static_cast<T>(static_cast<std::make_unsigned_t<T>>(trel_json::integer_value(v)));
    return true;
}
template <typename T>
std::enable_if_t<std::is_enum_v<T>, bool> read(yajl_val v, T& out)
{
    std::underlying_type_t<T> raw = static_cast<std::underlying_type_t<T>>(out);
    const bool decoded = read(v, raw);
    out = static_cast<T>(raw);
    return decoded;
}
inline bool read(yajl_val v, float& out)
{
    if (!YAJL_IS_NUMBER(v))
        return false;
    // A double beyond float's range is undefined to convert: saturate.
    const double d = number_value(v);
    if (std::isnan(d))
        out = NAN;
    else if (d > FLT_MAX)
        out = INFINITY;
    else if (d < -FLT_MAX)
        out = -INFINITY;
    else
        out = static_cast<float>(d);
    return true;
}
inline bool read(yajl_val v, double& out)
{
    if (!YAJL_IS_NUMBER(v))
        return false;
    out = number_value(v);
    return true;
}
template <typename T, size_t N>
bool read(yajl_val v, T (&a)[N])
{
    if (!YAJL_IS_ARRAY(v))
        return false;
    bool decoded = true;
    const size_t n = std::min(N, v->u.array.len);
    for (size_t i = 0; i < n; ++i)
        decoded = read(v->u.array.values[i], a[i]) && decoded;
    return decoded;
}
template <typename T>
std::enable_if_t<is_record<T>::value, bool> read(yajl_val v, T& record)
{
    if (!YAJL_IS_OBJECT(v))
        return false;
    bool decoded = true;
    fields(record, [v, &decoded](const char* key, auto& field) {
        decoded = read(trel_json::member(v, key), field) && decoded;
    });
    return decoded;
}

// --- numbers JSON cannot carry ----------------------------------------------

// True when `value` holds a float or double that is NaN or infinite; `path`
// then names it below the value ("gains.kp"; empty for the value itself).
template <typename T>
std::enable_if_t<std::is_arithmetic_v<T> || std::is_enum_v<T>, bool> non_finite(const T& value,
                                                                                std::string&)
{
    if constexpr (std::is_floating_point_v<T>)
        return !std::isfinite(value);
    else
        return false;
}
template <typename T, size_t N>
bool non_finite(const T (&a)[N], std::string& path)
{
    for (const T& element : a)
        if (non_finite(element, path))
            return true;
    return false;
}
template <typename T>
std::enable_if_t<is_record<T>::value, bool> non_finite(const T& record, std::string& path)
{
    bool found = false;
    fields(const_cast<T&>(record), [&found, &path](const char* key, auto& field) {
        std::string below;
        if (found || !non_finite(field, below))
            return;
        found = true;
        path = below.empty() ? key : std::string(key) + "." + below;
    });
    return found;
}
// Pointer arguments: what is sent of them (the first element).
template <typename T>
bool non_finite(const std::shared_ptr<T>& pointer, std::string& path)
{
    if constexpr (std::is_same_v<T, char> || std::is_same_v<T, unsigned char>)
        return false;
    else
        return pointer && non_finite(*pointer, path);
}

template <typename T>
std::shared_ptr<T> new_array(size_t n)
{
    // At least one element, value-initialised: a caller that takes the pointer
    // for one element never reads unowned memory.
    return std::shared_ptr<T>(new T[n ? n : 1](), std::default_delete<T[]>());
}

} // namespace trel_codec

// --- the overload sets the command templates call -----------------------------

// Writes `key`, then the value.
template <typename T>
void cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key, T& value)
{
    TrelMessage::gen_string(gen, key);
    trel_codec::write(gen, value);
}
// Text: its bytes as signed values, then the terminating 0 (a null text as
// the empty text).
TREL_EXPORT void cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key,
                                        std::shared_ptr<char>& value);
// Buffer: a one-element array holding the first byte (empty for null).
TREL_EXPORT void cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key,
                                        std::shared_ptr<unsigned char>& value);
TREL_EXPORT void cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key,
                                        std::shared_ptr<float>& value);
// Pointer to a record: an array holding the one pointed-to record.
template <typename T>
std::enable_if_t<trel_codec::is_record<T>::value>
cmd_ifc_serialize_type(yajl_gen_t* gen, const char* key, std::shared_ptr<T>& value)
{
    TrelMessage::gen_string(gen, key);
    yajl_gen_array_open(gen);
    if (value)
        trel_codec::write(gen, *value);
    yajl_gen_array_close(gen);
}

// Reads the member `key` of `object` into `value`; leaves it as it was when
// the member is missing or of another JSON type. Returns whether it decoded
// (see the readers above).
template <typename T>
bool cmd_ifc_deserialize_type(yajl_val_s* object, const char* key, T& value)
{
    return trel_codec::read(trel_json::member(object, key), value);
}
// Text: a new array of the element count, terminated one byte further so that
// a text without its 0 cannot run off its end.
TREL_EXPORT bool cmd_ifc_deserialize_type(yajl_val_s* object, const char* key,
                                          std::shared_ptr<char>& value);
TREL_EXPORT bool cmd_ifc_deserialize_type(yajl_val_s* object, const char* key,
                                          std::shared_ptr<unsigned char>& value);
TREL_EXPORT bool cmd_ifc_deserialize_type(yajl_val_s* object, const char* key,
                                          std::shared_ptr<float>& value);
template <typename T>
std::enable_if_t<trel_codec::is_record<T>::value, bool>
cmd_ifc_deserialize_type(yajl_val_s* object, const char* key, std::shared_ptr<T>& value)
{
    yajl_val array = trel_json::member(object, key, yajl_t_array);
    if (!array)
        return false;
    bool decoded = true;
    std::shared_ptr<T> records = trel_codec::new_array<T>(array->u.array.len);
    for (size_t i = 0; i < array->u.array.len; ++i)
        decoded = trel_codec::read(array->u.array.values[i], records.get()[i]) && decoded;
    value = std::move(records);
    return decoded;
}
