#pragma once

#include <trel/TrelEventInterface.h>
#include <trel/TrelTransport.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace zelktest {

using namespace std::chrono_literals;

// A transport that records what the library tells it: the printers connected
// and disconnected (in order) and the firmware events received.
class TestTransport : public TrelTransport, public TrelEventInterface
{
public:
    struct Notice
    {
        bool connected;
        TrelDeviceAddress address;
    };

    TestTransport() : TrelEventInterface(static_cast<TrelTransport&>(*this)) { start_callbacks(); }
    // For a class derived from this one: it calls start_callbacks() last in
    // its constructor and stop_callbacks() first in its destructor, as the
    // library asks of the most derived class (a notice or an event must not
    // reach it half built or half destroyed).
    struct Derived
    {};
    explicit TestTransport(Derived) : TrelEventInterface(static_cast<TrelTransport&>(*this)) {}
    ~TestTransport() override { stop_callbacks(); }

    void device_connected(TrelDeviceAddress a) override { record({true, a}); }
    void device_disconnected(TrelDeviceAddress a) override { record({false, a}); }
    void debug_event(TrelDeviceAddress, std::shared_ptr<char> text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        debugTexts.emplace_back(text ? text.get() : "");
        changed.notify_all();
    }

    std::vector<Notice> notices() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    int count(bool connected, TrelDeviceAddress a) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const Notice& n) {
            return n.connected == connected && n.address == a;
        }));
    }
    bool waitFor(bool connected, TrelDeviceAddress a, int times = 1,
                 std::chrono::milliseconds timeout = 5s) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::count_if(log.begin(), log.end(), [&](const Notice& n) {
                       return n.connected == connected && n.address == a;
                   }) >= times;
        });
    }
    bool waitForDebugTexts(size_t n, std::chrono::milliseconds timeout = 5s) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return debugTexts.size() >= n; });
    }
    // Hands bytes to the command channel's receive path as the USB back end
    // would, in chunks of at most `chunk` bytes.
    void feed(const std::string& bytes, size_t chunk = 64, TrelDeviceAddress a = {1, 5})
    {
        std::vector<unsigned char> copy(bytes.begin(), bytes.end());
        for (size_t pos = 0; pos < copy.size(); pos += chunk)
            data_received(copy.data() + pos,
                          static_cast<unsigned int>(std::min(chunk, copy.size() - pos)), a);
    }

    // What the back end reports when the printer at `a` re-enumerates at the
    // same address (one bus scan: the old one closed, a new one opened).
    void reportReEnumeration(TrelDeviceAddress a)
    {
        usb_device_disconnected(a);
        usb_device_connected(a);
    }
    // The teardown's first step, without the destruction.
    void stop() { stop_callbacks(); }

    std::vector<std::string> debugEvents() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return debugTexts;
    }

private:
    void record(Notice n)
    {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(n);
        changed.notify_all();
    }

    mutable std::mutex mutex; // guards log and debugTexts
    mutable std::condition_variable changed;
    std::vector<Notice> log;
    std::vector<std::string> debugTexts;
};

// A command message with a name, as the firmware command layer builds them;
// keeps a copy of its response's data, which is freed after delivery.
class NamedCommand : public TrelCommand
{
public:
    NamedCommand(TrelTransport& t, std::string commandName, int commandIdx = 0)
        : TrelCommand(t), name(std::move(commandName)), idx(commandIdx)
    {}
    void compile_command(yajl_gen gen) override
    {
        gen_string(gen, "idx");
        gen_integer(gen, idx);
        gen_string(gen, "name");
        gen_string(gen, name);
    }
    void set_response(std::shared_ptr<TrelMessage>& response) override
    {
        responseName = TrelCommand::get_unparsed_cmd_name(response);
        responseIdx = TrelCommand::get_unparsed_cmd_idx(response);
        TrelMessage::set_response(response);
    }

    std::string name;
    int idx;
    std::string responseName;
    int responseIdx = -1;
};

} // namespace zelktest
