#include <trel/TrelException.h>
#include <trel/TrelUsb.h>

#include <libusb.h>

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <shared_mutex>
#include <string>
#include <unordered_set>

namespace {

// A channel's idle flag is libusb's "completed" flag for
// libusb_handle_events_completed(), an int that libusb reads under its event
// lock; the receive callback writes it on the event thread while close()
// reads it on another, so our own accesses are atomic.
inline int isIdle(const int& flag)
{
    return __atomic_load_n(&flag, __ATOMIC_ACQUIRE);
}
inline void setIdle(int& flag, int value)
{
    __atomic_store_n(&flag, value, __ATOMIC_RELEASE);
}

constexpr int RX_BUFFER_SIZE = 64;
constexpr unsigned char RX_ENDPOINT[TREL_USB_INTERFACE_COUNT] = {0x81, 0x83};
constexpr unsigned char TX_ENDPOINT[TREL_USB_INTERFACE_COUNT] = {0x02, 0x04};
constexpr int MAX_WRITE_RETRIES = 3;

static_assert(sizeof(libusb_device_descriptor) == 18, "USB device descriptors are 18 bytes");

bool validChannel(trel_usb_interface_t channel)
{
    return channel == TREL_USB_INTERFACE_COMMAND || channel == TREL_USB_INTERFACE_JOB;
}

// Above zero on a thread that delivers callbacks: for good on the background
// thread, during the client calls of a receive callback on any other.
thread_local int t_callbackDepth = 0;

struct CallbackScope
{
    CallbackScope() { ++t_callbackDepth; }
    ~CallbackScope() { --t_callbackDepth; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
};

// Addresses whose opening failed and was reported, so that a printer that keeps
// failing is named once and not twice a second. Touched only by the scan.
std::unordered_set<TrelDeviceAddress> g_reportedOpenFailures;

// Held exclusively while the libusb context is made or ended, shared by
// list_attached() while it uses the context. Not the lifecycle lock: a thread
// that registers a client holds that one while it waits for a channel lock,
// which a running callback may hold.
std::shared_mutex g_contextMutex;

// The listing lock: guards the contents of TrelUsb::_connected_devices
// (changed with the table lock held too) and g_unopened. Held only for lookups
// and copies, never while taking another lock or calling out, so that any
// thread, a callback included, can list.
std::mutex g_listingMutex;
// Printers on the bus that the scan could not open, and why.
std::unordered_map<TrelDeviceAddress, TrelUnopenedPrinter> g_unopened;

// Each opening of a printer gets the next number; 0 names none.
std::atomic<uint64_t> g_lastOpening{0};

std::string nodePath(TrelDeviceAddress a)
{
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", a.bus, a.address);
    return path;
}

// What a failed libusb_open() or libusb_claim_interface() means to a user.
TrelStatus openFailure(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_ERROR_ACCESS:
        return TREL_ERROR_ACCESS;
    case LIBUSB_ERROR_BUSY:
        return TREL_ERROR_BUSY;
    case LIBUSB_ERROR_NO_DEVICE:
        return TREL_ERROR_NO_DEVICE;
    default:
        return TREL_ERROR_IO;
    }
}

// Records why the scan could not open the printer at `a`; a printer that has
// left the bus meanwhile (NO_DEVICE) is not worth a row.
void noteUnopened(TrelDeviceAddress a, TrelStatus reason)
{
    std::lock_guard<std::mutex> listing(g_listingMutex);
    if (reason == TREL_ERROR_NO_DEVICE)
        g_unopened.erase(a);
    else
        g_unopened[a] = TrelUnopenedPrinter{a, reason, nodePath(a)};
}

// Unregistering waits for the background thread (or, for the last client,
// joins it), which is this very thread or waits for it: it would hang for
// ever. A destructor cannot report a failure, so say why and stop.
[[noreturn]] void refuseTeardownOnCallbackThread()
{
    std::cout << "TrelUsb: a client was destroyed on the thread that delivers callbacks, "
                 "which would wait for itself for ever - aborting."
              << std::endl;
    std::abort();
}

} // namespace

