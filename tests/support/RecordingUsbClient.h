#pragma once

#include <trel/TrelUsb.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace zelktest {

// A client of the USB back end itself: records, in the order the back end
// makes them, its connect and disconnect calls and the chunks it receives.
class RecordingUsbClient : public TrelUsbClient
{
public:
    explicit RecordingUsbClient(trel_usb_interface_t ch) : channel(ch)
    {
        TrelUsb::client_register(*this, channel);
    }
    ~RecordingUsbClient() override { unregister(); }

    void usb_device_connected(TrelDeviceAddress a) override { add("+" + a.to_string()); }
    void usb_device_disconnected(TrelDeviceAddress a) override { add("-" + a.to_string()); }
    void data_received(unsigned char* data, unsigned int length, TrelDeviceAddress) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        chunks.emplace_back(reinterpret_cast<char*>(data), length);
        changed.notify_all();
    }

    // "+1:5" for a connect, "-1:5" for a disconnect, in order.
    std::vector<std::string> events() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    std::vector<std::string> received() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return chunks;
    }
    bool waitForEvents(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return log.size() >= n; });
    }
    bool waitForChunks(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return chunks.size() >= n; });
    }

protected:
    // A class derived from this one calls it first thing in its destructor:
    // the back end may call a client until it is unregistered, and must not
    // find it half destroyed. Calling it again does nothing.
    void unregister() { TrelUsb::client_unregister(*this, channel); }

private:
    void add(std::string e)
    {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(std::move(e));
        changed.notify_all();
    }

    trel_usb_interface_t channel;
    mutable std::mutex mutex; // guards log and chunks
    mutable std::condition_variable changed;
    std::vector<std::string> log;
    std::vector<std::string> chunks;
};

} // namespace zelktest
