#include "Worker.h"

#include <future>

#include <pthread.h>

namespace zelksim {

Worker::Worker(std::string threadName) : name(std::move(threadName))
{
    thread = std::thread([this] { run(); });
}

Worker::~Worker()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

void Worker::post(std::function<void()> task)
{
    postAfter(std::chrono::milliseconds(0), std::move(task));
}

void Worker::postAfter(std::chrono::milliseconds delay, std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Equal times keep their posting order: multimap inserts after equals.
        tasks.emplace(Clock::now() + delay, std::move(task));
    }
    wake.notify_all();
}

void Worker::sync()
{
    if (std::this_thread::get_id() == thread.get_id())
        return;
    std::promise<void> done;
    auto f = done.get_future();
    post([&done] { done.set_value(); });
    f.wait();
}

void Worker::run()
{
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (tasks.empty()) {
            wake.wait(lock);
            continue;
        }
        auto first = tasks.begin();
        if (first->first > Clock::now()) {
            wake.wait_until(lock, first->first);
            continue;
        }
        auto task = std::move(first->second);
        tasks.erase(first);
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace zelksim