libusb_context* TrelUsb::_libusb_ctx = nullptr;
std::recursive_mutex TrelUsb::_connected_devices_mutex;
std::unordered_map<TrelDeviceAddress, TrelUsb*> TrelUsb::_connected_devices;
std::recursive_mutex TrelUsb::_registered_client_mutex[TREL_USB_INTERFACE_COUNT];
std::list<TrelUsbClient*> TrelUsb::_registered_client_list[TREL_USB_INTERFACE_COUNT];
std::mutex TrelUsb::_lifecycle_mutex;
std::unique_ptr<std::thread> TrelUsb::_device_hotplug_thread;
std::atomic<bool> TrelUsb::_run_device_hotplug_thread{true};
const timeval TrelUsb::_device_hotplug_refresh_rate = {0, 500000};
std::atomic<unsigned int> TrelUsb::_write_timeout_ms{TrelUsb::DEFAULT_WRITE_TIMEOUT_MS};

void TrelUsb::TransferDeleter::operator()(libusb_transfer* t) const
{
    libusb_free_transfer(t);
}

// ---------------------------------------------------------------------------
// Clients and the back end's life

void TrelUsb::client_register(TrelUsbClient& client, trel_usb_interface_t channel)
{
    if (!validChannel(channel))
        throw TrelException("Register failed - interface invalid.");
    // It may wait for a channel lock that this thread's running callback
    // holds elsewhere, or for a thread that is stopping the back end by
    // joining this one.
    if (is_callback_thread())
        throw TrelException(TREL_ERROR_NOT_ALLOWED,
                            "Register failed - not allowed on the thread that delivers callbacks.");

    std::lock_guard<std::mutex> life(_lifecycle_mutex);
    // The channel lock is taken before the thread starts: a printer found by the
    // very first scan is announced under this lock, so it waits until the client
    // is in the list and the client sees it.
    std::lock_guard<std::recursive_mutex> clients(_registered_client_mutex[channel]);
    if (!_device_hotplug_thread) {
        libusb_context* ctx = nullptr;
        if (libusb_init(&ctx) != LIBUSB_SUCCESS)
            throw TrelException("Failed to initialize libusb");
        {
            std::unique_lock<std::shared_mutex> context(g_contextMutex);
            _libusb_ctx = ctx;
        }
        _run_device_hotplug_thread = true;
        try {
            _device_hotplug_thread = std::make_unique<std::thread>(device_status_thread_entry);
        } catch (...) {
            std::unique_lock<std::shared_mutex> context(g_contextMutex);
            _libusb_ctx = nullptr;
            libusb_exit(ctx);
            throw;
        }
    }
    _registered_client_list[channel].push_back(&client);

    // Printers announced on this channel before the client came: announced to
    // it now, under the channel lock, so that no close or removal of theirs
    // can come between (it needs this lock to tell the clients). Without
    // this, the first client of a process missed printers already plugged
    // in: its job channel starts the back end, whose first scan opens them
    // before the client's transport is registered.
    std::vector<TrelDeviceAddress> open;
    {
        std::lock_guard<std::mutex> listing(g_listingMutex);
        for (auto& entry : _connected_devices)
            if (entry.second->announced[channel])
                open.push_back(entry.first);
    }
    for (TrelDeviceAddress a : open) {
        try {
            client.usb_device_connected(a);
        } catch (const std::exception& e) {
            std::cout << "USB client failed on " << a << " - " << e.what() << std::endl;
        }
    }
}

void TrelUsb::client_unregister(TrelUsbClient& client, trel_usb_interface_t channel)
{
    if (!validChannel(channel))
        return;
    if (is_callback_thread())
        refuseTeardownOnCallbackThread();

    std::lock_guard<std::mutex> life(_lifecycle_mutex);
    {
        std::lock_guard<std::recursive_mutex> clients(_registered_client_mutex[channel]);
        _registered_client_list[channel].remove(&client);
    }
    bool anyClient = false;
    for (int ch = 0; ch < TREL_USB_INTERFACE_COUNT; ++ch) {
        std::lock_guard<std::recursive_mutex> clients(_registered_client_mutex[ch]);
        anyClient = anyClient || !_registered_client_list[ch].empty();
    }
    if (anyClient || !_device_hotplug_thread)
        return;

    // No channel lock may be held here: the thread may be announcing a printer
    // and needs them to finish its round.
    _run_device_hotplug_thread = false;
    libusb_interrupt_event_handler(_libusb_ctx);
    _device_hotplug_thread->join();
    _device_hotplug_thread.reset();

    {
        std::lock_guard<std::recursive_mutex> table(_connected_devices_mutex);
        // Each destructor erases its own entry, so walk a copy.
        auto devices = _connected_devices;
        for (auto& entry : devices)
            delete entry.second;
        std::lock_guard<std::mutex> listing(g_listingMutex);
        _connected_devices.clear();
        g_unopened.clear();
    }
    g_reportedOpenFailures.clear();
    std::unique_lock<std::shared_mutex> context(g_contextMutex);
    libusb_exit(_libusb_ctx);
    _libusb_ctx = nullptr;
}

