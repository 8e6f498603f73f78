#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelUsb.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

#include <yajl/yajl_tree.h>

// The job channel of every printer (channel 1: OUT 0x04, IN 0x83). The host
// writes three small control messages and pushes print files; the printer
// answers with compact JSON objects, chiefly its status, that arrive unframed
// and are cut apart by counting braces.
class TREL_EXPORT TrelJobInterface : private TrelUsbClient
{
public:
    // The printer's status; every member starts value-initialised and keeps
    // that value when its JSON path is missing or has another type.
    struct StatusMsg
    {
        struct
        {
            std::string model_name;
            std::string cpu_id;
            struct Firmware
            {
                std::string name;
                std::string version;
            } firmware;
            int32_t accept_version = 0;
        } printer;
        struct Status
        {
            std::string state;
            std::string build_plate;
            std::string filament;
            double extruder_temperature = 0.0;
        } status;
        struct Job
        {
            std::string id;
            int32_t progress = 0;
            std::string file;
            int32_t time_elapsed = 0;
        } job;
        struct Time
        {
            int32_t boot = 0;
            int32_t idle = 0;
        } time;
        int32_t error = 0;
    };

    using ProgressCallback = void (*)(double percent, std::string job_id, void* user);

    TrelJobInterface();
    ~TrelJobInterface() override;
    TrelJobInterface(const TrelJobInterface&) = delete;
    TrelJobInterface& operator=(const TrelJobInterface&) = delete;

    // Each writes one message; TrelException from the USB write reaches the
    // caller, its status() saying which failure it was (TrelStatus.h).
    void RequestStatus(TrelDeviceAddress address);
    void SendPause(TrelDeviceAddress address);
    void SendAbort(TrelDeviceAddress address);
    // Pushes a print file: a header with its size and checksum, then the file
    // in 5120-byte writes, reporting progress (0.0, rising, capped at 99.9,
    // then 100.0) on the calling thread. Blocks for the whole transfer. A file
    // that cannot be opened or read throws TREL_ERROR_INVALID_ARGUMENT before
    // anything is written; one that fails part-way, TREL_ERROR_IO.
    void SendJobFile(TrelDeviceAddress address, std::string path, ProgressCallback progress,
                     void* user, bool compress);
    void SendJobData(TrelDeviceAddress address, const unsigned char* data, unsigned int length);

    // Called on the USB thread with the job channel's client lock held: return
    // quickly. The data is valid only during the call.
    virtual void StatusReceived(TrelDeviceAddress address, StatusMsg status);
    virtual void JobDataReceived(TrelDeviceAddress address, const unsigned char* data,
                                 unsigned int length);

    // Decodes a parsed status message (what StatusReceived gets).
    static StatusMsg decode_status(yajl_val message);
    // The header that precedes a pushed file.
    static std::string file_push_header(unsigned long long size, uint32_t adler32,
                                        const std::string& jobId);

    // Largest job-channel message kept while waiting for its closing brace. An
    // opening brace that is never closed must not let a printer exhaust our
    // memory: past this, the receiver gives up on that brace and looks for
    // the next message.
    static constexpr size_t MAX_MESSAGE = 1u << 20;

    // Bytes the receive path has examined for braces since this object was
    // made. Each received byte is examined once, whatever the stream holds
    // (giving up a brace past MAX_MESSAGE rescans nothing): a test holds the
    // receiver to that. Any thread.
    unsigned long long job_bytes_scanned() const { return scanned_bytes.load(); }

protected:
    // Status and job-data callbacks are made only after a derived class calls
    // this, last thing in its constructor (the back end may deliver data as
    // soon as this base registers, while the derived object is still being
    // built); data before that is dropped. Idempotent.
    void start_job_callbacks();

    // Stops every callback of this channel (unregisters from the USB back end).
    // A derived class calls this first in its destructor, so that no callback
    // reaches a half-destroyed object. Idempotent.
    void stop_job_callbacks();

    // The USB back end's calls; protected so a test can feed the receive path.
    void usb_device_connected(TrelDeviceAddress address) override;
    void usb_device_disconnected(TrelDeviceAddress address) override;
    void data_received(unsigned char* data, unsigned int length,
                       TrelDeviceAddress address) override;

private:
    // An opening brace not closed yet, and the objects completed directly
    // inside it so far: if the receiver gives this brace up, those become
    // messages of their own (each with the text before it) without a rescan.
    struct open_brace_t
    {
        uint64_t at;              // stream position of the brace
        uint64_t first_child = 0; // where the first completed object opens
        size_t children = 0;      // how many have completed
    };
    // Bytes of one printer not yet taken as messages. Positions count bytes
    // since the printer connected; `bytes` starts at `base` and holds the
    // untaken bytes from `head` on (a prefix before `head` is dropped when it
    // is at least half of the buffer, so dropping costs no more than reading).
    struct rx_buffer_t
    {
        std::string bytes;
        uint64_t base = 0;
        uint64_t head = 0;
        std::deque<open_brace_t> open; // outermost first
        // Where the completed objects of each open brace close: the
        // outermost's first, each brace's in order. Together with `open`
        // bounded by the bytes kept.
        std::deque<uint64_t> closes;
    };
    void deliver(TrelDeviceAddress address, const std::string& message);
    void deliver_range(TrelDeviceAddress address, rx_buffer_t& rx, uint64_t from, uint64_t to);
    void give_up_outermost(TrelDeviceAddress address, rx_buffer_t& rx);

    std::unordered_map<TrelDeviceAddress, rx_buffer_t> rx_buffers;
    bool registered = false;
    std::atomic<bool> delivering{false};
    std::atomic<unsigned long long> scanned_bytes{0};
};
