#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelDeviceAddress.h>
#include <trel/TrelStatus.h>

#include <memory>
#include <string>
#include <vector>

#include <yajl/yajl_gen.h>
#include <yajl/yajl_tree.h>

class TrelTransport;

// Attribute bits of a message's "transport" object.
enum : unsigned int {
    TREL_ATTR_REQUEST = 0x01,
    TREL_ATTR_RESPONSE = 0x02,
    TREL_ATTR_ONEWAY = 0x04,
    TREL_ATTR_TWOWAY = 0x08,
    TREL_ATTR_ACK = 0x10,
};

// One JSON envelope on the command channel:
//   {"transport":{"attrs":[...],"id":N},"data":{...}}
// A message built here takes the next id of the process-wide counter; a message
// parsed from the wire keeps its wire id and points into the parse tree of its
// text (get_unparsed_data()), which lives only while the message is delivered:
// afterwards is_parsed() is false and every reader returns null, empty or 0.
class TREL_EXPORT TrelMessage
{
public:
    enum Type : int { PLAIN = -1, COMMAND = 0, EVENT = 1 };

    TrelMessage(TrelTransport& transport, unsigned int attrs, yajl_val data);
    TrelMessage(TrelTransport& transport, unsigned int attrs, unsigned int id, yajl_val data);
    // A copy starts without a response; assignment keeps the target's own.
    TrelMessage(const TrelMessage& other);
    TrelMessage& operator=(const TrelMessage& other);
    virtual ~TrelMessage();

    // Called on the USB thread for the response with this message's id, while
    // the sender waits; the response's parse tree is freed when it returns.
    virtual void set_response(std::shared_ptr<TrelMessage>& response);
    // Writes the value of "data"; the base writes an empty object.
    virtual void compile_data(yajl_gen gen);
    // Called for a received message that is not a response; the base ignores it.
    virtual void handle_receive(TrelDeviceAddress address, std::shared_ptr<TrelMessage>& message);

    // Throws TrelException (TREL_ERROR_INVALID_ARGUMENT) for a message that
    // cannot be written as JSON, such as a number that is not finite.
    std::string compile();
    // The transport's send_message(): the exchange's outcome.
    TrelStatus send(TrelDeviceAddress address);

    bool is_parsed() const { return _data != nullptr; }
    bool twoway() const { return (_attrs & TREL_ATTR_TWOWAY) != 0; }
    bool is_response() const { return (_attrs & TREL_ATTR_RESPONSE) != 0; }
    unsigned int id() const { return _id; }
    unsigned int attrs() const { return _attrs; }
    int type() const { return _type; }
    TrelTransport& transport() const { return *_transport; }
    bool response_available() const { return _response != nullptr; }
    const std::shared_ptr<TrelMessage>& response() const { return _response; }
    // How the response decoded, once one is stored: TREL_SUCCESS, or
    // TREL_ERROR_NO_RETURN / TREL_ERROR_BAD_RESPONSE as set_response() of a
    // firmware command found it. The transport reports it as the outcome.
    TrelStatus decode_status() const { return _decode_status; }
    yajl_val get_unparsed_data() const { return _data; }

    // The most specific class for a received message: a command if "data" holds
    // an object "command", else an event if it holds an object "event".
    static std::shared_ptr<TrelMessage> elevate(const TrelMessage& message);

    // One generator call each; the command layer builds its objects with these.
    // gen_double throws TrelException (TREL_ERROR_INVALID_ARGUMENT) for a
    // number that is not finite: JSON has none, and yajl would write nothing
    // and leave the object's keys and values out of step.
    static void gen_integer(yajl_gen gen, long long value);
    static void gen_double(yajl_gen gen, double value);
    static void gen_number(yajl_gen gen, const std::string& text);
    static void gen_string(yajl_gen gen, const std::string& text);
    static void gen_null(yajl_gen gen);
    static void gen_bool(yajl_gen gen, bool value);
    static void gen_map_open(yajl_gen gen);
    static void gen_map_close(yajl_gen gen);
    static void gen_array_open(yajl_gen gen);
    static void gen_array_close(yajl_gen gen);

protected:
    static unsigned int next_id();

    // The transport frees a received message's parse tree once the message
    // is delivered, and then drops the message's pointer into it, so that a
    // message kept beyond its delivery (a request's response) reads as
    // unparsed instead of reading freed memory.
    friend class TrelTransport;
    void forget_data() { _data = nullptr; }

    unsigned int _attrs;
    unsigned int _id;
    TrelTransport* _transport;
    yajl_val _data;
    int _type;
    std::shared_ptr<TrelMessage> _response;
    // Written by set_response() on the USB thread before the sender is woken.
    TrelStatus _decode_status = TREL_SUCCESS;
};

// A firmware command: request + two-way, data {"command":{...}}.
class TREL_EXPORT TrelCommand : public TrelMessage
{
public:
    explicit TrelCommand(TrelTransport& transport);
    explicit TrelCommand(const TrelMessage& message);
    ~TrelCommand() override;

    void compile_data(yajl_gen gen) override;
    // Writes the members of the "command" object; the base writes none.
    virtual void compile_command(yajl_gen gen);

    // Readers of a received message; null, empty or 0 when absent or mistyped.
    static yajl_val get_unparsed_command(std::shared_ptr<TrelMessage>& message);
    static yajl_val get_unparsed_args(std::shared_ptr<TrelMessage>& message);
    static std::vector<std::string> get_unparsed_arg_keys(std::shared_ptr<TrelMessage>& message);
    static std::string get_unparsed_cmd_name(std::shared_ptr<TrelMessage>& message);
    static yajl_val get_unparsed_return(std::shared_ptr<TrelMessage>& message);
    static int get_unparsed_cmd_idx(std::shared_ptr<TrelMessage>& message);
};

// A firmware event: request + one-way, data {"event":{"name":...,"args":{...}}}.
class TREL_EXPORT TrelEvent : public TrelMessage
{
public:
    explicit TrelEvent(TrelTransport& transport);
    explicit TrelEvent(const TrelMessage& message);
    ~TrelEvent() override;

    // Finds the event of this name in the receiving client's event interface and
    // runs it; unknown names and transports outside a client are ignored.
    void handle_receive(TrelDeviceAddress address, std::shared_ptr<TrelMessage>& message) override;
    virtual void execute(TrelDeviceAddress address, std::shared_ptr<TrelMessage>& message);

    static yajl_val get_unparsed_args(std::shared_ptr<TrelMessage>& message);
    static std::vector<std::string> get_unparsed_arg_keys(std::shared_ptr<TrelMessage>& message);
};

namespace trel_json {
// Member `key` of `object` when it is an object and the member has the wanted
// kind (nullptr for any); nullptr otherwise. Never throws.
TREL_EXPORT yajl_val member(yajl_val object, const char* key, yajl_type wanted = yajl_t_any);
// The integer value of a JSON number: the integer when yajl parsed one, the
// double truncated otherwise (a number too large for long long parses as a
// double only).
TREL_EXPORT long long integer_value(yajl_val number);
TREL_EXPORT std::vector<std::string> keys(yajl_val object);
// Writes a parsed value into a generator; serialize() gives its compact text.
// (Not "emit": Qt defines that word away.)
TREL_EXPORT void generate(yajl_gen gen, yajl_val value);
TREL_EXPORT std::string serialize(yajl_val value);
} // namespace trel_json
