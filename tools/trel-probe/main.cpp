// trel-probe: the smallest client of the link library. It lists the attached
// Zelk printers with their mode, waits for one to open, sends one framed
// two-way request on its command channel and prints the exchange.
//
//   trel-probe [--wait SECONDS] [--idle SECONDS]
//
// Exit status: 0 on an answered request, 1 when the printer did not answer,
// 3 when no printer opened in time.
#include <trel/TrelCommandInterface.h>
#include <trel/TrelEventInterface.h>
#include <trel/TrelException.h>
#include <trel/TrelTransport.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

class Probe : public TrelTransport, public TrelEventInterface
{
public:
    Probe() : TrelEventInterface(static_cast<TrelTransport&>(*this)) { start_callbacks(); }
    ~Probe() override { stop_callbacks(); }

    void device_connected(TrelDeviceAddress address) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!first)
            first = address;
        changed.notify_all();
    }
    void device_disconnected(TrelDeviceAddress address) override
    {
        std::cout << "Printer " << address << " disconnected" << std::endl;
    }
    void debug_event(TrelDeviceAddress address, std::shared_ptr<char> text) override
    {
        std::cout << "Event from " << address << ": debug_event \"" << (text ? text.get() : "")
                  << "\"" << std::endl;
    }

    std::optional<TrelDeviceAddress> waitForPrinter(std::chrono::seconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, timeout, [this] { return first.has_value(); });
        return first;
    }

private:
    std::mutex mutex; // guards first
    std::condition_variable changed;
    std::optional<TrelDeviceAddress> first;
};

// Asks for the firmware version, built by hand so that the probe can show the
// exchange as it crossed the wire; keeps the response as text, since its
// parse tree is freed as soon as delivery returns.
class VersionRequest : public TrelCommand
{
public:
    explicit VersionRequest(TrelTransport& t) : TrelCommand(t) {}

    void compile_command(yajl_gen gen) override
    {
        gen_string(gen, "idx");
        gen_integer(gen, 0);
        gen_string(gen, "name");
        gen_string(gen, "bio_get_version");
    }
    void set_response(std::shared_ptr<TrelMessage>& response) override
    {
        responseData = trel_json::serialize(response->get_unparsed_data());
        responseId = response->id();
        TrelMessage::set_response(response);
    }

    std::string responseData;
    unsigned int responseId = 0;
};

const char* modeName(int mode)
{
    switch (mode) {
    case 1:
        return "normal";
    case 2:
        return "firmware update";
    default:
        return "unknown";
    }
}

} // namespace

int main(int argc, char** argv)
{
    long waitSeconds = 5;
    long idleSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--wait") && i + 1 < argc) {
            waitSeconds = std::strtol(argv[++i], nullptr, 10);
        } else if (!std::strcmp(argv[i], "--idle") && i + 1 < argc) {
            idleSeconds = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::cerr << "usage: trel-probe [--wait SECONDS] [--idle SECONDS]\n";
            return 2;
        }
    }

    try {
        Probe probe;
        const auto printer = probe.waitForPrinter(std::chrono::seconds(waitSeconds));

        const auto attached = probe.list_attached();
        std::cout << "Attached Zelk printers: " << attached.size() << std::endl;
        for (const TrelUsbDevice& d : attached)
            std::cout << "  port " << static_cast<unsigned>(d.port) << "  mode " << d.mode << " ("
                      << modeName(d.mode) << ")" << std::endl;

        if (!printer) {
            std::cout << "No printer opened within " << waitSeconds << " s." << std::endl;
            return 3;
        }
        std::cout << "Opened printer " << *printer << std::endl;

        VersionRequest request(probe);
        std::cout << "Request  -> " << request.compile() << std::endl;
        const auto start = std::chrono::steady_clock::now();
        request.send(*printer);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        if (!request.response_available()) {
            std::cout << "No answer from " << *printer << std::endl;
            return 1;
        }
        std::cout << "Response <- {\"transport\":{\"attrs\":[\"response\"],\"id\":"
                  << request.responseId << "},\"data\":" << request.responseData << "}"
                  << std::endl;
        std::cout << "Round trip: " << took.count() << " ms" << std::endl;

        // The same through the firmware command layer.
        TrelCommandInterface firmware(probe);
        const std::shared_ptr<char> version = firmware.bio_get_version(*printer);
        const std::shared_ptr<char> serial = firmware.bio_get_serial(*printer);
        std::cout << "bio_get_version: " << (version ? version.get() : "(no answer)") << std::endl;
        std::cout << "bio_get_serial:  " << (serial ? serial.get() : "(no answer)") << std::endl;

        if (idleSeconds > 0) {
            std::cout << "Idling " << idleSeconds << " s with the printer open..." << std::endl;
            std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        }
        return 0;
    } catch (const TrelException& e) {
        std::cerr << "trel-probe: " << e.what() << std::endl;
        return 1;
    }
}