void TrelUsb::set_write_timeout(unsigned int milliseconds)
{
    _write_timeout_ms = milliseconds;
}

unsigned int TrelUsb::write_timeout()
{
    return _write_timeout_ms;
}

// ---------------------------------------------------------------------------
// Operations on open printers

bool TrelUsb::is_callback_thread()
{
    return t_callbackDepth > 0;
}

void TrelUsb::write(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                    trel_usb_interface_t channel)
{
    write_to(data, length, address, channel, 0);
}

uint64_t TrelUsb::opening_at(TrelDeviceAddress address)
{
    std::lock_guard<std::mutex> listing(g_listingMutex);
    auto it = _connected_devices.find(address);
    return it == _connected_devices.end() ? 0 : it->second->opening;
}

void TrelUsb::write_to(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                       trel_usb_interface_t channel, uint64_t opening)
{
    // libusb refuses nested event handling, so a synchronous transfer started
    // here would spin for ever waiting for its own completion.
    if (is_callback_thread())
        throw TrelException(TREL_ERROR_NOT_ALLOWED,
                            "Send failed - not allowed on the thread that delivers callbacks.");
    // Held for the whole call: the printer cannot be closed or deleted under us.
    // The background thread keeps pumping events meanwhile (it only try-locks).
    std::lock_guard<std::recursive_mutex> table(_connected_devices_mutex);
    auto it = _connected_devices.find(address);
    if (it == _connected_devices.end() || !it->second->handle ||
        (opening && it->second->opening != opening))
        throw TrelException(TREL_ERROR_NO_DEVICE, "Send failed - Device no longer connected.");
    if (!validChannel(channel))
        throw TrelException(TREL_ERROR_INVALID_ARGUMENT, "Send failed - interface invalid.");
    if (length == 0)
        return;

    libusb_device_handle* handle = it->second->handle;
    const unsigned int timeout = _write_timeout_ms;
    unsigned int sent = 0;
    int retries = 0;
    while (sent < length) {
        int transferred = 0;
        // libusb does not write through the buffer of an OUT transfer.
        int r = libusb_bulk_transfer(handle, TX_ENDPOINT[channel],
                                     const_cast<unsigned char*>(data + sent),
                                     static_cast<int>(length - sent), &transferred, timeout);
        // Whatever the device accepted before a timeout did reach it: counting it
        // keeps a retry from sending those bytes twice, which would corrupt a
        // frame or a pushed file.
        if (transferred > 0)
            sent += static_cast<unsigned int>(transferred);
        if (r == LIBUSB_SUCCESS && transferred > 0) {
            retries = 0;
            continue;
        }
        const bool retryable =
            r == LIBUSB_ERROR_TIMEOUT || r == LIBUSB_ERROR_BUSY || r == LIBUSB_SUCCESS;
        if (retryable && retries < MAX_WRITE_RETRIES) {
            ++retries;
            continue;
        }
        if (r == LIBUSB_SUCCESS)
            r = LIBUSB_ERROR_IO;
        throw TrelException(r == LIBUSB_ERROR_NO_DEVICE ? TREL_ERROR_NO_DEVICE : TREL_ERROR_IO,
                            "Send failed - libusb error: " + std::to_string(r));
    }
}

std::vector<TrelDeviceAddress> TrelUsb::list_connected()
{
    // Not the table lock: a writer holds that for its whole transfer, which
    // only the thread running a callback can complete.
    std::lock_guard<std::mutex> listing(g_listingMutex);
    std::vector<TrelDeviceAddress> result;
    result.reserve(_connected_devices.size());
    for (auto& entry : _connected_devices)
        result.push_back(entry.first);
    return result;
}

