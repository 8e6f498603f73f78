#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelMessage.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

// One servo trace record as the firmware reports it.
struct servo_trace_msg
{
    uint16_t servo_name;
    uint16_t servo_state;
    uint32_t int_cnt;
    uint32_t pos_cmd;
    uint32_t pos;
    uint16_t pwm;
    uint32_t padout_dist;
};

// Payload decoders: the member `key` of an event's "args" object.
TREL_EXPORT void event_ifc_deserialize_type(yajl_val args, const char* key,
                                            std::shared_ptr<char>& value);
TREL_EXPORT void event_ifc_deserialize_type(yajl_val args, const char* key, servo_trace_msg& value);

// A known firmware event: decodes the first member of "args" into its payload
// type and calls its handler.
template <typename... Args>
class TrelFirmwareEvent : public TrelEvent
{
public:
    using Handler = std::function<void(TrelDeviceAddress, Args...)>;

    TrelFirmwareEvent(TrelTransport& transport, std::string eventName, Handler eventHandler)
        : TrelEvent(transport), name(std::move(eventName)), handler(std::move(eventHandler))
    {}

    void execute(TrelDeviceAddress address, std::shared_ptr<TrelMessage>& message) override
    {
        std::tuple<std::decay_t<Args>...> payload{};
        yajl_val args = TrelEvent::get_unparsed_args(message);
        if (args && args->u.object.len > 0)
            decode(args, args->u.object.keys[0], payload, std::index_sequence_for<Args...>());
        if (handler)
            std::apply([&](auto&... v) { handler(address, v...); }, payload);
    }

    const std::string& event_name() const { return name; }

private:
    template <typename Tuple, size_t... I>
    static void decode(yajl_val args, const char* key, Tuple& payload, std::index_sequence<I...>)
    {
        (event_ifc_deserialize_type(args, key, std::get<I>(payload)), ...);
    }

    std::string name;
    Handler handler;
};

// The firmware events of one client, found by name when an event message
// arrives. The callbacks run on the USB thread with the command channel's
// client lock held: return quickly.
class TREL_EXPORT TrelEventInterface
{
public:
    explicit TrelEventInterface(TrelTransport& transport);
    virtual ~TrelEventInterface();
    TrelEventInterface(const TrelEventInterface&) = delete;
    TrelEventInterface& operator=(const TrelEventInterface&) = delete;

    virtual void debug_event(TrelDeviceAddress address, std::shared_ptr<char> text);
    virtual void servo_dc_trace_event(TrelDeviceAddress address, servo_trace_msg record);

    TrelEvent* get_firmware_event(const std::string& name) const;

private:
    TrelTransport& transport;
    std::map<std::string, std::unique_ptr<TrelEvent>> events;
};
