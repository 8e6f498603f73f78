#pragma once

#include <chrono>
#include <thread>

namespace zelktest {

// Polls `condition` until it holds or `timeout` passes; for state that has no
// notification of its own (the open-printer table, listings).
template <typename Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace zelktest