std::vector<TrelUsbDevice> TrelUsb::list_attached()
{
    std::shared_lock<std::shared_mutex> context(g_contextMutex);
    libusb_device** list = nullptr;
    if (!_libusb_ctx || libusb_get_device_list(_libusb_ctx, &list) < 0)
        throw TrelException("Failed to get libusb device list.");

    std::vector<TrelUsbDevice> result;
    for (libusb_device** d = list; *d; ++d) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*d, &desc) != LIBUSB_SUCCESS)
            continue;
        if (desc.idVendor != TREL_USB_VENDOR_ID)
            continue;
        int32_t mode = 0;
        if (desc.idProduct == TREL_USB_PRODUCT_NORMAL)
            mode = 1;
        else if (desc.idProduct == TREL_USB_PRODUCT_DFU)
            mode = 2;
        result.push_back(TrelUsbDevice{mode, libusb_get_port_number(*d)});
    }
    libusb_free_device_list(list, 1);
    return result;
}

std::vector<TrelUnopenedPrinter> TrelUsb::list_unopened()
{
    std::lock_guard<std::mutex> listing(g_listingMutex);
    std::vector<TrelUnopenedPrinter> result;
    result.reserve(g_unopened.size());
    for (auto& entry : g_unopened)
        result.push_back(entry.second);
    return result;
}

void TrelUsb::close(TrelDeviceAddress address)
{
    // Closing pumps USB events until the printer's transfers end; libusb
    // refuses nested event handling, so this would spin for ever.
    if (is_callback_thread())
        throw TrelException(TREL_ERROR_NOT_ALLOWED,
                            "Close failed - not allowed on the thread that delivers callbacks.");
    std::lock_guard<std::recursive_mutex> table(_connected_devices_mutex);
    auto it = _connected_devices.find(address);
    if (it == _connected_devices.end() || !it->second->handle)
        throw TrelException(TREL_ERROR_NO_DEVICE, "Close failed - Device no longer connected.");
    it->second->close();
}

// ---------------------------------------------------------------------------
// One printer

TrelUsb::TrelUsb(unsigned short vendorId, unsigned short productId, TrelDeviceAddress deviceAddress)
    : vendor_id(vendorId), product_id(productId), address(deviceAddress), opening(++g_lastOpening)
{
    for (int ch = 0; ch < TREL_USB_INTERFACE_COUNT; ++ch) {
        rx_idle[ch] = 1;
        transfers[ch].reset(libusb_alloc_transfer(0));
        if (!transfers[ch])
            throw TrelException("Failed to allocate rx transfer.");
        buffers[ch].reset(new unsigned char[RX_BUFFER_SIZE]());
    }
    // From here on a throw leaves nothing behind: claim_device and open close
    // what they opened before throwing, and the transfers free themselves.
    claim_device(vendor_id, product_id);
    try {
        open();
    } catch (...) {
        libusb_unref_device(device);
        device = nullptr;
        throw;
    }

    {
        std::lock_guard<std::recursive_mutex> table(_connected_devices_mutex);
        std::lock_guard<std::mutex> listing(g_listingMutex);
        _connected_devices[address] = this;
    }
    notify_clients(true);
}

TrelUsb::~TrelUsb()
{
    close();
    // Both receive transfers have ended (close waited for them), so freeing the
    // transfers and their buffers cannot race a callback.
    for (int ch = 0; ch < TREL_USB_INTERFACE_COUNT; ++ch) {
        transfers[ch].reset();
        buffers[ch].reset();
    }
    {
        std::lock_guard<std::recursive_mutex> table(_connected_devices_mutex);
        std::lock_guard<std::mutex> listing(g_listingMutex);
        auto it = _connected_devices.find(address);
        if (it != _connected_devices.end() && it->second == this)
            _connected_devices.erase(it);
    }
    if (device)
        libusb_unref_device(device);
}

