// The firmware event decoders: an event's "data" object as the printer may
// write it, delivered the way the transport delivers a received event (by
// name, to the client's handlers, which use the payload as a program does),
// and each member of its "args" decoded as every payload type.
//
// Input: the JSON text of the event's "data".
#include "FuzzSupport.h"

#include <trel/TrelClient.h>

#include <cstring>
#include <memory>

namespace {

class EventClient : public TrelClient
{
public:
    EventClient() { start_callbacks(); }
    ~EventClient() override { stop_callbacks(); }

    void debug_event(TrelDeviceAddress, std::shared_ptr<char> text) override
    {
        // trel-probe prints the text as a C string.
        if (text)
            used += std::strlen(text.get());
    }
    void servo_dc_trace_event(TrelDeviceAddress, servo_trace_msg record) override
    {
        used += record.pos + record.pos_cmd + record.pwm;
    }

    size_t used = 0;
};

EventClient& client()
{
    return zelkfuzz::untilExit<EventClient>();
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

    EventClient& c = client();
    const TrelMessage parsed(c, TREL_ATTR_REQUEST | TREL_ATTR_ONEWAY, 7, tree.get());
    std::shared_ptr<TrelMessage> message = TrelMessage::elevate(parsed);
    message->handle_receive(TrelDeviceAddress(1, 5), message);

    yajl_val args = TrelEvent::get_unparsed_args(message);
    for (const std::string& key : TrelEvent::get_unparsed_arg_keys(message)) {
        std::shared_ptr<char> payload;
        event_ifc_deserialize_type(args, key.c_str(), payload);
        if (payload)
            c.used += std::strlen(payload.get());
        servo_trace_msg record{};
        event_ifc_deserialize_type(args, key.c_str(), record);
        c.used += record.int_cnt;
    }
    return 0;
}
