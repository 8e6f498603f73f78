#pragma once

#include <trel/TrelCommandCodec.h>
#include <trel/TrelException.h>
#include <trel/TrelMessage.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

template <size_t... I>
using seq = std::index_sequence<I...>;

// Writes each argument under its key, in order.
struct CmdArgSerializer
{
    template <typename Tuple, size_t I>
    static void serialize_arg(yajl_gen_t* gen, const std::vector<std::string>& keys, Tuple& args)
    {
        cmd_ifc_serialize_type(gen, keys[I].c_str(), std::get<I>(args));
    }
    template <typename... Args, size_t... I>
    static void for_each(yajl_gen_t* gen, const std::vector<std::string>& keys,
                         std::tuple<Args...>& args, seq<I...>)
    {
        (serialize_arg<std::tuple<Args...>, I>(gen, keys, args), ...);
    }
};

// Finds the first argument holding a number that JSON cannot carry; `where`
// then names it ("config.gains.kp").
struct CmdArgChecker
{
    template <typename... Args, size_t... I>
    static bool non_finite(const std::vector<std::string>& keys, const std::tuple<Args...>& args,
                           std::string& where, seq<I...>)
    {
        return (check(keys[I], std::get<I>(args), where) || ...);
    }
    template <typename T>
    static bool check(const std::string& key, const T& value, std::string& where)
    {
        std::string below;
        if (!trel_codec::non_finite(value, below))
            return false;
        where = below.empty() ? key : key + "." + below;
        return true;
    }
};

// Reads the first `count` arguments of a response, element i from the member
// under keys[i].
struct CmdArgDeserializer
{
    template <typename Tuple, size_t I>
    static void deserialize_arg(yajl_val_s* args, const std::vector<std::string>& keys,
                                size_t count, Tuple& values)
    {
        if (I < count)
            cmd_ifc_deserialize_type(args, keys[I].c_str(), std::get<I>(values));
    }
    template <typename... Args, size_t... I>
    static void for_each(yajl_val_s* args, const std::vector<std::string>& keys, size_t count,
                         std::tuple<Args...>& values, seq<I...>)
    {
        (deserialize_arg<std::tuple<Args...>, I>(args, keys, count, values), ...);
    }
};

// One firmware remote procedure call: a two-way command whose "command" object
// holds the index, the wire name and the arguments under their keys, and whose
// response's "__return__" becomes result().
//
// The result starts value-initialised (0, false, an all-zero record, a null
// text), so a call that got no response, or a response without
// "__return__", returns that rather than garbage. How the response decoded is
// decode_status(): a response without "__return__" is TREL_ERROR_NO_RETURN,
// one without the "command" object or whose "__return__" does not decode into
// R is TREL_ERROR_BAD_RESPONSE; a command whose method returns nothing (the
// Void variants) looks only for the "command" object.
template <typename R, typename... Args>
class TrelFirmwareCommand : public TrelCommand
{
public:
    TrelFirmwareCommand(TrelTransport& transport, std::string commandName, int commandIdx)
        : TrelCommand(transport), args(), name(std::move(commandName)), idx(commandIdx)
    {}
    TrelFirmwareCommand(TrelTransport& transport, std::string commandName, int commandIdx,
                        const std::tuple<Args...>& arguments, const std::vector<std::string>& keys)
        : TrelCommand(transport), args(arguments), arg_keys(keys), name(std::move(commandName)),
          idx(commandIdx)
    {}
    ~TrelFirmwareCommand() override = default;

