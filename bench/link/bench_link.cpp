// Link library figures:
//  - the command channel's receive path (framing, JSON parse, dispatch) fed in
//    64-byte chunks as the USB back end hands them over, in MB/s;
//  - a two-way request's round trip to a virtual printer through the real
//    libusb and the simulated bus, median and 95th percentile.
// Runs on the virtual bus (re-executes itself under umockdev's preload).
//
//   bench_link [--requests N] [--megabytes M]
#include <VirtualBus.h>
#include <VirtualPrinter.h>

#include <trel/TrelCommandInterface.h>
#include <trel/TrelEventInterface.h>
#include <trel/TrelTransport.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class BenchTransport : public TrelTransport, public TrelEventInterface
{
public:
    BenchTransport() : TrelEventInterface(static_cast<TrelTransport&>(*this)) { start_callbacks(); }
    ~BenchTransport() override { stop_callbacks(); }

    void device_connected(TrelDeviceAddress) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        connected = true;
        changed.notify_all();
    }
    void device_disconnected(TrelDeviceAddress) override {}
    void debug_event(TrelDeviceAddress, std::shared_ptr<char>) override { ++events; }

    void receive(unsigned char* data, unsigned int length)
    {
        data_received(data, length, TrelDeviceAddress(1, 5));
    }
    bool waitConnected()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [this] { return connected; });
    }

    long events = 0;

private:
    std::mutex mutex; // guards connected
    std::condition_variable changed;
    bool connected = false;
};

class VersionCommand : public TrelCommand
{
public:
    using TrelCommand::TrelCommand;
    void compile_command(yajl_gen gen) override
    {
        gen_string(gen, "idx");
        gen_integer(gen, 0);
        gen_string(gen, "name");
        gen_string(gen, "bio_get_version");
    }
};

std::string eventFrame(size_t textBytes)
{
    std::string json = "{\"transport\":{\"attrs\":[\"request\",\"oneway\"],\"id\":9},\"data\":{"
                       "\"event\":{\"name\":\"debug_event\",\"args\":{\"text\":[";
    for (size_t i = 0; i < textBytes; ++i)
        json += std::to_string(97 + i % 26) + ",";
    json += "0]}}}}";
    auto f = zelksim::VirtualPrinter::frame(json);
    return std::string(f.begin(), f.end());
}

// A frame whose payload the parser rejects at its first byte: what remains is
// the framing itself.
std::string opaqueFrame(size_t bytes)
{
    auto f = zelksim::VirtualPrinter::frame(std::string(bytes, 'x'));
    return std::string(f.begin(), f.end());
}

void receivePath(BenchTransport& transport, const std::string& one, const char* what,
                 double megabytes)
{
    std::string stream;
    while (stream.size() < 4u << 20)
        stream += one;
    std::vector<unsigned char> bytes(stream.begin(), stream.end());
    const size_t target = static_cast<size_t>(megabytes * 1e6);

    transport.events = 0;
    size_t fed = 0;
    const auto start = Clock::now();
    while (fed < target) {
        for (size_t pos = 0; pos < bytes.size(); pos += 64) {
            const auto n = static_cast<unsigned int>(std::min<size_t>(64, bytes.size() - pos));
            transport.receive(bytes.data() + pos, n);
        }
        fed += bytes.size();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("receive path, %-28s %5zu-byte frames in 64-byte chunks: %8.1f MB/s "
                "(%.0f frames/s)\n",
                what, one.size(), fed / seconds / 1e6, (fed / one.size()) / seconds);
}

// Times `call` `requests` times after a warm-up; prints median and p95.
template <typename Call>
void roundTrip(const char* what, int requests, Call call)
{
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(requests));
    int failed = 0;
    for (int i = 0; i < requests + 50; ++i) {
        const auto start = Clock::now();
        const bool ok = call();
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (!ok)
            ++failed;
        else if (i >= 50)
            micros.push_back(us);
    }
    if (micros.empty()) {
        std::printf("%s: every request failed\n", what);
        return;
    }
    std::sort(micros.begin(), micros.end());
    auto pct = [&](double p) { return micros[static_cast<size_t>(p * (micros.size() - 1))]; };
    std::printf("%-58s median %5.0f us, p95 %5.0f us, max %6.0f us (%zu requests, %d failed)\n",
                what, pct(0.5), pct(0.95), micros.back(), micros.size(), failed);
}

} // namespace

int main(int argc, char** argv)
{
    zelksim::VirtualBus::ensurePreloaded(argv);
    int requests = 2000;
    double megabytes = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--requests"))
            requests = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--megabytes"))
            megabytes = std::atof(argv[i + 1]);
    }

    zelksim::VirtualBus bus;
    BenchTransport transport;
    receivePath(transport, eventFrame(60), "events (parse + dispatch),", megabytes);
    receivePath(transport, eventFrame(4000), "events (parse + dispatch),", megabytes);
    receivePath(transport, opaqueFrame(300), "framing only,", megabytes);
    receivePath(transport, opaqueFrame(16000), "framing only,", megabytes);

    zelksim::VirtualPrinter printer(bus);
    printer.plug();
    if (!transport.waitConnected()) {
        std::fprintf(stderr, "virtual printer did not connect\n");
        return 1;
    }
    const TrelDeviceAddress address(1, 5);
    std::printf("round trips to an in-process virtual printer over the real libusb:\n");
    roundTrip("  framed two-way request (bio_get_version, built by hand)", requests, [&] {
        VersionCommand cmd(transport);
        cmd.send(address);
        return cmd.response_available();
    });
    TrelCommandInterface firmware(transport);
    roundTrip("  firmware command bio_get_version (text result)", requests,
              [&] { return firmware.bio_get_version(address) != nullptr; });
    roundTrip("  firmware command wifi_client_get_configuration (record)", requests / 2, [&] {
        return firmware.wifi_client_get_configuration(address, WIFI_INTERFACE_CLIENT)
                   .hdw_config.mac_address[1] == 0x1a;
    });
    return 0;
}
