#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelUsb.h>

#include <atomic>
#include <cstdint>
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
    // Bytes of one printer not yet taken as messages, and how far they were
    // scanned: counting resumes where it stopped instead of from the start.
    struct rx_buffer_t
    {
        std::string bytes;
        size_t scanned = 0;
        long depth = 0; // openings minus closings so far
        bool opened = false;
    };
    void deliver(TrelDeviceAddress address, const std::string& message);

    std::unordered_map<TrelDeviceAddress, rx_buffer_t> rx_buffers;
    bool registered = false;
    std::atomic<bool> delivering{false};
};
