#include "TrelUsbBus.h"

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
#include <string>

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

const timeval TrelUsbBus::refresh_rate = {0, 500000};

// Built when libtrel is loaded and destroyed when it is unloaded, as the
// statics it gathers were: it outlives every client and every object of a
// program that links libtrel.
TrelUsbBus TrelUsbBus::instance;

TrelUsbBus& TrelUsbBus::get()
{
    return instance;
}

// ---------------------------------------------------------------------------
// The public calls

void TrelUsb::client_register(TrelUsbClient& client, trel_usb_interface_t channel)
{
    TrelUsbBus::get().client_register(client, channel);
}

void TrelUsb::client_unregister(TrelUsbClient& client, trel_usb_interface_t channel)
{
    TrelUsbBus::get().client_unregister(client, channel);
}

void TrelUsb::write(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                    trel_usb_interface_t channel)
{
    TrelUsbBus::get().write(data, length, address, channel);
}

std::vector<TrelDeviceAddress> TrelUsb::list_connected()
{
    return TrelUsbBus::get().list_connected();
}

std::vector<TrelUsbDevice> TrelUsb::list_attached()
{
    return TrelUsbBus::get().list_attached();
}

std::vector<TrelUnopenedPrinter> TrelUsb::list_unopened()
{
    return TrelUsbBus::get().list_unopened();
}

void TrelUsb::close(TrelDeviceAddress address)
{
    TrelUsbBus::get().close(address);
}

bool TrelUsb::is_callback_thread()
{
    return t_callbackDepth > 0;
}

void TrelUsb::set_write_timeout(unsigned int milliseconds)
{
    TrelUsbBus::get().write_timeout_ms = milliseconds;
}

unsigned int TrelUsb::write_timeout()
{
    return TrelUsbBus::get().write_timeout_ms;
}

// ---------------------------------------------------------------------------
// Clients and the back end's life

void TrelUsbBus::client_register(TrelUsbClient& client, trel_usb_interface_t ch)
{
    if (!validChannel(ch))
        throw TrelException("Register failed - interface invalid.");
    // It may wait for a channel lock that this thread's running callback
    // holds elsewhere, or for a thread that is stopping the back end by
    // joining this one.
    if (TrelUsb::is_callback_thread())
        throw TrelException(TREL_ERROR_NOT_ALLOWED,
                            "Register failed - not allowed on the thread that delivers callbacks.");

    TrelMutexLocker life(lifecycle_mutex);
    // The channel lock is taken before the thread starts: a printer found by the
    // very first scan is announced under this lock, so it waits until the client
    // is in the list and the client sees it.
    Channel& c = channel(ch);
    TrelRecursiveMutexLocker clients(c.mutex);
    if (!thread) {
        libusb_context* ctx = nullptr;
        if (libusb_init(&ctx) != LIBUSB_SUCCESS)
            throw TrelException("Failed to initialize libusb");
        {
            std::unique_lock<std::shared_mutex> exclusive(context_mutex);
            context = ctx;
        }
        run_thread = true;
        try {
            thread = std::make_unique<std::thread>([this] { thread_entry(); });
        } catch (...) {
            std::unique_lock<std::shared_mutex> exclusive(context_mutex);
            context = nullptr;
            libusb_exit(ctx);
            throw;
        }
    }
    c.clients.push_back(&client);

    // Printers announced on this channel before the client came: announced to
    // it now, under the channel lock, so that no close or removal of theirs
    // can come between (it needs this lock to tell the clients). Without
    // this, the first client of a process missed printers already plugged
    // in: its job channel starts the back end, whose first scan opens them
    // before the client's transport is registered.
    const std::vector<TrelDeviceAddress> open(c.announced.begin(), c.announced.end());
    for (TrelDeviceAddress a : open) {
        try {
            client.usb_device_connected(a);
        } catch (const std::exception& e) {
            std::cout << "USB client failed on " << a << " - " << e.what() << std::endl;
        } catch (...) {
            std::cout << "USB client failed on " << a << " - UNKNOWN." << std::endl;
        }
    }
}

