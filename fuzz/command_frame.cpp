// The command channel's frame receiver (TrelTransport::data_received): bytes
// as a printer may send them, cut into the transfers the USB back end
// delivers. Complete frames go on to the JSON envelope and, for events, to
// the event decoders and handlers that use the payload as a program does.
//
// Input: one byte of framing choices, then the byte stream.
//   bits 0-5: transfer size - 1 (1 to 64 bytes, 64 being the receive buffer)
//   bit 7:    the transfers alternate between two printers
#include "LinkSupport.h"

#include <trel/TrelClient.h>

#include <cstring>
#include <vector>

namespace {

class FrameClient : public TrelClient
{
public:
    FrameClient() { start_callbacks(); }
    ~FrameClient() override { stop_callbacks(); }

    void feed(const std::string& bytes, TrelDeviceAddress address)
    {
        // A buffer of exactly the transfer's length, as libusb's is to the
        // receiver: a read past it is a read past the transfer.
        std::vector<unsigned char> transfer(bytes.begin(), bytes.end());
        TrelTransport::data_received(transfer.data(), static_cast<unsigned int>(transfer.size()),
                                     address);
    }

    // What a program does with the payloads: trel-probe prints the debug text
    // as a C string.
    void debug_event(TrelDeviceAddress, std::shared_ptr<char> text) override
    {
        if (text)
            used += std::strlen(text.get());
    }
    void servo_dc_trace_event(TrelDeviceAddress, servo_trace_msg record) override
    {
        used += record.pos + record.servo_state;
    }

    size_t used = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    zelkfuzz::keepUsbRunning();
    zelkfuzz::Input in(data, size);
    const uint8_t choices = in.byte();
    const size_t transfer = (choices & 0x3f) + 1;
    const bool twoPrinters = (choices & 0x80) != 0;

    FrameClient client;
    bool second = false;
    while (in.remaining() > 0) {
        client.feed(in.take(transfer), TrelDeviceAddress(1, second ? 6 : 5));
        second = twoPrinters && !second;
    }
    return 0;
}