    // Runs on the USB thread before the caller is woken, while the response's
    // parse tree still lives: everything is decoded here.
    void set_response(std::shared_ptr<TrelMessage>& response) override
    {
        yajl_val responseArgs = TrelCommand::get_unparsed_args(response);
        yajl_val ret = TrelCommand::get_unparsed_return(response);
        yajl_val command = TrelCommand::get_unparsed_command(response);
        const std::string responseName = TrelCommand::get_unparsed_cmd_name(response);
        const int responseIdx = TrelCommand::get_unparsed_cmd_idx(response);
        const std::vector<std::string> responseKeys = TrelCommand::get_unparsed_arg_keys(response);

        if (!command)
            _decode_status = TREL_ERROR_BAD_RESPONSE;
        else if (!ret)
            _decode_status = result_ignored ? TREL_SUCCESS : TREL_ERROR_NO_RETURN;
        else if (!cmd_ifc_deserialize_type(command, "__return__", result) && !result_ignored)
            _decode_status = TREL_ERROR_BAD_RESPONSE;
        else
            _decode_status = TREL_SUCCESS;

        // Arguments bind by position: the firmware lists them in the request's
        // order. A response with fewer leaves the rest value-initialised.
        std::tuple<Args...> values{};
        std::vector<std::string> keys(arg_keys.size());
        const size_t count = responseArgs ? std::min(keys.size(), responseKeys.size()) : 0;
        for (size_t i = 0; i < count; ++i)
            keys[i] = responseKeys[i];
        CmdArgDeserializer::for_each(responseArgs, keys, count, values,
                                     std::index_sequence_for<Args...>());

        std::shared_ptr<TrelMessage> decoded = std::make_shared<TrelFirmwareCommand>(
            transport(), responseName, responseIdx, values, keys);
        TrelMessage::set_response(decoded);
    }

    // Throws TrelException (TREL_ERROR_INVALID_ARGUMENT) before writing
    // anything when an argument holds a NaN or an infinity: yajl refuses such
    // a number, so the key would go out without its value and every later
    // member would slip into the place of the one before.
    void compile_command(yajl_gen_t* gen) override
    {
        std::string where;
        if (!arg_keys.empty() &&
            CmdArgChecker::non_finite(arg_keys, args, where, std::index_sequence_for<Args...>()))
            throw TrelException(TREL_ERROR_INVALID_ARGUMENT,
                                "Argument " + where + " of " + name +
                                    " is not a finite number; the command was not sent.");
        gen_string(gen, "idx");
        gen_integer(gen, idx);
        gen_string(gen, "name");
        gen_string(gen, name);
        if (arg_keys.empty())
            return;
        gen_string(gen, "args");
        gen_map_open(gen);
        CmdArgSerializer::for_each(gen, arg_keys, args, std::index_sequence_for<Args...>());
        gen_map_close(gen);
    }

    R& get_result() { return result; }
    const std::tuple<Args...>& arguments() const { return args; }
    const std::vector<std::string>& keys() const { return arg_keys; }
    const std::string& command_name() const { return name; }
    int command_idx() const { return idx; }

protected:
    std::tuple<Args...> args;
    std::vector<std::string> arg_keys;
    std::string name;
    int idx;
    R result{};
    // Set by the variants whose method returns nothing.
    bool result_ignored = false;
};

// A command without arguments that returns a value.
template <typename R>
class TrelFirmwareCommandNoArg : public TrelFirmwareCommand<R, int>
{
public:
    TrelFirmwareCommandNoArg(TrelTransport& transport, std::string commandName, int commandIdx)
        : TrelFirmwareCommand<R, int>(transport, std::move(commandName), commandIdx)
    {}
    ~TrelFirmwareCommandNoArg() override = default;
};

// A command with arguments whose method returns nothing.
template <typename... Args>
class VoidTrelFirmwareCommand : public TrelFirmwareCommand<int, Args...>
{
public:
    VoidTrelFirmwareCommand(TrelTransport& transport, std::string commandName, int commandIdx,
                            const std::tuple<Args...>& arguments,
                            const std::vector<std::string>& argKeys)
        : TrelFirmwareCommand<int, Args...>(transport, std::move(commandName), commandIdx,
                                            arguments, argKeys)
    {
        this->result_ignored = true;
    }
    ~VoidTrelFirmwareCommand() override = default;
};

// A command without arguments whose method returns nothing.
class VoidTrelFirmwareCommandNoArg : public TrelFirmwareCommand<int, int>
{
public:
    VoidTrelFirmwareCommandNoArg(TrelTransport& transport, std::string commandName, int commandIdx)
        : TrelFirmwareCommand<int, int>(transport, std::move(commandName), commandIdx)
    {
        result_ignored = true;
    }
    ~VoidTrelFirmwareCommandNoArg() override = default;
};
