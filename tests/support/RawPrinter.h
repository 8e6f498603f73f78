#pragma once

#include "SimBus.h"

#include <VirtualUsbDevice.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zelktest {

// A device with the printer's USB identity and endpoints but no firmware
// behind them: it records every host write exactly as it arrived (one entry
// per OUT transfer) and sends back only what a test queues. For checking what
// the library puts on the wire, write by write.
class RawPrinter
{
public:
    // Answers host writes: given the OUT endpoint and the bytes of one write,
    // returns what to queue on the matching IN endpoint (empty: nothing).
    using Responder = std::function<std::string(uint8_t endpoint, const std::string& write)>;

    RawPrinter(uint8_t bus = 1, uint8_t address = 5)
        : recorder(std::make_shared<Recorder>()),
          device(simBus().testbed(), config(bus, address), recorder)
    {
        recorder->device = &device;
    }
    ~RawPrinter()
    {
        std::lock_guard<std::mutex> lock(recorder->mutex);
        recorder->device = nullptr;
        recorder->responder = nullptr;
    }
    RawPrinter(const RawPrinter&) = delete;
    RawPrinter& operator=(const RawPrinter&) = delete;

    void setResponder(Responder responder)
    {
        std::lock_guard<std::mutex> lock(recorder->mutex);
        recorder->responder = std::move(responder);
    }

    void plug() { device.plug(); }
    void unplug() { device.unplug(); }
    zelksim::VirtualUsbDevice& usb() { return device; }

    // The host's writes on an OUT endpoint (0x02 command, 0x04 job).
    std::vector<std::string> writes(uint8_t endpoint) const
    {
        std::lock_guard<std::mutex> lock(recorder->mutex);
        return recorder->writes[endpoint];
    }
    // Queues bytes for an IN endpoint (0x81 command, 0x83 job).
    void send(uint8_t endpoint, const std::string& bytes, bool pack = false)
    {
        device.queueIn(endpoint, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                       pack);
    }

private:
    struct Recorder : zelksim::UsbFunction
    {
        void bulkOut(uint8_t endpoint, const uint8_t* data, size_t length) override
        {
            std::lock_guard<std::mutex> lock(mutex);
            writes[endpoint].emplace_back(reinterpret_cast<const char*>(data), length);
            if (!responder || !device)
                return;
            const std::string answer = responder(endpoint, writes[endpoint].back());
            if (!answer.empty())
                device->queueIn(endpoint == 0x02 ? 0x81 : 0x83,
                                reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
        }
        mutable std::mutex mutex; // guards writes, responder, device
        std::map<uint8_t, std::vector<std::string>> writes;
        Responder responder;
        zelksim::VirtualUsbDevice* device = nullptr;
    };

    static zelksim::UsbDeviceConfig config(uint8_t bus, uint8_t address)
    {
        zelksim::UsbDeviceConfig c;
        c.bus = bus;
        c.address = address;
        // Device descriptor (vendor 0x2B75, product 0x0002), then one
        // configuration with vendor interface 0 and its four bulk endpoints.
        c.descriptors = {18,   1,  0x00, 0x02, 0, 0, 0,    64,   0x75, 0x2b, 0x02, 0x00, 0x00,
                         0x01, 0,  0,    0,    1, 9, 2,    46,   0,    1,    1,    0,    0x80,
                         50,   9,  4,    0,    0, 4, 0xff, 0,    0,    0,    7,    5,    0x02,
                         2,    64, 0,    0,    7, 5, 0x81, 2,    64,   0,    0,    7,    5,
                         0x04, 2,  64,   0,    0, 7, 5,    0x83, 2,    64,   0,    0};
        return c;
    }

    std::shared_ptr<Recorder> recorder;
    zelksim::VirtualUsbDevice device;
};

} // namespace zelktest
