#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelStatus.h>

#include <exception>
#include <string>

// The library's one exception type. Every failure text of the USB back end,
// the transport and the job channel travels in it; callers show what(), and
// status() says which outcome of the library's contract it was
// (TREL_ERROR_OTHER where the thrower named none).
class TREL_EXPORT TrelException : public std::exception
{
public:
    TrelException() : message("Unknown Trel Error") {}
    explicit TrelException(std::string text) : message(std::move(text)) {}
    TrelException(TrelStatus status, std::string text) : message(std::move(text)), outcome(status)
    {}

    const char* what() const noexcept override { return message.c_str(); }
    TrelStatus status() const noexcept { return outcome; }

private:
    std::string message;
    TrelStatus outcome = TREL_ERROR_OTHER;
};
