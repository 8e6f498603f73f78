// The job channel's message splitter (TrelJobInterface::data_received): the
// unframed JSON objects a printer writes, cut apart by counting braces, as
// they arrive in transfers. Each message handed on must be one object with the
// printer text that stood before it; a status goes on to the status decoder.
//
// Input: one byte of choices, then the byte stream.
//   bits 0-5: transfer size - 1 (1 to 64 bytes)
//   bit 6:    the transfers alternate between two printers
//   bit 7:    the stream is sent 300 times over, which takes an object that
//             never closes past the receiver's limit
#include "LinkSupport.h"

#include <trel/TrelJobInterface.h>

#include <vector>

namespace {

class JobClient : public TrelJobInterface
{
public:
    JobClient() { start_job_callbacks(); }
    ~JobClient() override { stop_job_callbacks(); }

    void feed(const std::string& bytes, TrelDeviceAddress address)
    {
        std::vector<unsigned char> transfer(bytes.begin(), bytes.end());
        fed += transfer.size();
        TrelJobInterface::data_received(transfer.data(), static_cast<unsigned int>(transfer.size()),
                                        address);
    }

    void JobDataReceived(TrelDeviceAddress, const unsigned char* data, unsigned int length) override
    {
        using zelkfuzz::check;
        delivered += length;
        check(delivered <= fed, "the splitter hands on no more than it received");
        check(length > 0 && data[length - 1] == '}', "a message ends with its closing brace");
        check(length <= MAX_MESSAGE + 64, "a message is no longer than the receiver's limit");
        long depth = 0;
        bool opened = false;
        for (unsigned int i = 0; i < length; ++i) {
            if (data[i] == '{') {
                ++depth;
                opened = true;
            } else if (data[i] == '}') {
                --depth;
                check(depth >= 0, "no closing brace before its opening one");
                check(depth > 0 || i == length - 1, "a message is one object");
            }
        }
        check(opened && depth == 0, "a message holds one whole object");
    }

    void StatusReceived(TrelDeviceAddress, StatusMsg status) override
    {
        used += status.status.state.size() + status.printer.firmware.version.size() +
                status.job.file.size();
    }

    size_t fed = 0;
    size_t delivered = 0;
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
    const bool twoPrinters = (choices & 0x40) != 0;
    const int repeats = (choices & 0x80) ? 300 : 1;
    const std::string stream = in.rest();

    JobClient client;
    bool second = false;
    for (int r = 0; r < repeats; ++r) {
        for (size_t p = 0; p < stream.size(); p += transfer) {
            client.feed(stream.substr(p, transfer), TrelDeviceAddress(1, second ? 6 : 5));
            second = twoPrinters && !second;
        }
    }
    return 0;
}
