#include "TrelFrameReceiver.h"
#include "TrelUsbBus.h"

#include <trel/TrelException.h>
#include <trel/TrelTransport.h>

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

namespace {

constexpr unsigned char FRAME_START = TrelFrameReceiver::FRAME_START;
constexpr unsigned char FRAME_END = TrelFrameReceiver::FRAME_END;

struct TreeDeleter
{
    void operator()(yajl_val v) const { yajl_tree_free(v); }
};
using Tree = std::unique_ptr<yajl_val_s, TreeDeleter>;

void printFailure(unsigned int id, const char* text)
{
    std::cout << "TrelMessage: " << id << " -- " << text << std::endl;
}

// The transport whose connect or disconnect notice this thread runs, if any.
thread_local const TrelTransport* t_noticeOf = nullptr;

} // namespace

TrelTransport::TrelTransport() : receiver(std::make_unique<TrelFrameReceiver>())
{
    // Printers already open are announced to us within this call, held like
    // every notice until start_callbacks().
    TrelUsb::client_register(*this, TREL_USB_INTERFACE_COMMAND);
    registered = true;
}

TrelTransport::~TrelTransport()
{
    stop_callbacks();
}

void TrelTransport::stop_callbacks()
{
    // Either would wait for itself: the back end's thread (or a running
    // callback's) for the callback to end, a notice for the notices to end.
    if (TrelUsb::is_callback_thread() || t_noticeOf == this) {
        std::cout << "TrelTransport: a client was destroyed on a thread that delivers its "
                     "callbacks, which would wait for itself for ever - aborting."
                  << std::endl;
        std::abort();
    }
    {
        TrelMutexLocker lock(dispatch_mutex);
        accepting_callbacks = false;
        held_notices.clear();
    }
    door_changed.notify_all();
    events_enabled = false;
    // No exchange starts from now on, and those waiting for an answer stop
    // waiting: the answer may never come (the client of a device layer that
    // is going away), and the tables they use go with this object.
    {
        TrelMutexLocker lock(waiting_mutex);
        closing = true;
        for (auto& entry : waiting_table)
            wake(*entry.second.signal);
    }
    // After this no receive callback or USB notice reaches this object. It
    // waits for one running on the USB thread, and may join that thread when
    // this is the last client.
    if (registered) {
        registered = false;
        TrelUsb::client_unregister(*this, TREL_USB_INTERFACE_COMMAND);
    }
    {
        TrelMutexLocker lock(dispatch_mutex);
        while (running_dispatches != 0)
            dispatch_done.wait(lock);
    }
    // A sender may still be inside a write (1.5 s per attempt, retried) or
    // just woken: it erases its entry from the waiting table on its way out.
    TrelMutexLocker lock(waiting_mutex);
    while (senders != 0)
        senders_done.wait(lock);
}

void TrelTransport::set_response_timeout(std::chrono::milliseconds timeout)
{
    response_timeout_ms = timeout.count();
}

std::chrono::milliseconds TrelTransport::response_timeout() const
{
    return std::chrono::milliseconds(response_timeout_ms.load());
}

std::vector<std::string> TrelTransport::attrs(unsigned int bits)
{
    std::vector<std::string> names;
    if (bits & TREL_ATTR_REQUEST)
        names.emplace_back("request");
    if (bits & TREL_ATTR_RESPONSE)
        names.emplace_back("response");
    if (bits & TREL_ATTR_TWOWAY)
        names.emplace_back("twoway");
    if (bits & TREL_ATTR_ONEWAY)
        names.emplace_back("oneway");
    if (bits & TREL_ATTR_ACK)
        names.emplace_back("ack");
    return names;
}

void TrelTransport::close(TrelDeviceAddress address)
{
    TrelUsb::close(address);
}

std::vector<TrelDeviceAddress> TrelTransport::list_connected()
{
    return TrelUsb::list_connected();
}

std::vector<TrelUsbDevice> TrelTransport::list_attached()
{
    return TrelUsb::list_attached();
}

std::vector<TrelUnopenedPrinter> TrelTransport::list_unopened()
{
    return TrelUsb::list_unopened();
}

// ---------------------------------------------------------------------------
// Sending

void TrelTransport::send_command_data(const std::string& text, TrelDeviceAddress address)
{
    send_frame(text, address, 0);
}

