#pragma once
// The USB back end's internals; not part of libtrel's public face. An
// application reaches them through TrelUsb's static calls only.

#include "TrelRecursiveMutex.h"

#include <trel/TrelThreadSafety.h>
#include <trel/TrelUsb.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include <sys/time.h>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

class TrelUsbHandle;

// The process-wide half, as libusb's context is: the libusb context, the
// background thread that scans the bus and pumps events, the table of open
// printers and the two channels' client lists. One per process (get()),
// started by the first client registered and stopped with the last.
//
// Lock order: lifecycle_mutex, then table_mutex, then a channel's mutex, then
// listing_mutex (held for lookups and copies only, never while taking another
// lock or calling out). context_mutex is taken alone, or under
// lifecycle_mutex.
class TrelUsbBus
{
public:
    // One channel's receivers; its mutex is held while they are called.
    // Recursive: a client's callback may call into the back end again.
    struct Channel
    {
        TrelRecursiveMutex mutex;
        std::list<TrelUsbClient*> clients TREL_GUARDED_BY(mutex);
        // The printers this channel's clients have been told of (a connect
        // notice went out, no disconnect since): what a client registered
        // later is told at once.
        std::unordered_set<TrelDeviceAddress> announced TREL_GUARDED_BY(mutex);
    };

    static TrelUsbBus& get();

    void client_register(TrelUsbClient& client, trel_usb_interface_t channel)
        TREL_EXCLUDES(lifecycle_mutex);
    void client_unregister(TrelUsbClient& client, trel_usb_interface_t channel)
        TREL_EXCLUDES(lifecycle_mutex);
    // TrelUsb::write(), refused (TREL_ERROR_NO_DEVICE) unless the printer
    // open at the address is still `opening`: a sender that waited while its
    // printer was replaced by a new one at the same address must not write to
    // the new one. 0 takes whichever is open.
    void write(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
               trel_usb_interface_t channel, uint64_t opening = 0);
    // Which opening of a printer is open at `address` now (a number never
    // used twice in a process), 0 when none is. A printer that re-enumerates
    // at the same address is a new opening. The transport binds each
    // exchange to one.
    uint64_t opening_at(TrelDeviceAddress address) TREL_EXCLUDES(listing_mutex);
    // These three take only the listing lock (or the context lock), so they
    // work from any thread, a callback included.
    std::vector<TrelDeviceAddress> list_connected() TREL_EXCLUDES(listing_mutex);
    std::vector<TrelUsbDevice> list_attached();
    std::vector<TrelUnopenedPrinter> list_unopened() TREL_EXCLUDES(listing_mutex);
    void close(TrelDeviceAddress address);

    Channel& channel(int ch) { return ch == TREL_USB_INTERFACE_JOB ? job : command; }

    // Set before the background thread starts and cleared after it ended,
    // both under lifecycle_mutex and context_mutex (exclusive); read without
    // a lock by that thread, by the printers it opens and by close(), which
    // all run while it exists, and by list_attached() under context_mutex
    // (shared), which may run at any time. The analysis cannot express
    // "stable while the thread runs", so this one is not annotated.
    libusb_context* context = nullptr;
    // Not lifecycle_mutex for list_attached(): a thread that registers a
    // client holds that one while it waits for a channel lock, which a
    // running callback may hold. A std::shared_mutex (the analysis has no
    // shared capability wrapper here; `context` is unannotated anyway).
    std::shared_mutex context_mutex;

    // Guards the table of open printers and every use of a printer's handle
    // by write, close, the bus scan and the dead-printer sweep. Recursive
    // because deleting or opening a printer inside the scan re-enters it.
    // Held by a writer for its whole transfer, so never taken on a callback
    // thread (only that thread can complete the transfer).
    TrelRecursiveMutex table_mutex TREL_ACQUIRED_AFTER(lifecycle_mutex);
    std::unordered_map<TrelDeviceAddress, TrelUsbHandle*>
        open_printers TREL_GUARDED_BY(table_mutex);

