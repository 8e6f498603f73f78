#include <trel/TrelStatus.h>

namespace {

struct Outcome
{
    int status;
    const char* name;
    const char* text;
};

const Outcome OUTCOMES[] = {
    {TREL_SUCCESS, "TREL_SUCCESS", "Success"},
    {TREL_ERROR_IO, "TREL_ERROR_IO", "Write to the printer failed"},
    {TREL_ERROR_INVALID_ARGUMENT, "TREL_ERROR_INVALID_ARGUMENT", "Argument cannot be sent"},
    {TREL_ERROR_NO_DEVICE, "TREL_ERROR_NO_DEVICE", "Printer not connected"},
    {TREL_ERROR_TIMEOUT, "TREL_ERROR_TIMEOUT", "No response in time"},
    {TREL_ERROR_NO_RETURN, "TREL_ERROR_NO_RETURN", "Response without \"__return__\""},
    {TREL_ERROR_BAD_RESPONSE, "TREL_ERROR_BAD_RESPONSE", "Response does not decode"},
    {TREL_ERROR_NOT_ALLOWED, "TREL_ERROR_NOT_ALLOWED", "Call not allowed on a callback thread"},
    {TREL_ERROR_ACCESS, "TREL_ERROR_ACCESS", "No permission to open the printer"},
    {TREL_ERROR_BUSY, "TREL_ERROR_BUSY", "Printer held by another program"},
    {TREL_ERROR_OTHER, "TREL_ERROR_OTHER", "Other error"},
};

const Outcome* find(int status)
{
    for (const Outcome& o : OUTCOMES)
        if (o.status == status)
            return &o;
    return nullptr;
}

} // namespace

const char* trel_status_name(int status)
{
    const Outcome* o = find(status);
    return o ? o->name : "TREL_STATUS_UNKNOWN";
}

const char* trel_strerror(int status)
{
    const Outcome* o = find(status);
    return o ? o->text : "Unknown outcome";
}
