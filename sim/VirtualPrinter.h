#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelksim {

class FirmwareModel;
class PrintJobModel;
class VirtualBus;
class VirtualUsbDevice;
class Worker;

// A Zelk printer on the virtual bus. It speaks the printer's USB protocol: on
// the command channel (OUT 0x02, IN 0x81) it reassembles framed JSON requests
// and answers each two-way request with a response of the same id, running
// firmware commands on its FirmwareModel; on the job channel (OUT 0x04, IN
// 0x83) its PrintJobModel answers status requests, receives files and prints
// them; it sends firmware events; it leaves the bus and returns in
// firmware-update mode (USB product 0x0003) when told to; and it injects the
// faults a real printer and cable produce.
class VirtualPrinter
{
public:
    enum Channel { Command = 0, Job = 1 };

    struct Options
    {
        uint8_t bus = 1;
        uint8_t address = 5;
        bool firmwareUpdateMode = false; // product 0x0003, only listed
        std::string serial = "ZK1-000001";
        std::string firmwareVersion = "1.2.0";
    };

    // Ways to spoil the next response(s). "...First" sends a broken frame right
    // before the real response, so a receiver that resynchronises still gets
    // the answer.
    enum class Fault {
        NoResponse,
        LeadingGarbage,     // stray bytes before the '$'
        BadComplementFirst, // a header whose length complement is wrong
        WrongTrailerFirst,  // a frame ending in '$' instead of ';'
        ZeroLengthFirst,    // L = 1: an empty payload
        UnparsableFirst,    // a payload that is not JSON
        NoTransportFirst,   // JSON without "transport"
        NonArrayAttrsFirst, // "attrs" that is not an array, same id
        MissingIdFirst,     // "transport" without "id"
        OneByteChunks,      // the response arrives one byte per transfer
        PackedWithEvent,    // an event and the response share transfers
    };

    VirtualPrinter(VirtualBus& bus, Options options);
    VirtualPrinter(VirtualBus& bus) : VirtualPrinter(bus, Options()) {}
    ~VirtualPrinter();
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    void plug();
    void unplug();
    bool isPlugged() const;
    // Which face the printer shows on the bus: normal (0x0002) or firmware
    // update (0x0003). Switching re-enumerates it at the same address.
    bool inFirmwareUpdateMode() const;
    void setFirmwareUpdateMode(bool on);

    FirmwareModel& firmware();
    // The job side: print state machine, filament, front panel.
    PrintJobModel& printModel();
    // Simulated seconds per real second for the printer's motion, heat and
    // prints.
    void setTimeScale(double scale);
    // The front-panel button.
    void pressButton();
    // The filament breaks or runs out: at once if printing, else when a print
    // reaches `atPercent` (see PrintJobModel::runOutOfFilament).
    void runOutOfFilament(int atPercent = -1);
    uint8_t bus() const { return opts.bus; }
    uint8_t address() const { return opts.address; }
    const Options& options() const { return opts; }

    // --- faults
    void injectFault(Fault fault, int times = 1);
    void setResponseDelay(std::chrono::milliseconds delay);
    void setInChunkSize(Channel channel, size_t bytes);
    // The host's receive transfer on the channel ends with a stall, or with
    // "no device" as if the printer had died.
    void failReceive(Channel channel, bool stall);
    // The next `count` host writes on the channel are never accepted: the host
    // times out on each.
    void timeoutWrites(Channel channel, int count);
    int timedOutWrites() const;
    // Host writes (OUT transfers) received on the channel so far.
    int writesReceived(Channel channel) const;
    // After `skip` successful interface claims the next `count` fail, as when
    // another program holds the printer.
    void failClaims(int skip, int count);
    // The host's next `count` receive transfers on the channel cannot even be
    // submitted (EIO).
    void failReceiveStart(Channel channel, int count);
    // While on, the printer's device node refuses to be opened (EACCES), as
    // for a user without permission (VirtualUsbDevice::denyAccess).
    void denyAccess(bool on);

    // --- sending
    void sendEvent(const std::string& name, const std::string& argsJson);
    // Frames a payload on the command channel as the firmware does.
    void sendFrame(const std::string& payload, bool pack = false);
    // Raw bytes on a channel; an empty vector sends a zero-length packet.
    void sendRaw(Channel channel, const std::vector<uint8_t>& bytes, bool pack = false);
    static std::vector<uint8_t> frame(const std::string& payload);

    // --- observing
    // Payloads of every complete frame received on the command channel.
    std::vector<std::string> requests() const;
    size_t requestCount() const;
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    // Largest number of two-way requests that were waiting for an answer at the
    // same time (a host that serialises its exchanges keeps this at 1).
    int maxOutstanding() const;
    // Bytes received on the job channel, the first JOB_RECORD_LIMIT of them.
    std::vector<uint8_t> jobBytes() const;
    static constexpr size_t JOB_RECORD_LIMIT = 1 << 20;
    // What the printer writes on its own (text, events) is dropped while this
    // much waits unread on the channel, as a real printer's buffer overflows.
    static constexpr size_t UNREAD_LIMIT = 64 * 1024;

    // Replaces the firmware's answers: given a request's "data" text, returns
    // the response's "data" text, or nothing to stay silent.
    using Responder = std::function<std::optional<std::string>(const std::string& dataJson)>;
    void setResponder(Responder responder);

private:
    class Function;
    friend class Function;

    void received(Channel channel, std::vector<uint8_t> bytes);
    void handleRequest(const std::string& payload);
    void respond(unsigned long long id, const std::string& data);
    void queue(Channel channel, const std::vector<uint8_t>& bytes, bool pack);
    void scheduleTick(std::chrono::milliseconds after);
    VirtualUsbDevice& device() const;

    Options opts;
    VirtualBus& bus_;
    std::unique_ptr<Worker> worker;
    std::unique_ptr<FirmwareModel> model;
    std::unique_ptr<PrintJobModel> print;
    std::atomic<bool> tickPending{false};
    std::atomic<bool> stopping{false};
    std::shared_ptr<Function> function;
    // Both faces exist for the printer's whole life; `active` names the one on
    // the bus (or the one that will be plugged).
    std::unique_ptr<VirtualUsbDevice> normalDevice;
    std::unique_ptr<VirtualUsbDevice> dfuDevice;
    std::atomic<VirtualUsbDevice*> active{nullptr};

    // Guards everything below.
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::string commandRx; // bytes of a frame not yet complete
    std::vector<std::string> received_;
    std::vector<uint8_t> jobRx;
    std::deque<Fault> faults;
    std::chrono::milliseconds delay{0};
    int outstanding = 0;
    int maxOutstanding_ = 0;
    unsigned long long eventId = 1000000;
    Responder responder;
};

} // namespace zelksim