    // The listing lock, for the calls that must work from any thread. The
    // two tables below change with table_mutex held too (a printer enters and
    // leaves both tables at once), but are read with this lock alone.
    TrelMutex listing_mutex;
    // The open printers and the opening of each: open_printers' addresses,
    // readable while a writer holds the table.
    std::unordered_map<TrelDeviceAddress, uint64_t> listed_openings TREL_GUARDED_BY(listing_mutex);
    // Printers on the bus that the scan could not open, and why.
    std::unordered_map<TrelDeviceAddress, TrelUnopenedPrinter>
        unopened TREL_GUARDED_BY(listing_mutex);
    // Each opening of a printer takes the next number; 0 names none.
    std::atomic<uint64_t> last_opening{0};

    std::atomic<unsigned int> write_timeout_ms{TrelUsb::DEFAULT_WRITE_TIMEOUT_MS};

private:
    TrelUsbBus() = default;
    static TrelUsbBus instance;

    void thread_entry();
    void scan_bus() TREL_EXCLUDES(lifecycle_mutex);
    void sweep_dead_devices() TREL_REQUIRES(table_mutex);
    void delete_device(TrelDeviceAddress address) TREL_REQUIRES(table_mutex);
    // Records why the scan could not open the printer at `a`; a printer that
    // has left the bus meanwhile (NO_DEVICE) is not worth a row.
    void note_unopened(TrelDeviceAddress a, TrelStatus reason) TREL_EXCLUDES(listing_mutex);

    // The two channels as named members, so that the analysis can tie each
    // client list to its own lock.
    Channel command;
    Channel job;

    // Guards the existence of the context and the thread, so that
    // registrations on the two channels cannot both start (or stop) the back
    // end.
    TrelMutex lifecycle_mutex;
    std::unique_ptr<std::thread> thread TREL_GUARDED_BY(lifecycle_mutex);
    std::atomic<bool> run_thread{true};
    // Addresses whose opening failed and was reported, so that a printer that
    // keeps failing is named once and not twice a second.
    std::unordered_set<TrelDeviceAddress> reported_open_failures TREL_GUARDED_BY(table_mutex);

    static const timeval refresh_rate;
};

// The per-printer half, as a libusb device handle is: one open printer, its
// claimed interface and a receive transfer per channel. Built and destroyed
// with the bus's table_mutex held (by the scan, the sweep and the last
// unregister); it enters and leaves the table itself.
class TrelUsbHandle
{
public:
    TrelUsbHandle(TrelUsbBus& bus, unsigned short vendorId, unsigned short productId,
                  TrelDeviceAddress deviceAddress);
    ~TrelUsbHandle();
    TrelUsbHandle(const TrelUsbHandle&) = delete;
    TrelUsbHandle& operator=(const TrelUsbHandle&) = delete;

    // Ends both receive transfers, tells the clients, and releases the
    // printer; it stays in the table until unplugged. Never from a receive
    // callback: it pumps events itself.
    void close();
    bool dead() const { return rx_dead[0] && rx_dead[1]; }

    // This opening of the printer (TrelUsbBus::opening_at()).
    const uint64_t opening;

    libusb_device_handle* handle = nullptr;
    libusb_device* device = nullptr;

private:
    struct TransferDeleter
    {
        void operator()(libusb_transfer* t) const;
    };

    void open();
    void claim_device(unsigned short vendorId, unsigned short productId);
    void release_device();
    void notify_clients(bool connected);
    static void rx_callback(libusb_transfer* transfer);

    TrelUsbBus& bus;
    unsigned char descriptor[18] = {};
    std::unique_ptr<libusb_transfer, TransferDeleter> transfers[TREL_USB_INTERFACE_COUNT];
    std::unique_ptr<unsigned char[]> buffers[TREL_USB_INTERFACE_COUNT];
    TrelDeviceAddress address;
    // Written by the receive callback on whichever thread pumps events, read
    // by the sweep with the table held (the two never run at once: a thread
    // other than the background one pumps only inside close(), table held).
    bool rx_dead[TREL_USB_INTERFACE_COUNT] = {};
    // libusb_handle_events_completed()'s flags, int* for libusb: only through
    // isIdle() and setIdle() (atomic) in TrelUsb.cpp.
    int rx_idle[TREL_USB_INTERFACE_COUNT] = {};
};