void TrelTransport::send_frame(const std::string& text, TrelDeviceAddress address, uint64_t opening)
{
    const size_t length = text.size() + 1; // payload and ';'
    const unsigned char header[5] = {
        FRAME_START,
        static_cast<unsigned char>(length & 0xff),
        static_cast<unsigned char>((length >> 8) & 0xff),
        static_cast<unsigned char>(~length & 0xff),
        static_cast<unsigned char>((~length >> 8) & 0xff),
    };
    std::string body;
    body.reserve(length);
    body.append(text);
    body.push_back(static_cast<char>(FRAME_END));

    TrelUsbBus& bus = TrelUsbBus::get();
    bus.write(header, sizeof header, address, TREL_USB_INTERFACE_COMMAND, opening);
    bus.write(reinterpret_cast<const unsigned char*>(body.data()),
              static_cast<unsigned int>(body.size()), address, TREL_USB_INTERFACE_COMMAND, opening);
}

void TrelTransport::wake(reply_signal_t& signal)
{
    TrelMutexLocker lock(signal.mutex);
    ++signal.count;
    signal.cv.notify_one();
}

TrelStatus TrelTransport::send_message(TrelMessage& msg, TrelDeviceAddress address)
{
    reply_signal_t signal;
    const bool twoway = msg.twoway();
    bool counted = false; // in `senders`
    bool waiting = false; // in the waiting table

    TrelStatus status = TREL_SUCCESS;
    try {
        // The answer would be delivered by this very thread once it returns:
        // waiting here could only time out (and the write could not even
        // complete, TrelUsb::write refuses it too).
        if (TrelUsb::is_callback_thread())
            throw TrelException(TREL_ERROR_NOT_ALLOWED,
                                "Transport Error - Not allowed on the thread that delivers "
                                "callbacks and answers.");
        {
            TrelMutexLocker lock(waiting_mutex);
            if (closing)
                throw TrelException(TREL_ERROR_NO_DEVICE,
                                    "Transport Error - The client is shutting down.");
            ++senders;
            counted = true;
        }
        std::shared_ptr<printer_session_t> session;
        {
            TrelMutexLocker lock(sessions_mutex);
            auto it = sessions.find(address);
            if (it != sessions.end())
                session = it->second;
        }
        if (!session)
            throw TrelException(TREL_ERROR_NO_DEVICE,
                                "Transport Error - Device has been disconnected.");

        TrelMutexLocker exchange(session->exchange);
        // The printer this sender meant may have gone while it waited for the
        // lock, and a new one may be open at the same address under a lock of
        // its own: sending now would overlap that printer's exchanges.
        if (session->gone)
            throw TrelException(TREL_ERROR_NO_DEVICE,
                                "Transport Error - Device has been disconnected.");
        const std::string text = msg.compile();
        if (text.size() > MAX_PAYLOAD)
            throw TrelException(TREL_ERROR_INVALID_ARGUMENT,
                                "Transport Error - Message too long to frame.");
        // Entered only now, holding the exchange lock of a live session: a
        // disconnect or a teardown wakes exactly the exchanges under way. A
        // disconnect between the check above and this entry is caught by the
        // write, which goes to this session's opening only.
        if (twoway) {
            TrelMutexLocker lock(waiting_mutex);
            if (closing)
                throw TrelException(TREL_ERROR_NO_DEVICE,
                                    "Transport Error - The client is shutting down.");
            waiting_table[msg.id()] = waiting_message_t{&msg, &signal, address};
            waiting = true;
        }
        send_frame(text, address, session->opening);

        if (twoway) {
            TrelMutexLocker lock(signal.mutex);
            while (signal.count == 0) {
                // Each wake-up without a count (spurious) starts a new wait.
                if (signal.cv.wait_for(lock, response_timeout()) == std::cv_status::timeout &&
                    signal.count == 0)
                    throw TrelException(
                        TREL_ERROR_TIMEOUT,
                        "Transport Error - Waiting for response to request timed out.");
            }
            --signal.count;
            lock.unlock();
            // Only a disconnect or the teardown wakes a request without its
            // response.
            if (!msg.response_available())
                throw TrelException(TREL_ERROR_NO_DEVICE,
                                    "Transport Error - No response received.");
            const TrelStatus decoded = msg.decode_status();
            if (decoded != TREL_SUCCESS)
                throw TrelException(decoded, std::string("Transport Error - ") +
                                                 trel_strerror(decoded) + ".");
        }
    } catch (const TrelException& e) {
        printFailure(msg.id(), e.what());
        status = e.status();
    } catch (const std::exception& e) {
        printFailure(msg.id(), e.what());
        status = TREL_ERROR_OTHER;
    } catch (...) {
        status = TREL_ERROR_OTHER;
    }

    TrelMutexLocker lock(waiting_mutex);
    if (waiting)
        waiting_table.erase(msg.id());
    if (counted && --senders == 0)
        senders_done.notify_all();
    return status;
}

