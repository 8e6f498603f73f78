#pragma once

#include <exception>
#include <string>

// The library's one exception type. Every failure text of the USB back end,
// the transport and the job channel travels in it; callers show what().
class TrelException : public std::exception
{
public:
    TrelException() : message("Unknown Trel Error") {}
    explicit TrelException(std::string text) : message(std::move(text)) {}

    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};
