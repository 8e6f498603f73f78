#pragma once
// The USB back end's internals; not part of libtrel's public face. An
// application reaches them through TrelUsb's static calls only.

#include "TrelRecursiveMutex.h"

#include <trel/TrelThreadSafety.h>
#include <trel/TrelUsb.h>

#include <atomic>
#include <list>
#include <memory>
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
// Lock order: lifecycle_mutex, then table_mutex, then a channel's mutex.
class TrelUsbBus
{
public:
    // One channel's receivers; its mutex is held while they are called.
    // Recursive: a client's callback may call into the back end again.
    struct Channel
    {
        TrelRecursiveMutex mutex;
        std::list<TrelUsbClient*> clients TREL_GUARDED_BY(mutex);
    };

    static TrelUsbBus& get();

    void client_register(TrelUsbClient& client, trel_usb_interface_t channel)
        TREL_EXCLUDES(lifecycle_mutex);
    void client_unregister(TrelUsbClient& client, trel_usb_interface_t channel)
        TREL_EXCLUDES(lifecycle_mutex);
    void write(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
               trel_usb_interface_t channel);
    std::vector<TrelDeviceAddress> list_connected();
    std::vector<TrelUsbDevice> list_attached() TREL_EXCLUDES(lifecycle_mutex);
    void close(TrelDeviceAddress address);

    Channel& channel(int ch) { return ch == TREL_USB_INTERFACE_JOB ? job : command; }

    // Set before the background thread starts and cleared after it ended,
    // both under lifecycle_mutex; read without a lock by that thread, by the
    // printers it opens and by close(), which all run while it exists. The
    // analysis cannot express "stable while the thread runs", so this one is
    // not annotated.
    libusb_context* context = nullptr;

    // Guards the table of open printers and every use of a printer's handle
    // by write, close, the bus scan and the dead-printer sweep. Recursive
    // because deleting or opening a printer inside the scan re-enters it.
    TrelRecursiveMutex table_mutex TREL_ACQUIRED_AFTER(lifecycle_mutex);
    std::unordered_map<TrelDeviceAddress, TrelUsbHandle*>
        open_printers TREL_GUARDED_BY(table_mutex);

    std::atomic<unsigned int> write_timeout_ms{TrelUsb::DEFAULT_WRITE_TIMEOUT_MS};

private:
    TrelUsbBus() = default;
    static TrelUsbBus instance;

    void thread_entry();
    void scan_bus() TREL_EXCLUDES(lifecycle_mutex);
    void sweep_dead_devices() TREL_REQUIRES(table_mutex);
    void delete_device(TrelDeviceAddress address) TREL_REQUIRES(table_mutex);

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