void TrelUsb::claim_device(unsigned short vendorId, unsigned short productId)
{
    libusb_device** list = nullptr;
    if (libusb_get_device_list(_libusb_ctx, &list) < 0)
        throw TrelException(TREL_ERROR_IO, "Failed to get libusb device list.");

    for (libusb_device** d = list; *d; ++d) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*d, &desc) != LIBUSB_SUCCESS) {
            libusb_free_device_list(list, 1);
            throw TrelException(TREL_ERROR_IO, "Failed to get libusb device descriptor.");
        }
        if (desc.idVendor != vendorId || desc.idProduct != productId ||
            libusb_get_bus_number(*d) != address.bus ||
            libusb_get_device_address(*d) != address.address)
            continue;

        libusb_device_handle* h = nullptr;
        int r = libusb_open(*d, &h);
        if (r != LIBUSB_SUCCESS) {
            libusb_free_device_list(list, 1);
            throw TrelException(openFailure(r), "Failed to open libusb device.");
        }
        r = libusb_claim_interface(h, 0);
        if (r != LIBUSB_SUCCESS) {
            libusb_close(h);
            libusb_free_device_list(list, 1);
            throw TrelException(openFailure(r), "Failed to claim libusb device.");
        }
        handle = h;
        // Our own reference: the list's goes when the list is freed.
        device = libusb_ref_device(*d);
        std::memcpy(descriptor, &desc, sizeof descriptor);
        break;
    }
    libusb_free_device_list(list, 1);
    if (!handle)
        throw TrelException(TREL_ERROR_NO_DEVICE, "Failed to find desired device.");
}

void TrelUsb::open()
{
    for (int ch = 0; ch < TREL_USB_INTERFACE_COUNT; ++ch) {
        libusb_transfer* t = transfers[ch].get();
        std::memset(buffers[ch].get(), 0, RX_BUFFER_SIZE);
        libusb_fill_bulk_transfer(t, handle, RX_ENDPOINT[ch], buffers[ch].get(), RX_BUFFER_SIZE,
                                  libusb_rx_data_callback, this, 0);
        // Busy before the submit: the callback may run (and mark it idle)
        // before libusb_submit_transfer() returns.
        setIdle(rx_idle[ch], 0);
        if (libusb_submit_transfer(t) != LIBUSB_SUCCESS) {
            // A printer that cannot receive cannot answer: it is not entered
            // nor announced (it used to be, and stayed "connected" with every
            // exchange failing until it was unplugged). The scan tries again.
            // A channel that did start must end before its handle is closed
            // under it.
            setIdle(rx_idle[ch], 1);
            for (int started = 0; started < ch; ++started)
                while (!isIdle(rx_idle[started])) {
                    libusb_cancel_transfer(transfers[started].get());
                    libusb_handle_events_completed(_libusb_ctx, &rx_idle[started]);
                }
            release_device();
            throw TrelException(TREL_ERROR_IO, "Failed to start receiving.");
        }
    }
}

void TrelUsb::release_device()
{
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    handle = nullptr;
    std::memset(descriptor, 0, sizeof descriptor);
}

void TrelUsb::close()
{
    if (!handle)
        return;
    notify_clients(false);
    // Cancellation completes asynchronously, and a callback that was already
    // running may resubmit; so cancel again until the callback has seen the
    // cancel and left the channel idle. This thread pumps events itself when it
    // is not the background thread. Never call this from inside a receive
    // callback: libusb refuses nested event handling and this would spin.
    for (int ch = 0; ch < TREL_USB_INTERFACE_COUNT; ++ch) {
        while (!isIdle(rx_idle[ch])) {
            libusb_cancel_transfer(transfers[ch].get());
            libusb_handle_events_completed(_libusb_ctx, &rx_idle[ch]);
        }
    }
    release_device();
}

void TrelUsb::notify_clients(bool connected)
{
    // A connect goes to the command channel last: its client, the transport,
    // is the one that tells the application. An application that builds
    // another client once it has heard of the printer then cannot meet this
    // announcement still under way on the job channel, calling into the
    // client it is building.
    for (int i = 0; i < TREL_USB_INTERFACE_COUNT; ++i) {
        const int ch = connected ? TREL_USB_INTERFACE_COUNT - 1 - i : i;
        std::lock_guard<std::recursive_mutex> clients(_registered_client_mutex[ch]);
        announced[ch] = connected; // what a client registered later is told
        for (TrelUsbClient* client : _registered_client_list[ch]) {
            try {
                if (connected)
                    client->usb_device_connected(address);
                else
                    client->usb_device_disconnected(address);
            } catch (const std::exception& e) {
                std::cout << "USB client failed on " << address << " - " << e.what() << std::endl;
            } catch (...) {
                std::cout << "USB client failed on " << address << " - UNKNOWN." << std::endl;
            }
        }
    }
}

