#pragma once

#include <trel/TrelExport.h>

// The library's one error contract.
//
// Every call that talks to a printer either succeeds or says which failure it
// was, as a TrelStatus: TREL_SUCCESS (0) or one of the negative TREL_ERROR_*
// values below, which never change their numbers. trel_status_name() gives the
// enumerator's name ("TREL_ERROR_TIMEOUT"), trel_strerror() a short text for
// people ("No response in time").
//
// Where it is reported:
// - Firmware commands: every command method of TrelCommandInterface has a
//   sibling of the same name with "_checked" appended, same arguments, that
//   returns TrelResult<R> (the outcome and the decoded value). The plain
//   method returns only the value, value-initialised after a failure (0,
//   false, an all-zero record, a null text), and never throws.
// - TrelTransport::send_message() and TrelMessage::send() return it.
// - Operations that throw (the job channel, the USB back end) throw
//   TrelException, whose status() names the outcome.
//
// The firmware's own return code is a value, not an outcome: a firmware that
// answers -2 has answered, and the call succeeds with the value -2.

enum TrelStatus : int {
    // The exchange completed: the request was written and, for a command, its
    // response arrived and decoded into the command's result.
    TREL_SUCCESS = 0,
    // A write to the printer failed while the printer stayed attached (a
    // transfer that kept timing out or was refused), or a job file stopped
    // being readable part-way; the printer may have received part of it.
    TREL_ERROR_IO = -1,
    // An argument that cannot be sent (a number that is not finite, a message
    // too long for a frame, a file that cannot be read): nothing was sent.
    TREL_ERROR_INVALID_ARGUMENT = -2,
    // The printer is not connected, or went away before its answer arrived.
    // Whether it acted on a request that was written is unknown.
    TREL_ERROR_NO_DEVICE = -3,
    // The request was written and no response came in time
    // (TrelTransport::response_timeout()). The printer may have acted on it.
    TREL_ERROR_TIMEOUT = -4,
    // The response arrived without "__return__": the printer handled the
    // request but its result is unknown.
    TREL_ERROR_NO_RETURN = -5,
    // The response arrived but does not decode into the command's result
    // (missing "command" object, a "__return__" or record member of another
    // JSON type). The printer handled the request.
    TREL_ERROR_BAD_RESPONSE = -6,
    // A call that cannot work where it was made: a blocking call from a
    // library callback, whose thread is the one that delivers answers and USB
    // events. Nothing was sent.
    TREL_ERROR_NOT_ALLOWED = -7,
    // A printer on the bus that could not be opened: its device node may not
    // be opened by this user (no udev rule grants it). See
    // TrelUsb::list_unopened().
    TREL_ERROR_ACCESS = -8,
    // A printer on the bus that could not be opened: another program holds
    // its interface (TrelUsb::node_holder() may name it).
    TREL_ERROR_BUSY = -9,
    // Anything else (an exception the library did not expect).
    TREL_ERROR_OTHER = -99,
};

// "TREL_SUCCESS", "TREL_ERROR_TIMEOUT", ...; "TREL_STATUS_UNKNOWN" for a number
// that is none of them. Never null; the text is static.
TREL_EXPORT const char* trel_status_name(int status);
// A short English text, "No response in time"; "Unknown outcome" for a number
// that is none of them. Never null; the text is static.
TREL_EXPORT const char* trel_strerror(int status);

// The outcome of one firmware command and what it returned. `value` is the
// decoded "__return__" when ok(); after a failure it is value-initialised, or,
// for TREL_ERROR_BAD_RESPONSE, what could be decoded: never use it then.
template <typename T>
struct TrelResult
{
    TrelStatus status = TREL_ERROR_OTHER;
    T value{};

    bool ok() const { return status == TREL_SUCCESS; }
    const char* status_name() const { return trel_status_name(status); }
};

// A command whose method returns nothing has an outcome only.
template <>
struct TrelResult<void>
{
    TrelStatus status = TREL_ERROR_OTHER;

    bool ok() const { return status == TREL_SUCCESS; }
    const char* status_name() const { return trel_status_name(status); }
};