void TrelUsbBus::client_unregister(TrelUsbClient& client, trel_usb_interface_t ch)
{
    if (!validChannel(ch))
        return;
    if (TrelUsb::is_callback_thread())
        refuseTeardownOnCallbackThread();

    TrelMutexLocker life(lifecycle_mutex);
    {
        Channel& c = channel(ch);
        TrelRecursiveMutexLocker clients(c.mutex);
        c.clients.remove(&client);
    }
    bool anyClient = false;
    for (int each = 0; each < TREL_USB_INTERFACE_COUNT; ++each) {
        Channel& c = channel(each);
        TrelRecursiveMutexLocker clients(c.mutex);
        anyClient = anyClient || !c.clients.empty();
    }
    if (anyClient || !thread)
        return;

    // No channel lock may be held here: the thread may be announcing a printer
    // and needs them to finish its round.
    run_thread = false;
    libusb_interrupt_event_handler(context);
    thread->join();
    thread.reset();

    {
        TrelRecursiveMutexLocker table(table_mutex);
        // Each destructor erases its own entry, so walk a copy.
        auto printers = open_printers;
        for (auto& entry : printers)
            delete entry.second;
        open_printers.clear();
        reported_open_failures.clear();
        TrelMutexLocker listing(listing_mutex);
        listed_openings.clear();
        unopened.clear();
    }
    std::unique_lock<std::shared_mutex> exclusive(context_mutex);
    libusb_exit(context);
    context = nullptr;
}

// ---------------------------------------------------------------------------
// Operations on open printers

uint64_t TrelUsbBus::opening_at(TrelDeviceAddress address)
{
    TrelMutexLocker listing(listing_mutex);
    auto it = listed_openings.find(address);
    return it == listed_openings.end() ? 0 : it->second;
}