void TrelUsb::libusb_rx_data_callback(libusb_transfer* transfer)
{
    auto* self = static_cast<TrelUsb*>(transfer->user_data);
    const int ch = transfer->endpoint == RX_ENDPOINT[TREL_USB_INTERFACE_JOB] ? 1 : 0;
    setIdle(self->rx_idle[ch], 1);

    switch (transfer->status) {
    case LIBUSB_TRANSFER_CANCELLED:
        return;
    case LIBUSB_TRANSFER_STALL:
    case LIBUSB_TRANSFER_NO_DEVICE:
        self->rx_dead[ch] = true;
        return;
    default:
        break;
    }

    if (transfer->actual_length > 0) {
        const auto length = static_cast<unsigned int>(transfer->actual_length);
        CallbackScope inCallback;
        std::lock_guard<std::recursive_mutex> clients(_registered_client_mutex[ch]);
        for (TrelUsbClient* client : _registered_client_list[ch]) {
            // We are inside libusb's event handling: nothing may be thrown
            // through it. A client that fails loses this chunk, no more.
            try {
                client->data_received(transfer->buffer, length, self->address);
            } catch (const std::exception& e) {
                std::cout << "Receive failed on " << self->address << " - " << e.what()
                          << std::endl;
            } catch (...) {
                std::cout << "Receive failed on " << self->address << " - UNKNOWN." << std::endl;
            }
        }
        std::memset(transfer->buffer, 0, length);
    }

    libusb_fill_bulk_transfer(transfer, self->handle, RX_ENDPOINT[ch], self->buffers[ch].get(),
                              RX_BUFFER_SIZE, libusb_rx_data_callback, self, 0);
    setIdle(self->rx_idle[ch], 0);
    if (libusb_submit_transfer(transfer) != LIBUSB_SUCCESS)
        setIdle(self->rx_idle[ch], 1);
}

// ---------------------------------------------------------------------------
// The background thread

void TrelUsb::device_status_thread_entry()
{
    pthread_setname_np(pthread_self(), "trel-usb");
    ++t_callbackDepth; // this thread is the one that pumps events
    if (!_run_device_hotplug_thread)
        return;

    using Clock = std::chrono::steady_clock;
    const auto scanInterval = std::chrono::milliseconds(
        _device_hotplug_refresh_rate.tv_sec * 1000 + _device_hotplug_refresh_rate.tv_usec / 1000);
    bool scanned = false;
    Clock::time_point lastScan;
    std::unique_lock<std::recursive_mutex> table(_connected_devices_mutex, std::defer_lock);
    try {
        do {
            const auto now = Clock::now();
            if (!scanned || now - lastScan >= scanInterval) {
                scan_bus();
                lastScan = now;
                scanned = true;
            }
            // A writer may hold the table for seconds (retries of a stuck
            // write); events, and with them every receive callback, must keep
            // flowing meanwhile, so only try the lock between event rounds.
            do {
                timeval wait = _device_hotplug_refresh_rate;
                libusb_handle_events_timeout_completed(_libusb_ctx, &wait, nullptr);
            } while (!table.try_lock());
            sweep_dead_devices();
            table.unlock();
        } while (_run_device_hotplug_thread);
    } catch (const TrelException& e) {
        std::cout << "Fatal error in hotplug thread - " << e.what() << "." << std::endl;
    } catch (...) {
        std::cout << "Fatal error in hotplug thread - UNKNOWN." << std::endl;
    }
}

void TrelUsb::delete_device(TrelDeviceAddress address)
{
    auto it = _connected_devices.find(address);
    if (it != _connected_devices.end())
        delete it->second; // erases its own entry
}

void TrelUsb::sweep_dead_devices()
{
    std::vector<TrelDeviceAddress> dead;
    for (auto& entry : _connected_devices)
        if (entry.second->rx_dead[0] && entry.second->rx_dead[1])
            dead.push_back(entry.first);
    for (TrelDeviceAddress a : dead)
        delete_device(a);
}

