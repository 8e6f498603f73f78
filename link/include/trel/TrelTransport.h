#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelMessage.h>
#include <trel/TrelThreadSafety.h>
#include <trel/TrelUsb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// Carries JSON messages on the command channel of every printer: frames them
//   '$' L(le16) ~L(le16) payload ';'      (L = payload length + 1)
// reassembles incoming frames per printer, matches responses to the two-way
// requests waiting for them by message id, hands everything else to the
// message's receive handler, and turns USB connect and disconnect notices into
// device_connected() / device_disconnected() on threads of their own.
class TrelFrameReceiver;

class TREL_EXPORT TrelTransport : private TrelUsbClient
{
public:
    TrelTransport();
    ~TrelTransport() override;
    TrelTransport(const TrelTransport&) = delete;
    TrelTransport& operator=(const TrelTransport&) = delete;

    // Sends one message; for a two-way message waits for its response (see
    // response_timeout()) and returns the exchange's outcome (TrelStatus.h):
    // TREL_SUCCESS once the response is stored and decoded; NO_DEVICE when the
    // printer is not connected or goes away meanwhile; TIMEOUT; NO_RETURN or
    // BAD_RESPONSE as the response decoded (TrelMessage::decode_status());
    // INVALID_ARGUMENT when the message cannot be written (nothing is sent);
    // IO when a write fails; NOT_ALLOWED on a callback thread (nothing is
    // sent). Never throws: every failure is also printed as
    // "TrelMessage: <id> -- <text>".
    TrelStatus send_message(TrelMessage& msg, TrelDeviceAddress address);
    // Frames one JSON text and writes it; throws what TrelUsb::write throws.
    void send_command_data(const std::string& text, TrelDeviceAddress address);

    static std::vector<std::string> attrs(unsigned int bits);
    std::shared_ptr<TrelMessage> parse_message(yajl_val transport, yajl_val data);
    void process_data_receive(unsigned char* data, unsigned int length, TrelDeviceAddress address);

    static void close(TrelDeviceAddress address);
    static std::vector<TrelDeviceAddress> list_connected();
    static std::vector<TrelUsbDevice> list_attached();

    virtual void device_connected(TrelDeviceAddress address) = 0;
    virtual void device_disconnected(TrelDeviceAddress address) = 0;

    // How long a two-way request waits for its response: 15 s. Tests shorten it.
    static constexpr std::chrono::milliseconds DEFAULT_RESPONSE_TIMEOUT{15000};
    void set_response_timeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds response_timeout() const;

    // Frames longer than this cannot be described by the 16-bit length.
    static constexpr size_t MAX_PAYLOAD = 65534;

protected:
    // The USB back end's calls (command channel). Protected so that a derived
    // class (a test, a benchmark) can drive the receive path directly.
    void usb_device_connected(TrelDeviceAddress address) override;
    void usb_device_disconnected(TrelDeviceAddress address) override;
    // Runs on the USB thread with the command channel's client lock held.
    void data_received(unsigned char* data, unsigned int length,
                       TrelDeviceAddress address) override;

    // Opens the door to the application's callbacks. Until a derived class
    // calls this (last thing in its constructor), connect and disconnect
    // notices are held back and firmware events are dropped: the back end can
    // report a printer the moment this base registers, and a notice delivered
    // then would call a virtual function of an object still under
    // construction (a pure one, from this base's own constructor). Held
    // notices go out, in order, when the door opens. Idempotent.
    void start_callbacks();

    // Stops every call into this object: unregisters from the USB back end (no
    // more received messages, events or notices) and waits for connect and
    // disconnect notices already running. A derived class calls this first in
    // its destructor: a call that ran during or after the derived part's
    // destruction would reach a half-destroyed object. Idempotent.
    void stop_callbacks();

private:
    struct reply_signal_t
    {
        TrelMutex mutex;
        std::condition_variable_any cv;
        unsigned int count TREL_GUARDED_BY(mutex) = 0;
    };
    struct waiting_message_t
    {
        TrelMessage* message;
        reply_signal_t* signal;
        TrelDeviceAddress address;
    };

    void dispatch_connect(TrelDeviceAddress address);
    void dispatch_disconnect(TrelDeviceAddress address,
                             const std::shared_ptr<TrelMutex>& printerLock);
    bool start_dispatch(std::function<void()> work, TrelDeviceAddress address,
                        const char* threadName);
    bool spawn(std::function<void()> work, TrelDeviceAddress address, const char* threadName);
    void wake(reply_signal_t& signal);

    // The receive side's frame reassembly (link/src); touched only on the
    // receive path and by the USB notices, with the command channel's client
    // lock held.
    std::unique_ptr<TrelFrameReceiver> receiver;
    // Guards waiting_table. Never held while sending, nor together with
    // device_locks_mutex; may be held while taking a reply signal's mutex.
    TrelMutex waiting_mutex;
    std::map<unsigned int, waiting_message_t> waiting_table TREL_GUARDED_BY(waiting_mutex);
    // Guards device_locks (lookups and changes only; never held while waiting
    // for a printer's lock).
    TrelMutex device_locks_mutex;
    // One lock per connected printer, held for a whole exchange so that
    // exchanges with one printer never overlap. Shared so that a sender can
    // wait for it without holding the table, and a disconnect can drop the
    // entry while a sender still holds it. What such a lock guards is the
    // wire, not a variable: the analysis cannot check it.
    std::unordered_map<TrelDeviceAddress, std::shared_ptr<TrelMutex>>
        device_locks TREL_GUARDED_BY(device_locks_mutex);

    // Guards accepting_callbacks and running_dispatches.
    TrelMutex dispatch_mutex;
    std::condition_variable_any dispatch_done;
    bool accepting_callbacks TREL_GUARDED_BY(dispatch_mutex) = true;
    bool started TREL_GUARDED_BY(dispatch_mutex) = false;
    std::vector<std::pair<std::function<void()>, const char*>>
        held_notices TREL_GUARDED_BY(dispatch_mutex);
    int running_dispatches TREL_GUARDED_BY(dispatch_mutex) = 0;
    bool registered = false;

    std::atomic<long long> response_timeout_ms{DEFAULT_RESPONSE_TIMEOUT.count()};
    std::atomic<bool> events_enabled{false};
};
