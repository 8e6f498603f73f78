#include "TrelFrameReceiver.h"

#include <trel/TrelException.h>
#include <trel/TrelTransport.h>

#include <pthread.h>

#include <algorithm>
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

} // namespace

TrelTransport::TrelTransport() : receiver(std::make_unique<TrelFrameReceiver>())
{
    TrelUsb::client_register(*this, TREL_USB_INTERFACE_COMMAND);
    registered = true;
    // Printers opened before this transport registered (the first client of a
    // process starts the back end, whose first scan may open printers before
    // the command channel's client is in the list) were never announced here.
    // They get their exchange locks now, so that an application that learns
    // of them from list_connected() can talk to them; no notice is made.
    for (TrelDeviceAddress address : TrelUsb::list_connected()) {
        TrelMutexLocker lock(device_locks_mutex);
        device_locks.emplace(address, std::make_shared<TrelMutex>());
    }
}

TrelTransport::~TrelTransport()
{
    stop_callbacks();
}

void TrelTransport::stop_callbacks()
{
    {
        TrelMutexLocker lock(dispatch_mutex);
        accepting_callbacks = false;
        held_notices.clear();
    }
    events_enabled = false;
    // After this no receive callback or USB notice reaches this object. It
    // waits for one running on the USB thread, and may join that thread when
    // this is the last client: never call it from a callback.
    if (registered) {
        registered = false;
        TrelUsb::client_unregister(*this, TREL_USB_INTERFACE_COMMAND);
    }
    TrelMutexLocker lock(dispatch_mutex);
    while (running_dispatches != 0)
        dispatch_done.wait(lock);
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

// ---------------------------------------------------------------------------
// Sending

void TrelTransport::send_command_data(const std::string& text, TrelDeviceAddress address)
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

    TrelUsb::write(header, sizeof header, address, TREL_USB_INTERFACE_COMMAND);
    TrelUsb::write(reinterpret_cast<const unsigned char*>(body.data()),
                   static_cast<unsigned int>(body.size()), address, TREL_USB_INTERFACE_COMMAND);
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
    if (twoway) {
        TrelMutexLocker lock(waiting_mutex);
        waiting_table[msg.id()] = waiting_message_t{&msg, &signal, address};
    }

    TrelStatus status = TREL_SUCCESS;
    try {
        // The answer would be delivered by this very thread once it returns:
        // waiting here could only time out (and the write could not even
        // complete, TrelUsb::write refuses it too).
        if (TrelUsb::is_callback_thread())
            throw TrelException(TREL_ERROR_NOT_ALLOWED,
                                "Transport Error - Not allowed on the thread that delivers "
                                "callbacks and answers.");
        std::shared_ptr<TrelMutex> printerLock;
        {
            TrelMutexLocker lock(device_locks_mutex);
            auto it = device_locks.find(address);
            if (it != device_locks.end())
                printerLock = it->second;
        }
        if (!printerLock)
            throw TrelException(TREL_ERROR_NO_DEVICE,
                                "Transport Error - Device has been disconnected.");

        TrelMutexLocker exchange(*printerLock);
        const std::string text = msg.compile();
        if (text.size() > MAX_PAYLOAD)
            throw TrelException(TREL_ERROR_INVALID_ARGUMENT,
                                "Transport Error - Message too long to frame.");
        send_command_data(text, address);

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
            // Only a disconnect wakes a request without its response.
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

    if (twoway) {
        TrelMutexLocker lock(waiting_mutex);
        waiting_table.erase(msg.id());
    }
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
        wake(*it->second.signal);
        return;
    }
    // Events reach the application's handlers only once it is fully built.
    if (events_enabled)
        message->handle_receive(address, message);
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
    events_enabled = true;
    for (auto& notice : held)
        spawn(std::move(notice.first), TrelDeviceAddress(), notice.second);
}

bool TrelTransport::start_dispatch(std::function<void()> work, TrelDeviceAddress address,
                                   const char* threadName)
{
    {
        TrelMutexLocker lock(dispatch_mutex);
        if (!accepting_callbacks)
            return false;
        if (!started) {
            held_notices.emplace_back(std::move(work), threadName);
            return true;
        }
        ++running_dispatches;
    }
    return spawn(std::move(work), address, threadName);
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
        std::thread([work = std::move(work), finished, address, threadName] {
            pthread_setname_np(pthread_self(), threadName);
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
    // The lock table changes here, on the USB thread, in the order the back end
    // reports: a re-enumeration announces disconnect then connect, and making
    // the two changes on racing threads could drop the new printer's lock.
    {
        TrelMutexLocker lock(device_locks_mutex);
        device_locks[address] = std::make_shared<TrelMutex>();
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
    std::shared_ptr<TrelMutex> printerLock;
    {
        TrelMutexLocker lock(device_locks_mutex);
        auto it = device_locks.find(address);
        if (it != device_locks.end()) {
            printerLock = std::move(it->second);
            device_locks.erase(it);
        }
    }
    // Requests waiting on this printer end now instead of at their timeout.
    {
        TrelMutexLocker lock(waiting_mutex);
        for (auto& entry : waiting_table)
            if (entry.second.address == address)
                wake(*entry.second.signal);
    }
    start_dispatch([this, address, printerLock] { dispatch_disconnect(address, printerLock); },
                   address, "trel-disconnect");
}

void TrelTransport::dispatch_connect(TrelDeviceAddress address)
{
    device_connected(address);
}

void TrelTransport::dispatch_disconnect(TrelDeviceAddress address,
                                        const std::shared_ptr<TrelMutex>& printerLock)
{
    // The application hears of the disconnect only after a running exchange
    // with the printer has ended.
    if (printerLock) {
        TrelMutexLocker exchange(*printerLock); // taken only to wait
    }
    device_disconnected(address);
}