void TrelUsbBus::write(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                       trel_usb_interface_t ch, uint64_t opening)
{
    // libusb refuses nested event handling, so a synchronous transfer started
    // here would spin for ever waiting for its own completion.
    if (TrelUsb::is_callback_thread())
        throw TrelException(TREL_ERROR_NOT_ALLOWED,
                            "Send failed - not allowed on the thread that delivers callbacks.");
    // Held for the whole call: the printer cannot be closed or deleted under us.
    // The background thread keeps pumping events meanwhile (it only try-locks).
    TrelRecursiveMutexLocker table(table_mutex);
    auto it = open_printers.find(address);
    if (it == open_printers.end() || !it->second->handle ||
        (opening && it->second->opening != opening))
        throw TrelException(TREL_ERROR_NO_DEVICE, "Send failed - Device no longer connected.");
    if (!validChannel(ch))
        throw TrelException(TREL_ERROR_INVALID_ARGUMENT, "Send failed - interface invalid.");
    if (length == 0)
        return;

    libusb_device_handle* handle = it->second->handle;
    const unsigned int timeout = write_timeout_ms;
    unsigned int sent = 0;
    int retries = 0;
    while (sent < length) {
        int transferred = 0;
        // libusb does not write through the buffer of an OUT transfer.
        int r =
            libusb_bulk_transfer(handle, TX_ENDPOINT[ch], const_cast<unsigned char*>(data + sent),
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

std::vector<TrelDeviceAddress> TrelUsbBus::list_connected()
{
    // Not the table lock: a writer holds that for its whole transfer, which
    // only the thread running a callback can complete.
    TrelMutexLocker listing(listing_mutex);
    std::vector<TrelDeviceAddress> result;
    result.reserve(listed_openings.size());
    for (auto& entry : listed_openings)
        result.push_back(entry.first);
    return result;
}

std::vector<TrelUsbDevice> TrelUsbBus::list_attached()
{
    std::shared_lock<std::shared_mutex> shared(context_mutex);
    libusb_device** list = nullptr;
    if (!context || libusb_get_device_list(context, &list) < 0)
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

std::vector<TrelUnopenedPrinter> TrelUsbBus::list_unopened()
{
    TrelMutexLocker listing(listing_mutex);
    std::vector<TrelUnopenedPrinter> result;
    result.reserve(unopened.size());
    for (auto& entry : unopened)
        result.push_back(entry.second);
    return result;
}

void TrelUsbBus::close(TrelDeviceAddress address)
{
    // Closing pumps USB events until the printer's transfers end; libusb
    // refuses nested event handling, so this would spin for ever.
    if (TrelUsb::is_callback_thread())
        throw TrelException(TREL_ERROR_NOT_ALLOWED,
                            "Close failed - not allowed on the thread that delivers callbacks.");
    TrelRecursiveMutexLocker table(table_mutex);
    auto it = open_printers.find(address);
    if (it == open_printers.end() || !it->second->handle)
        throw TrelException(TREL_ERROR_NO_DEVICE, "Close failed - Device no longer connected.");
    it->second->close();
}

// ---------------------------------------------------------------------------
// One printer

void TrelUsbHandle::TransferDeleter::operator()(libusb_transfer* t) const
{
    libusb_free_transfer(t);
}

TrelUsbHandle::TrelUsbHandle(TrelUsbBus& owner, unsigned short vendorId, unsigned short productId,
                             TrelDeviceAddress deviceAddress)
    : opening(++owner.last_opening), bus(owner), address(deviceAddress)
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
    claim_device(vendorId, productId);
    try {
        open();
    } catch (...) {
        libusb_unref_device(device);
        device = nullptr;
        throw;
    }

    {
        TrelRecursiveMutexLocker table(bus.table_mutex);
        bus.open_printers[address] = this;
        // Listed as open and no longer as unopened in one step, before
        // anyone hears of it: a client that lists on its connect notice must
        // not still find the printer's failed attempt.
        TrelMutexLocker listing(bus.listing_mutex);
        bus.listed_openings[address] = opening;
        bus.unopened.erase(address);
    }
    notify_clients(true);
}

TrelUsbHandle::~TrelUsbHandle()
{
    close();
    // Both receive transfers have ended (close waited for them), so freeing the
    // transfers and their buffers cannot race a callback.
    for (int ch = 0; ch < TREL_USB_INTERFACE_COUNT; ++ch) {
        transfers[ch].reset();
        buffers[ch].reset();
    }
    {
        TrelRecursiveMutexLocker table(bus.table_mutex);
        auto it = bus.open_printers.find(address);
        if (it != bus.open_printers.end() && it->second == this) {
            bus.open_printers.erase(it);
            TrelMutexLocker listing(bus.listing_mutex);
            bus.listed_openings.erase(address);
        }
    }
    if (device)
        libusb_unref_device(device);
}

void TrelUsbHandle::claim_device(unsigned short vendorId, unsigned short productId)
{
    libusb_device** list = nullptr;
    if (libusb_get_device_list(bus.context, &list) < 0)
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

void TrelUsbHandle::open()
{
    for (int ch = 0; ch < TREL_USB_INTERFACE_COUNT; ++ch) {
        libusb_transfer* t = transfers[ch].get();
        std::memset(buffers[ch].get(), 0, RX_BUFFER_SIZE);
        libusb_fill_bulk_transfer(t, handle, RX_ENDPOINT[ch], buffers[ch].get(), RX_BUFFER_SIZE,
                                  rx_callback, this, 0);
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
                    libusb_handle_events_completed(bus.context, &rx_idle[started]);
                }
            release_device();
            throw TrelException(TREL_ERROR_IO, "Failed to start receiving.");
        }
    }
}

void TrelUsbHandle::release_device()
{
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    handle = nullptr;
    std::memset(descriptor, 0, sizeof descriptor);
}

void TrelUsbHandle::close()
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
            libusb_handle_events_completed(bus.context, &rx_idle[ch]);
        }
    }
    release_device();
}

void TrelUsbHandle::notify_clients(bool connected)
{
    // A connect goes to the command channel last: its client, the transport,
    // is the one that tells the application. An application that builds
    // another client once it has heard of the printer then cannot meet this
    // announcement still under way on the job channel, calling into the
    // client it is building.
    for (int i = 0; i < TREL_USB_INTERFACE_COUNT; ++i) {
        const int ch = connected ? TREL_USB_INTERFACE_COUNT - 1 - i : i;
        TrelUsbBus::Channel& c = bus.channel(ch);
        TrelRecursiveMutexLocker clients(c.mutex);
        // What a client registered later is told.
        if (connected)
            c.announced.insert(address);
        else
            c.announced.erase(address);
        for (TrelUsbClient* client : c.clients) {
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

void TrelUsbHandle::rx_callback(libusb_transfer* transfer)
{
    auto* self = static_cast<TrelUsbHandle*>(transfer->user_data);
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
        TrelUsbBus::Channel& c = self->bus.channel(ch);
        TrelRecursiveMutexLocker clients(c.mutex);
        for (TrelUsbClient* client : c.clients) {
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
                              RX_BUFFER_SIZE, rx_callback, self, 0);
    setIdle(self->rx_idle[ch], 0);
    if (libusb_submit_transfer(transfer) != LIBUSB_SUCCESS)
        setIdle(self->rx_idle[ch], 1);
}

// ---------------------------------------------------------------------------
// The background thread

void TrelUsbBus::thread_entry()
{
    pthread_setname_np(pthread_self(), "trel-usb");
    ++t_callbackDepth; // this thread is the one that pumps events
    if (!run_thread)
        return;

    using Clock = std::chrono::steady_clock;
    const auto scanInterval =
        std::chrono::milliseconds(refresh_rate.tv_sec * 1000 + refresh_rate.tv_usec / 1000);
    bool scanned = false;
    Clock::time_point lastScan;
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
                timeval wait = refresh_rate;
                libusb_handle_events_timeout_completed(context, &wait, nullptr);
            } while (!table_mutex.try_lock());
            // The sweep's only throw is a failed allocation; the table must not
            // stay locked behind the thread's end then.
            try {
                sweep_dead_devices();
            } catch (...) {
                table_mutex.unlock();
                throw;
            }
            table_mutex.unlock();
        } while (run_thread);
    } catch (const TrelException& e) {
        std::cout << "Fatal error in hotplug thread - " << e.what() << "." << std::endl;
    } catch (...) {
        std::cout << "Fatal error in hotplug thread - UNKNOWN." << std::endl;
    }
}

