#include <trel/TrelEventInterface.h>
#include <trel/TrelException.h>
#include <trel/TrelMessage.h>
#include <trel/TrelTransport.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>

namespace {

// Ids are 1, 2, 3 ... across every transport and printer of the process and
// wrap at 2^32.
std::atomic<unsigned int> g_msgCount{0};

struct GenDeleter
{
    void operator()(yajl_gen_t* g) const { yajl_gen_free(g); }
};

} // namespace

namespace trel_json {

yajl_val member(yajl_val object, const char* key, yajl_type wanted)
{
    if (!object || !YAJL_IS_OBJECT(object))
        return nullptr;
    const auto& obj = object->u.object;
    for (size_t i = 0; i < obj.len; ++i) {
        if (std::strcmp(obj.keys[i], key) != 0)
            continue;
        yajl_val v = obj.values[i];
        if (!v || (wanted != yajl_t_any && v->type != wanted))
            return nullptr;
        return v;
    }
    return nullptr;
}

long long integer_value(yajl_val number)
{
    if (!number || !YAJL_IS_NUMBER(number))
        return 0;
    if (number->u.number.flags & YAJL_NUMBER_INT_VALID)
        return number->u.number.i;
    if (!(number->u.number.flags & YAJL_NUMBER_DOUBLE_VALID))
        return 0;
    // Converting an out-of-range double is undefined; clamp, as the wire may
    // carry anything.
    const double d = number->u.number.d;
    if (std::isnan(d))
        return 0;
    if (d >= 9.2233720368547758e18)
        return LLONG_MAX;
    if (d <= -9.2233720368547758e18)
        return LLONG_MIN;
    return static_cast<long long>(d);
}

std::vector<std::string> keys(yajl_val object)
{
    std::vector<std::string> result;
    if (!object || !YAJL_IS_OBJECT(object))
        return result;
    result.reserve(object->u.object.len);
    for (size_t i = 0; i < object->u.object.len; ++i)
        result.emplace_back(object->u.object.keys[i]);
    return result;
}

void generate(yajl_gen gen, yajl_val v)
{
    if (!v) {
        yajl_gen_null(gen);
        return;
    }
    switch (v->type) {
    case yajl_t_string:
        TrelMessage::gen_string(gen, v->u.string);
        break;
    case yajl_t_number:
        yajl_gen_number(gen, v->u.number.r, std::strlen(v->u.number.r));
        break;
    case yajl_t_object:
        yajl_gen_map_open(gen);
        for (size_t i = 0; i < v->u.object.len; ++i) {
            TrelMessage::gen_string(gen, v->u.object.keys[i]);
            generate(gen, v->u.object.values[i]);
        }
        yajl_gen_map_close(gen);
        break;
    case yajl_t_array:
        yajl_gen_array_open(gen);
        for (size_t i = 0; i < v->u.array.len; ++i)
            generate(gen, v->u.array.values[i]);
        yajl_gen_array_close(gen);
        break;
    case yajl_t_true:
    case yajl_t_false:
        yajl_gen_bool(gen, v->type == yajl_t_true);
        break;
    default:
        yajl_gen_null(gen);
        break;
    }
}

std::string serialize(yajl_val value)
{
    std::unique_ptr<yajl_gen_t, GenDeleter> g(yajl_gen_alloc(nullptr));
    generate(g.get(), value);
    const unsigned char* buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(g.get(), &buf, &len);
    return std::string(reinterpret_cast<const char*>(buf), len);
}

} // namespace trel_json

// ---------------------------------------------------------------------------

