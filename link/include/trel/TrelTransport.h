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
    // Once this transport's teardown has begun (stop_callbacks() or the
    // destructor), it fails with NO_DEVICE at once, and a call already
    // waiting for its answer stops waiting with NO_DEVICE; the teardown waits
    // for every call to leave.
    TrelStatus send_message(TrelMessage& msg, TrelDeviceAddress address);
    // Frames one JSON text and writes it; throws what TrelUsb::write throws.
    void send_command_data(const std::string& text, TrelDeviceAddress address);

    static std::vector<std::string> attrs(unsigned int bits);
    std::shared_ptr<TrelMessage> parse_message(yajl_val transport, yajl_val data);
    void process_data_receive(unsigned char* data, unsigned int length, TrelDeviceAddress address);

    static void close(TrelDeviceAddress address);
    static std::vector<TrelDeviceAddress> list_connected();
    static std::vector<TrelUsbDevice> list_attached();
    static std::vector<TrelUnopenedPrinter> list_unopened();

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
    // notices go out, in order, when the door opens. Idempotent. Notices
    // held for NOTICE_HOLD_WARNING without it are named once on standard
    // output: a client that never calls it hears of no printer.
    void start_callbacks();
    static constexpr std::chrono::seconds NOTICE_HOLD_WARNING{5};

    // Stops every call into this object: unregisters from the USB back end (no
    // more received messages, events or notices), ends the exchanges of
    // send_message() (new ones fail at once, waiting ones stop waiting, both
    // with TREL_ERROR_NO_DEVICE) and waits for notices and exchanges already
    // running to leave. A derived class calls this first in its destructor: a
    // call that ran during or after the derived part's destruction would
    // reach a half-destroyed object. Idempotent. On a callback thread, or in
    // this client's own connect or disconnect notice, it would wait for
    // itself for ever: it says so on standard output and aborts the process.
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
    // One opening of a printer, from its connect to its disconnect. A
    // printer that re-enumerates at the same address is a new session.
    struct printer_session_t
    {
        explicit printer_session_t(uint64_t usbOpening) : opening(usbOpening) {}
        // Held for a whole exchange, so that exchanges with one printer never
        // overlap. What it guards is the wire, not a variable: the analysis
        // cannot check it.
        TrelMutex exchange;
        // The back end's opening (TrelUsbBus::opening_at()): writes of this
        // session go to that opening only.
        const uint64_t opening;
        // Set at the disconnect: a sender that waited for `exchange` meanwhile
        // gives up instead of talking to whatever is at the address now.
        std::atomic<bool> gone{false};
    };

    void dispatch_connect(TrelDeviceAddress address);
    void dispatch_disconnect(TrelDeviceAddress address,
                             const std::shared_ptr<printer_session_t>& session);
    bool start_dispatch(std::function<void()> work, TrelDeviceAddress address,
                        const char* threadName);
    bool spawn(std::function<void()> work, TrelDeviceAddress address, const char* threadName);
    void watch_held_notices();
    void wake(reply_signal_t& signal);
    // send_command_data() to one opening of the printer (0: whichever).
    void send_frame(const std::string& text, TrelDeviceAddress address, uint64_t opening);

    // The receive side's frame reassembly (link/src); touched only on the
    // receive path and by the USB notices, with the command channel's client
    // lock held.
    std::unique_ptr<TrelFrameReceiver> receiver;
    // Guards waiting_table, closing and senders. Never held while sending,
    // nor together with sessions_mutex; may be held while taking a reply
    // signal's mutex.
    TrelMutex waiting_mutex;
    std::map<unsigned int, waiting_message_t> waiting_table TREL_GUARDED_BY(waiting_mutex);
    // Set when the teardown begins: no exchange starts after it.
    bool closing TREL_GUARDED_BY(waiting_mutex) = false;
    // Calls inside send_message(); the teardown waits for none to remain
    // before the tables they use go.
    int senders TREL_GUARDED_BY(waiting_mutex) = 0;
    std::condition_variable_any senders_done;
    // Guards sessions (lookups and changes only; never held while waiting
    // for a session's exchange lock).
    TrelMutex sessions_mutex;
    // The session of every connected printer. Shared so that a sender can
    // wait for its exchange lock without holding the table, and a disconnect
    // can drop the entry while a sender still holds it.
    std::unordered_map<TrelDeviceAddress, std::shared_ptr<printer_session_t>>
        sessions TREL_GUARDED_BY(sessions_mutex);

    // Guards accepting_callbacks, started, hold_watched, held_notices,
    // running_dispatches.
    TrelMutex dispatch_mutex;
    std::condition_variable_any dispatch_done;
    // Wakes the watch over held notices when the door opens or closes.
    std::condition_variable_any door_changed;
    bool accepting_callbacks TREL_GUARDED_BY(dispatch_mutex) = true;
    bool started TREL_GUARDED_BY(dispatch_mutex) = false;
    bool hold_watched TREL_GUARDED_BY(dispatch_mutex) = false;
    std::vector<std::pair<std::function<void()>, const char*>>
        held_notices TREL_GUARDED_BY(dispatch_mutex);
    int running_dispatches TREL_GUARDED_BY(dispatch_mutex) = 0;
    bool registered = false;

    std::atomic<long long> response_timeout_ms{DEFAULT_RESPONSE_TIMEOUT.count()};
    std::atomic<bool> events_enabled{false};
};
