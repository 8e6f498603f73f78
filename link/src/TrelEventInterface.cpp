#include <trel/TrelEventInterface.h>

#include <cstring>

void event_ifc_deserialize_type(yajl_val args, const char* key, std::shared_ptr<char>& value)
{
    yajl_val array = trel_json::member(args, key, yajl_t_array);
    if (!array)
        return;
    const size_t n = array->u.array.len;
    // One byte per element and a zero of our own after them. The firmware
    // sends its terminating zero itself, but a printer that leaves it out must
    // not send every reader of the text (a C string) off the buffer's end.
    std::shared_ptr<char> text(new char[n + 1](), std::default_delete<char[]>());
    for (size_t i = 0; i < n; ++i)
        text.get()[i] = static_cast<char>(trel_json::integer_value(array->u.array.values[i]));
    value = std::move(text);
}

void event_ifc_deserialize_type(yajl_val args, const char* key, servo_trace_msg& value)
{
    yajl_val record = trel_json::member(args, key, yajl_t_object);
    if (!record)
        return;
    auto field = [record](const char* name) {
        return trel_json::integer_value(trel_json::member(record, name, yajl_t_number));
    };
    value.servo_name = static_cast<uint16_t>(field("servo_name"));
    value.servo_state = static_cast<uint16_t>(field("servo_state"));
    value.int_cnt = static_cast<uint32_t>(field("int_cnt"));
    value.pos_cmd = static_cast<uint32_t>(field("pos_cmd"));
    value.pos = static_cast<uint32_t>(field("pos"));
    value.pwm = static_cast<uint16_t>(field("pwm"));
    value.padout_dist = static_cast<uint32_t>(field("padout_dist"));
}

TrelEventInterface::TrelEventInterface(TrelTransport& t) : transport(t)
{
    // Bound through `this`, so a derived class's override is what runs.
    events["debug_event"] = std::make_unique<TrelFirmwareEvent<std::shared_ptr<char>>>(
        transport, "debug_event",
        [this](TrelDeviceAddress a, std::shared_ptr<char> text) { debug_event(a, text); });
    events["servo_dc_trace_event"] = std::make_unique<TrelFirmwareEvent<servo_trace_msg>>(
        transport, "servo_dc_trace_event",
        [this](TrelDeviceAddress a, servo_trace_msg record) { servo_dc_trace_event(a, record); });
}

TrelEventInterface::~TrelEventInterface() = default;

void TrelEventInterface::debug_event(TrelDeviceAddress, std::shared_ptr<char>) {}

void TrelEventInterface::servo_dc_trace_event(TrelDeviceAddress, servo_trace_msg) {}

TrelEvent* TrelEventInterface::get_firmware_event(const std::string& name) const
{
    auto it = events.find(name);
    return it == events.end() ? nullptr : it->second.get();
}