void TrelUsbBus::delete_device(TrelDeviceAddress address)
{
    auto it = open_printers.find(address);
    if (it != open_printers.end())
        delete it->second; // erases its own entry
}

void TrelUsbBus::sweep_dead_devices()
{
    std::vector<TrelDeviceAddress> dead;
    for (auto& entry : open_printers)
        if (entry.second->dead())
            dead.push_back(entry.first);
    for (TrelDeviceAddress a : dead)
        delete_device(a);
}

void TrelUsbBus::scan_bus()
{
    libusb_device** list = nullptr;
    if (libusb_get_device_list(context, &list) < 0)
        return; // try again at the next scan

    TrelRecursiveMutexLocker table(table_mutex);
    std::unordered_set<TrelDeviceAddress> seen;
    std::unordered_set<TrelDeviceAddress> present;
    for (libusb_device** d = list; *d; ++d) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(*d, &desc) != LIBUSB_SUCCESS ||
            desc.idVendor != TREL_USB_VENDOR_ID || desc.idProduct != TREL_USB_PRODUCT_NORMAL)
            continue;
        const TrelDeviceAddress a(libusb_get_bus_number(*d), libusb_get_device_address(*d));
        present.insert(a);

        auto it = open_printers.find(a);
        if (it != open_printers.end() && it->second->device == *d) {
            seen.insert(a);
            continue;
        }
        // Either new, or a different device re-enumerated at the same address:
        // the stale object goes first, so clients see disconnect then connect.
        if (it != open_printers.end())
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
            note_unopened(a, openFailure(r));
            continue;
        }

        // A printer that fails to open must not end this thread: the process
        // would never see a printer again. Skip it; the next scan retries.
        try {
            new TrelUsbHandle(*this, TREL_USB_VENDOR_ID, TREL_USB_PRODUCT_NORMAL,
                              a); // enters the table
            seen.insert(a);
            reported_open_failures.erase(a);
        } catch (const TrelException& e) {
            note_unopened(a, e.status());
            if (reported_open_failures.insert(a).second)
                std::cout << "Failed to open printer " << a << " - " << e.what()
                          << " Retrying at every scan." << std::endl;
        }
    }

    std::vector<TrelDeviceAddress> gone;
    for (auto& entry : open_printers)
        if (!seen.count(entry.first))
            gone.push_back(entry.first);
    for (TrelDeviceAddress a : gone)
        delete_device(a);
    for (auto it = reported_open_failures.begin(); it != reported_open_failures.end();)
        it = present.count(*it) ? std::next(it) : reported_open_failures.erase(it);
    {
        TrelMutexLocker listing(listing_mutex);
        for (auto it = unopened.begin(); it != unopened.end();)
            it = present.count(it->first) ? std::next(it) : unopened.erase(it);
    }

    libusb_free_device_list(list, 1);
}

void TrelUsbBus::note_unopened(TrelDeviceAddress a, TrelStatus reason)
{
    TrelMutexLocker listing(listing_mutex);
    if (reason == TREL_ERROR_NO_DEVICE)
        unopened.erase(a);
    else
        unopened[a] = TrelUnopenedPrinter{a, reason, nodePath(a)};
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