void TrelUsb::scan_bus()
{
    libusb_device** list = nullptr;
    if (libusb_get_device_list(_libusb_ctx, &list) < 0)
        return; // try again at the next scan

    std::lock_guard<std::recursive_mutex> table(_connected_devices_mutex);
    std::unordered_set<TrelDeviceAddress> seen;
    std::unordered_set<TrelDeviceAddress> present;
    for (libusb_device** d = list; *d; ++d) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*d, &desc) != LIBUSB_SUCCESS ||
            desc.idVendor != TREL_USB_VENDOR_ID || desc.idProduct != TREL_USB_PRODUCT_NORMAL)
            continue;
        const TrelDeviceAddress a(libusb_get_bus_number(*d), libusb_get_device_address(*d));
        present.insert(a);

        auto it = _connected_devices.find(a);
        if (it != _connected_devices.end() && it->second->device == *d) {
            seen.insert(a);
            continue;
        }
        // Either new, or a different device re-enumerated at the same address:
        // the stale object goes first, so clients see disconnect then connect.
        if (it != _connected_devices.end())
            delete_device(a);

        // The probe: a printer that another program holds, or that this user
        // may not open, is skipped silently (list_unopened() says why) and
        // tried again at the next scan.
        libusb_device_handle* probe = nullptr;
        int r = libusb_open(*d, &probe);
        if (r == LIBUSB_SUCCESS) {
            r = libusb_claim_interface(probe, 0);
            if (r == LIBUSB_SUCCESS)
                libusb_release_interface(probe, 0);
            libusb_close(probe);
        }
        if (r != LIBUSB_SUCCESS) {
            noteUnopened(a, openFailure(r));
            continue;
        }

        // A printer that fails to open must not end this thread: the process
        // would never see a printer again. Skip it; the next scan retries.
        try {
            new TrelUsb(TREL_USB_VENDOR_ID, TREL_USB_PRODUCT_NORMAL, a); // enters the table
            seen.insert(a);
            g_reportedOpenFailures.erase(a);
            std::lock_guard<std::mutex> listing(g_listingMutex);
            g_unopened.erase(a);
        } catch (const TrelException& e) {
            noteUnopened(a, e.status());
            if (g_reportedOpenFailures.insert(a).second)
                std::cout << "Failed to open printer " << a << " - " << e.what()
                          << " Retrying at every scan." << std::endl;
        }
    }

    std::vector<TrelDeviceAddress> gone;
    for (auto& entry : _connected_devices)
        if (!seen.count(entry.first))
            gone.push_back(entry.first);
    for (TrelDeviceAddress a : gone)
        delete_device(a);
    for (auto it = g_reportedOpenFailures.begin(); it != g_reportedOpenFailures.end();)
        it = present.count(*it) ? std::next(it) : g_reportedOpenFailures.erase(it);
    {
        std::lock_guard<std::mutex> listing(g_listingMutex);
        for (auto it = g_unopened.begin(); it != g_unopened.end();)
            it = present.count(it->first) ? std::next(it) : g_unopened.erase(it);
    }

    libusb_free_device_list(list, 1);
}

// ---------------------------------------------------------------------------
// Who holds a device node

std::optional<TrelNodeHolder> TrelUsb::node_holder(const std::string& node)
{
    // A file is the same file when its device and inode are: an open file's
    // entry in /proc/PID/fd leads to the file itself whatever path opened it
    // (a symbolic link, a private mount, a test bed's redirection).
    struct stat target;
    if (::stat(node.c_str(), &target) != 0)
        return std::nullopt;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc)
        return std::nullopt;
    const long self = static_cast<long>(::getpid());
    while (const dirent* p = ::readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(p->d_name, &end, 10);
        if (*end || pid <= 0 || pid == self)
            continue;
        const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        // Gone meanwhile, or another user's process: not ours to see.
        std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(fdDir.c_str()), ::closedir);
        if (!fds)
            continue;
        while (const dirent* f = ::readdir(fds.get())) {
            struct stat st;
            if (f->d_name[0] == '.' || ::stat((fdDir + "/" + f->d_name).c_str(), &st) != 0 ||
                st.st_dev != target.st_dev || st.st_ino != target.st_ino)
                continue;
            std::string name;
            std::ifstream comm(std::string("/proc/") + p->d_name + "/comm");
            std::getline(comm, name);
            return TrelNodeHolder{static_cast<int>(pid), name};
        }
    }
    return std::nullopt;
}
