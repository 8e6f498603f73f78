#pragma once

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

namespace zelktest {

// Captures what the library writes to std::cout, from any thread, while alive.
class StdoutCapture : private std::streambuf
{
public:
    StdoutCapture() : previous(std::cout.rdbuf(this)) {}
    ~StdoutCapture() override { std::cout.rdbuf(previous); }

    std::string text() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    // Waits until the captured text contains `s`.
    bool waitFor(const std::string& s, std::chrono::milliseconds timeout) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return grew.wait_for(lock, timeout, [&] { return captured.find(s) != std::string::npos; });
    }

private:
    int_type overflow(int_type c) override
    {
        if (c != traits_type::eof()) {
            std::lock_guard<std::mutex> lock(mutex);
            captured.push_back(static_cast<char>(c));
            grew.notify_all();
        }
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        captured.append(s, static_cast<size_t>(n));
        grew.notify_all();
        return n;
    }

    std::streambuf* previous;
    mutable std::mutex mutex; // guards captured
    mutable std::condition_variable grew;
    std::string captured;
};

} // namespace zelktest