// ---------------------------------------------------------------------------
// Receiving

void TrelTransport::data_received(unsigned char* data, unsigned int length,
                                  TrelDeviceAddress address)
{
    receiver->receive(data, length, address, [&](unsigned char* payload, uint16_t payloadLength) {
        // This runs inside libusb's event handling: no exception may leave
        // it. An offending message is dropped and named.
        try {
            process_data_receive(payload, payloadLength, address);
        } catch (const std::exception& e) {
            std::cout << "TrelTransport: dropped a message from " << address << " - " << e.what()
                      << std::endl;
        } catch (...) {
            std::cout << "TrelTransport: dropped a message from " << address << " - UNKNOWN."
                      << std::endl;
        }
    });
}

std::shared_ptr<TrelMessage> TrelTransport::parse_message(yajl_val transport, yajl_val data)
{
    yajl_val attrsNode = trel_json::member(transport, "attrs", yajl_t_array);
    if (!attrsNode)
        throw TrelException("Transport failed to supply attributes.");
    yajl_val idNode = trel_json::member(transport, "id", yajl_t_number);
    if (!idNode)
        throw TrelException("Transport failed to supply id.");

    unsigned int bits = 0;
    for (size_t i = 0; i < attrsNode->u.array.len; ++i) {
        yajl_val v = attrsNode->u.array.values[i];
        if (!YAJL_IS_STRING(v))
            continue;
        const char* s = YAJL_GET_STRING(v);
        if (!std::strcmp(s, "request"))
            bits |= TREL_ATTR_REQUEST;
        else if (!std::strcmp(s, "response"))
            bits |= TREL_ATTR_RESPONSE;
        else if (!std::strcmp(s, "oneway"))
            bits |= TREL_ATTR_ONEWAY;
        else if (!std::strcmp(s, "twoway"))
            bits |= TREL_ATTR_TWOWAY;
        else if (!std::strcmp(s, "ack"))
            bits |= TREL_ATTR_ACK;
    }
    const auto id = static_cast<unsigned int>(trel_json::integer_value(idNode));
    TrelMessage message(*this, bits, id, data);
    return TrelMessage::elevate(message);
}

void TrelTransport::process_data_receive(unsigned char* data, unsigned int length,
                                         TrelDeviceAddress address)
{
    // yajl wants a terminated text; a zero byte inside the payload ends it.
    const std::string text(reinterpret_cast<const char*>(data), length);
    Tree tree(yajl_tree_parse(text.c_str(), nullptr, 0));
    if (!tree)
        return;
    yajl_val transport = trel_json::member(tree.get(), "transport", yajl_t_object);
    yajl_val payload = trel_json::member(tree.get(), "data", yajl_t_object);
    if (!transport || !payload)
        return;

    std::shared_ptr<TrelMessage> message = parse_message(transport, payload);
    if (message->is_response()) {
        // The request cannot go away meanwhile: its sender erases its entry
        // under this same mutex before it returns.
        TrelMutexLocker lock(waiting_mutex);
        auto it = waiting_table.find(message->id());
        if (it == waiting_table.end())
            return;
        it->second.message->set_response(message);
        // The tree goes when this returns; the kept response must say so
        // before its sender wakes and reads it (is_parsed(), the readers).
        message->forget_data();
        wake(*it->second.signal);
        return;
    }
    // Events reach the application's handlers only once it is fully built.
    if (events_enabled)
        message->handle_receive(address, message);
    message->forget_data(); // a handler may have kept the message
}

// ---------------------------------------------------------------------------
// Printers coming and going

void TrelTransport::start_callbacks()
{
    std::vector<std::pair<std::function<void()>, const char*>> held;
    {
        TrelMutexLocker lock(dispatch_mutex);
        if (started || !accepting_callbacks)
            return;
        started = true;
        held.swap(held_notices);
        running_dispatches += static_cast<int>(held.size());
    }
    door_changed.notify_all();
    events_enabled = true;
    for (auto& notice : held)
        spawn(std::move(notice.first), TrelDeviceAddress(), notice.second);
}