unsigned int TrelMessage::next_id()
{
    return g_msgCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

TrelMessage::TrelMessage(TrelTransport& transport, unsigned int attrs, yajl_val data)
    : _attrs(attrs), _id(next_id()), _transport(&transport), _data(data), _type(PLAIN)
{}

TrelMessage::TrelMessage(TrelTransport& transport, unsigned int attrs, unsigned int id,
                         yajl_val data)
    : _attrs(attrs), _id(id), _transport(&transport), _data(data), _type(PLAIN)
{}

TrelMessage::TrelMessage(const TrelMessage& other)
    : _attrs(other._attrs), _id(other._id), _transport(other._transport), _data(other._data),
      _type(other._type)
{}

TrelMessage& TrelMessage::operator=(const TrelMessage& other)
{
    _attrs = other._attrs;
    _id = other._id;
    _transport = other._transport;
    _data = other._data;
    _type = other._type;
    return *this;
}

TrelMessage::~TrelMessage() = default;

void TrelMessage::set_response(std::shared_ptr<TrelMessage>& response)
{
    _response = response;
}

void TrelMessage::compile_data(yajl_gen gen)
{
    gen_map_open(gen);
    gen_map_close(gen);
}

void TrelMessage::handle_receive(TrelDeviceAddress, std::shared_ptr<TrelMessage>&) {}

std::string TrelMessage::compile()
{
    std::unique_ptr<yajl_gen_t, GenDeleter> g(yajl_gen_alloc(nullptr));
    yajl_gen gen = g.get();
    gen_map_open(gen);
    gen_string(gen, "transport");
    gen_map_open(gen);
    gen_string(gen, "attrs");
    gen_array_open(gen);
    for (const std::string& name : TrelTransport::attrs(_attrs))
        gen_string(gen, name);
    gen_array_close(gen);
    gen_string(gen, "id");
    gen_integer(gen, _id);
    gen_map_close(gen);
    gen_string(gen, "data");
    compile_data(gen);
    gen_map_close(gen);

    const unsigned char* buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(gen, &buf, &len);
    return std::string(reinterpret_cast<const char*>(buf), len);
}

TrelStatus TrelMessage::send(TrelDeviceAddress address)
{
    return _transport->send_message(*this, address);
}

std::shared_ptr<TrelMessage> TrelMessage::elevate(const TrelMessage& message)
{
    if (trel_json::member(message._data, "command", yajl_t_object))
        return std::make_shared<TrelCommand>(message);
    if (trel_json::member(message._data, "event", yajl_t_object))
        return std::make_shared<TrelEvent>(message);
    return std::make_shared<TrelMessage>(message);
}

void TrelMessage::gen_integer(yajl_gen gen, long long value)
{
    yajl_gen_integer(gen, value);
}

void TrelMessage::gen_double(yajl_gen gen, double value)
{
    if (!std::isfinite(value))
        throw TrelException(TREL_ERROR_INVALID_ARGUMENT,
                            "A number that is not finite cannot be written as JSON.");
    yajl_gen_double(gen, value);
}

void TrelMessage::gen_number(yajl_gen gen, const std::string& text)
{
    yajl_gen_number(gen, text.data(), text.size());
}

void TrelMessage::gen_string(yajl_gen gen, const std::string& text)
{
    yajl_gen_string(gen, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

void TrelMessage::gen_null(yajl_gen gen)
{
    yajl_gen_null(gen);
}

void TrelMessage::gen_bool(yajl_gen gen, bool value)
{
    yajl_gen_bool(gen, value ? 1 : 0);
}

void TrelMessage::gen_map_open(yajl_gen gen)
{
    yajl_gen_map_open(gen);
}

void TrelMessage::gen_map_close(yajl_gen gen)
{
    yajl_gen_map_close(gen);
}

void TrelMessage::gen_array_open(yajl_gen gen)
{
    yajl_gen_array_open(gen);
}

void TrelMessage::gen_array_close(yajl_gen gen)
{
    yajl_gen_array_close(gen);
}

// ---------------------------------------------------------------------------

TrelCommand::TrelCommand(TrelTransport& transport)
    : TrelMessage(transport, TREL_ATTR_REQUEST | TREL_ATTR_TWOWAY, nullptr)
{
    _type = COMMAND;
}

TrelCommand::TrelCommand(const TrelMessage& message) : TrelMessage(message)
{
    _type = COMMAND;
}

TrelCommand::~TrelCommand() = default;

void TrelCommand::compile_data(yajl_gen gen)
{
    gen_map_open(gen);
    gen_string(gen, "command");
    gen_map_open(gen);
    compile_command(gen);
    gen_map_close(gen);
    gen_map_close(gen);
}

void TrelCommand::compile_command(yajl_gen) {}

namespace {
yajl_val commandOf(const std::shared_ptr<TrelMessage>& message)
{
    return message ? trel_json::member(message->get_unparsed_data(), "command", yajl_t_object)
                   : nullptr;
}
} // namespace

yajl_val TrelCommand::get_unparsed_command(std::shared_ptr<TrelMessage>& message)
{
    return commandOf(message);
}

yajl_val TrelCommand::get_unparsed_args(std::shared_ptr<TrelMessage>& message)
{
    return trel_json::member(commandOf(message), "args", yajl_t_object);
}

std::vector<std::string> TrelCommand::get_unparsed_arg_keys(std::shared_ptr<TrelMessage>& message)
{
    return trel_json::keys(get_unparsed_args(message));
}

std::string TrelCommand::get_unparsed_cmd_name(std::shared_ptr<TrelMessage>& message)
{
    yajl_val name = trel_json::member(commandOf(message), "name", yajl_t_string);
    return name ? std::string(YAJL_GET_STRING(name)) : std::string();
}

yajl_val TrelCommand::get_unparsed_return(std::shared_ptr<TrelMessage>& message)
{
    return trel_json::member(commandOf(message), "__return__");
}

int TrelCommand::get_unparsed_cmd_idx(std::shared_ptr<TrelMessage>& message)
{
    yajl_val idx = trel_json::member(commandOf(message), "idx", yajl_t_number);
    return static_cast<int>(static_cast<uint32_t>(trel_json::integer_value(idx)));
}

// ---------------------------------------------------------------------------

TrelEvent::TrelEvent(TrelTransport& transport)
    : TrelMessage(transport, TREL_ATTR_REQUEST | TREL_ATTR_ONEWAY, nullptr)
{
    _type = EVENT;
}

TrelEvent::TrelEvent(const TrelMessage& message) : TrelMessage(message)
{
    _type = EVENT;
}

TrelEvent::~TrelEvent() = default;

namespace {
yajl_val eventOf(const std::shared_ptr<TrelMessage>& message)
{
    return message ? trel_json::member(message->get_unparsed_data(), "event", yajl_t_object)
                   : nullptr;
}
} // namespace

void TrelEvent::handle_receive(TrelDeviceAddress address, std::shared_ptr<TrelMessage>& message)
{
    yajl_val name = trel_json::member(eventOf(message), "name", yajl_t_string);
    if (!name)
        return;
    // The transport of a client is also its event interface.
    auto* events = dynamic_cast<TrelEventInterface*>(_transport);
    if (!events)
        return;
    if (TrelEvent* event = events->get_firmware_event(YAJL_GET_STRING(name)))
        event->execute(address, message);
}

void TrelEvent::execute(TrelDeviceAddress, std::shared_ptr<TrelMessage>&) {}

yajl_val TrelEvent::get_unparsed_args(std::shared_ptr<TrelMessage>& message)
{
    return trel_json::member(eventOf(message), "args", yajl_t_object);
}

std::vector<std::string> TrelEvent::get_unparsed_arg_keys(std::shared_ptr<TrelMessage>& message)
{
    return trel_json::keys(get_unparsed_args(message));
}
