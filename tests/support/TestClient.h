#pragma once

#include <trel/TrelClient.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace zelktest {

// A library client that records what reaches it: connect notices, status
// records and raw job-channel messages, and the firmware events.
class TestClient : public TrelClient
{
public:
    TestClient() { start_callbacks(); }
    // For a derived class, which starts and stops the callbacks itself (see
    // TestTransport::Derived).
    struct Derived
    {};
    explicit TestClient(Derived) {}
    ~TestClient() override { stop_callbacks(); }

    void device_connected(TrelDeviceAddress a) override { add(connects, a); }
    void device_disconnected(TrelDeviceAddress a) override { add(disconnects, a); }
    void StatusReceived(TrelDeviceAddress, StatusMsg status) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        statuses.push_back(status);
        changed.notify_all();
    }
    void JobDataReceived(TrelDeviceAddress, const unsigned char* data, unsigned int n) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobData.emplace_back(reinterpret_cast<const char*>(data), n);
        changed.notify_all();
    }
    void debug_event(TrelDeviceAddress, std::shared_ptr<char> text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        debugTexts.emplace_back(text ? text.get() : "");
        changed.notify_all();
    }

    // Hands bytes to the job channel's receive path as the USB back end would.
    void feedJob(const std::string& bytes, TrelDeviceAddress a = {1, 5})
    {
        std::string copy = bytes;
        TrelJobInterface::data_received(reinterpret_cast<unsigned char*>(copy.data()),
                                        static_cast<unsigned int>(copy.size()), a);
    }
    void resetJob(TrelDeviceAddress a = {1, 5}) { TrelJobInterface::usb_device_connected(a); }

    template <typename Pred>
    bool waitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return pred(*this); });
    }
    bool waitConnected(TrelDeviceAddress a)
    {
        return waitUntil([a](TestClient& c) {
            return std::find(c.connects.begin(), c.connects.end(), a) != c.connects.end();
        });
    }

    // Read under `mutex` (waitUntil's predicate runs with it held), or copy.
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<TrelDeviceAddress> connects;
    std::vector<TrelDeviceAddress> disconnects;
    std::vector<StatusMsg> statuses;
    std::vector<std::string> jobData;
    std::vector<std::string> debugTexts;

    std::vector<std::string> jobDataCopy()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return jobData;
    }
    std::vector<StatusMsg> statusCopy()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses;
    }

private:
    void add(std::vector<TrelDeviceAddress>& list, TrelDeviceAddress a)
    {
        std::lock_guard<std::mutex> lock(mutex);
        list.push_back(a);
        changed.notify_all();
    }
};

} // namespace zelktest