bool TrelTransport::start_dispatch(std::function<void()> work, TrelDeviceAddress address,
                                   const char* threadName)
{
    bool watch = false;
    {
        TrelMutexLocker lock(dispatch_mutex);
        if (!accepting_callbacks)
            return false;
        if (!started) {
            held_notices.emplace_back(std::move(work), threadName);
            watch = !hold_watched;
            hold_watched = true;
            if (!watch)
                return true;
        }
        ++running_dispatches;
    }
    if (watch)
        return spawn([this] { watch_held_notices(); }, address, "trel-hold");
    return spawn(std::move(work), address, threadName);
}

// A client that never calls start_callbacks() hears of no printer and is
// told nothing: name it once, after the first notice has waited a while.
// Counted as a running dispatch, so the teardown waits for it (and wakes it).
void TrelTransport::watch_held_notices()
{
    const auto deadline = std::chrono::steady_clock::now() + NOTICE_HOLD_WARNING;
    TrelMutexLocker lock(dispatch_mutex);
    while (!started && accepting_callbacks)
        if (door_changed.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    if (started || !accepting_callbacks)
        return;
    const size_t held = held_notices.size();
    lock.unlock();
    std::cout << "TrelTransport: " << held << " printer notice(s) held for "
              << NOTICE_HOLD_WARNING.count()
              << " s: this client has not called start_callbacks(), so it hears of no printer."
              << std::endl;
}

// Runs `work` on a new detached thread; the caller has counted it as running.
bool TrelTransport::spawn(std::function<void()> work, TrelDeviceAddress address,
                          const char* threadName)
{
    auto finished = [this] {
        TrelMutexLocker lock(dispatch_mutex);
        --running_dispatches;
        dispatch_done.notify_all();
    };
    try {
        std::thread([this, work = std::move(work), finished, address, threadName] {
            pthread_setname_np(pthread_self(), threadName);
            t_noticeOf = this;
            try {
                work();
            } catch (const std::exception& e) {
                std::cout << "TrelTransport: " << threadName << " " << address << " - " << e.what()
                          << std::endl;
            } catch (...) {
            }
            finished();
        }).detach();
    } catch (const std::system_error& e) {
        std::cout << "TrelTransport: cannot start " << threadName << " - " << e.what() << std::endl;
        finished();
        return false;
    }
    return true;
}

void TrelTransport::usb_device_connected(TrelDeviceAddress address)
{
    // The session table changes here, under the command channel's client
    // lock, in the order the back end reports: a re-enumeration announces
    // disconnect then connect, and making the two changes on racing threads
    // could drop the new printer's session.
    auto session = std::make_shared<printer_session_t>(TrelUsbBus::get().opening_at(address));
    {
        TrelMutexLocker lock(sessions_mutex);
        auto& entry = sessions[address];
        if (entry)
            entry->gone = true; // never left without its disconnect; be safe
        entry = std::move(session);
    }
    // A new session starts hunting for a frame (see usb_device_disconnected).
    receiver->forget(address);
    start_dispatch([this, address] { dispatch_connect(address); }, address, "trel-connect");
}

void TrelTransport::usb_device_disconnected(TrelDeviceAddress address)
{
    // A frame cut short by the pull must not swallow the first frames of the
    // printer that is plugged in next at the same address: they would be
    // taken as the rest of its payload, and the requests waiting for them
    // would time out. (Both calls run with the command channel's client lock
    // held, as the receive path does.)
    receiver->forget(address);
    std::shared_ptr<printer_session_t> session;
    {
        TrelMutexLocker lock(sessions_mutex);
        auto it = sessions.find(address);
        if (it != sessions.end()) {
            session = std::move(it->second);
            sessions.erase(it);
        }
    }
    // Before the wake: a sender that takes the exchange lock from now on
    // gives up; one already past that check is in the waiting table.
    if (session)
        session->gone = true;
    // Requests waiting on this printer end now instead of at their timeout.
    {
        TrelMutexLocker lock(waiting_mutex);
        for (auto& entry : waiting_table)
            if (entry.second.address == address)
                wake(*entry.second.signal);
    }
    start_dispatch([this, address, session] { dispatch_disconnect(address, session); }, address,
                   "trel-disconnect");
}

void TrelTransport::dispatch_connect(TrelDeviceAddress address)
{
    device_connected(address);
}

void TrelTransport::dispatch_disconnect(TrelDeviceAddress address,
                                        const std::shared_ptr<printer_session_t>& session)
{
    // The application hears of the disconnect only after a running exchange
    // with the printer has ended.
    if (session) {
        TrelMutexLocker exchange(session->exchange); // taken only to wait
    }
    device_disconnected(address);
}
