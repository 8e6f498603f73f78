#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelCommandTable.h>
#include <trel/TrelCommandTypes.h>
#include <trel/TrelDeviceAddress.h>
#include <trel/TrelFirmwareCommand.h>
#include <trel/TrelStatus.h>
#include <trel/TrelTransport.h>

#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

// The printer firmware's remote procedures as blocking methods. Each call
// names the printer, sends one two-way command through the transport and
// waits for its response. Commands to one printer never overlap; any number
// of threads may call, except the library's callback threads (TrelStatus.h,
// link/README.md).
//
// Every row of TrelCommandTable.h gives two methods:
//
//   R name(TrelDeviceAddress address, T1 key1, ...);
//   TrelResult<R> name_checked(TrelDeviceAddress address, T1 key1, ...);
//
// name_checked() returns the exchange's outcome with the decoded "__return__"
// (TrelResult<void> for a procedure that returns nothing): TREL_SUCCESS, or
// which failure it was. The plain method is the same call with the outcome
// dropped: after a failure it returns the value-initialised result (0, false,
// an all-zero record, a null text), which the caller cannot tell from an
// answer. Neither throws; every failure is also printed on standard output as
// "TrelMessage: <id> -- <text>". Example:
//
//   TrelResult<servo_dc_client_config_t> r =
//       client.servo_dc_config_get_checked(address, SERVO_DC_Z);
//   if (!r.ok())
//       return fail(r.status_name());      // never write r.value back
//   TrelResult<gcode_process_result_t> g =
//       client.gcode_process_command_checked(address, text);
//   // g.ok(): the firmware answered; g.value is its own code, which may be
//   // GCODE_PROCESS_UNKNOWN_COMMAND (an answer, not a failed exchange).
class TREL_EXPORT TrelCommandInterface
{
public:
    explicit TrelCommandInterface(TrelTransport& t) : transport(t) {}
    TrelCommandInterface(const TrelCommandInterface&) = delete;
    TrelCommandInterface& operator=(const TrelCommandInterface&) = delete;

#define TREL_DECLARE_0(R, name, idx)                                                               \
    R name(TrelDeviceAddress address);                                                             \
    TrelResult<R> name##_checked(TrelDeviceAddress address);
#define TREL_DECLARE_1(R, name, idx, T1, a1)                                                       \
    R name(TrelDeviceAddress address, T1 a1);                                                      \
    TrelResult<R> name##_checked(TrelDeviceAddress address, T1 a1);
#define TREL_DECLARE_2(R, name, idx, T1, a1, T2, a2)                                               \
    R name(TrelDeviceAddress address, T1 a1, T2 a2);                                               \
    TrelResult<R> name##_checked(TrelDeviceAddress address, T1 a1, T2 a2);
#define TREL_DECLARE_3(R, name, idx, T1, a1, T2, a2, T3, a3)                                       \
    R name(TrelDeviceAddress address, T1 a1, T2 a2, T3 a3);                                        \
    TrelResult<R> name##_checked(TrelDeviceAddress address, T1 a1, T2 a2, T3 a3);

    TREL_FIRMWARE_COMMANDS(TREL_DECLARE_0, TREL_DECLARE_1, TREL_DECLARE_2, TREL_DECLARE_3)

#undef TREL_DECLARE_0
#undef TREL_DECLARE_1
#undef TREL_DECLARE_2
#undef TREL_DECLARE_3

private:
    // One exchange: the command object lives on this stack for the call, its
    // response (owned by it) goes with it.
    template <typename R, typename... Args>
    TrelResult<R> exchange(TrelDeviceAddress address, const char* name, int idx,
                           std::vector<std::string> keys, Args... args)
    {
        if constexpr (std::is_void_v<R> && sizeof...(Args) == 0) {
            VoidTrelFirmwareCommandNoArg cmd(transport, name, idx);
            return {cmd.send(address)};
        } else if constexpr (std::is_void_v<R>) {
            VoidTrelFirmwareCommand<Args...> cmd(transport, name, idx, std::tuple<Args...>(args...),
                                                 keys);
            return {cmd.send(address)};
        } else if constexpr (sizeof...(Args) == 0) {
            TrelFirmwareCommandNoArg<R> cmd(transport, name, idx);
            const TrelStatus status = cmd.send(address);
            return {status, cmd.get_result()};
        } else {
            TrelFirmwareCommand<R, Args...> cmd(transport, name, idx, std::tuple<Args...>(args...),
                                                keys);
            const TrelStatus status = cmd.send(address);
            return {status, cmd.get_result()};
        }
    }

    TrelTransport& transport;
};
