#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace zelksim {

// A named thread that runs posted tasks in order, some after a delay.
class Worker
{
public:
    using Clock = std::chrono::steady_clock;

    explicit Worker(std::string threadName);
    ~Worker(); // runs nothing more; waits for a running task
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void post(std::function<void()> task);
    void postAfter(std::chrono::milliseconds delay, std::function<void()> task);
    // Blocks until every task posted before the call (and due now) has run.
    void sync();

private:
    void run();

    std::string name;
    // Guards tasks and stopping.
    std::mutex mutex;
    std::condition_variable wake;
    std::multimap<Clock::time_point, std::function<void()>> tasks;
    bool stopping = false;
    std::thread thread;
};

} // namespace zelksim
