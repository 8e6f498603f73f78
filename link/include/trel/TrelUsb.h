#pragma once

#include <trel/TrelDeviceAddress.h>
#include <trel/TrelStatus.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/time.h>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

// The two logical channels of a printer, both on USB interface 0.
enum trel_usb_interface_t : int {
    TREL_USB_INTERFACE_COMMAND = 0, // OUT 0x02, IN 0x81: framed JSON messages
    TREL_USB_INTERFACE_JOB = 1,     // OUT 0x04, IN 0x83: status, job control, file push
};

constexpr int TREL_USB_INTERFACE_COUNT = 2;
constexpr uint16_t TREL_USB_VENDOR_ID = 0x2B75;
constexpr uint16_t TREL_USB_PRODUCT_NORMAL = 0x0002;
constexpr uint16_t TREL_USB_PRODUCT_DFU = 0x0003;

// One row of the attached-printer listing.
struct TrelUsbDevice
{
    int32_t mode; // 1 normal, 2 firmware update, 0 another product of the vendor
    uint8_t port; // libusb port number
};

// A printer in normal mode that is on the bus but that this process could not
// open, with the reason the last attempt gave (see TrelUsb::list_unopened()).
struct TrelUnopenedPrinter
{
    TrelDeviceAddress address;
    // TREL_ERROR_ACCESS: this user may not open the device node (no udev rule
    // grants it); TREL_ERROR_BUSY: another program holds the printer's
    // interface; TREL_ERROR_IO: it opened but its receive transfers could
    // not start, or libusb failed otherwise.
    TrelStatus reason;
    // The device node, "/dev/bus/usb/BBB/AAA": what TrelUsb::node_holder()
    // takes, and what a user's permission is about.
    std::string node;
};

// A process that has a device node open (TrelUsb::node_holder()).
struct TrelNodeHolder
{
    int pid;
    std::string name; // its command name, as /proc/PID/comm gives it (at most 15 characters)
};

// Receiver of USB events for one channel. Every call runs with that channel's
// client lock held, on the background thread (or on a thread that is closing a
// printer and pumping events meanwhile, or, for the printers already open, on
// the thread that registers the client): return quickly, never block on work
// that needs the open-printer table on another thread.
class TrelUsbClient
{
public:
    virtual ~TrelUsbClient() = default;
    virtual void usb_device_connected(TrelDeviceAddress address) = 0;
    virtual void usb_device_disconnected(TrelDeviceAddress address) = 0;
    // `data` belongs to the receive transfer and is valid only during the call.
    virtual void data_received(unsigned char* data, unsigned int length,
                               TrelDeviceAddress address) = 0;
};

// One open printer, plus the process-wide USB state: the libusb context, the
// background thread that scans the bus and pumps events, the table of open
// printers and the per-channel client lists.
class TrelUsb
{
public:
    // Adds a client of `channel`; the first client of the process starts the
    // back end. A client registered while printers are open is told of each
    // of them (usb_device_connected()) before this returns, on the calling
    // thread and under the channel's client lock, so that it sees every
    // printer exactly as a client registered before them does. On a callback
    // thread it throws TREL_ERROR_NOT_ALLOWED and registers nothing.
    static void client_register(TrelUsbClient& client, trel_usb_interface_t channel);
    // Removes a client; the last one stops the back end, joining its thread
    // and closing every printer. On a callback thread this could only hang
    // (it waits for that very thread): it writes a line saying so to
    // standard output and aborts the process.
    static void client_unregister(TrelUsbClient& client, trel_usb_interface_t channel);

    // Synchronous send; throws TrelException on failure (see write_timeout()),
    // whose status() is TREL_ERROR_NO_DEVICE (printer gone) or TREL_ERROR_IO
    // (the transfer failed).
    // On a callback thread it throws TREL_ERROR_NOT_ALLOWED and sends nothing
    // (see is_callback_thread()).
    static void write(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                      trel_usb_interface_t channel);

    // These three never wait for a transfer or for the back end's thread, so
    // they work from any thread, callbacks included.
    static std::vector<TrelDeviceAddress> list_connected();
    static std::vector<TrelUsbDevice> list_attached();
    // Printers in normal mode on the bus that the back end tried to open and
    // could not, each with the reason of its last attempt (it retries at
    // every bus scan, every 500 ms): what an application tells its user
    // instead of "not connected". As of the last scan.
    static std::vector<TrelUnopenedPrinter> list_unopened();

    // Closes an open printer (it stays listed by list_connected()). Throws
    // TREL_ERROR_NO_DEVICE when it is not open, and TREL_ERROR_NOT_ALLOWED on
    // a callback thread (it must pump USB events until the printer's
    // transfers end, which libusb refuses inside its own event handling).
    static void close(TrelDeviceAddress address);

    // The process that has `node` (a device node path such as
    // TrelUnopenedPrinter::node) open, other than this one: its id and
    // command name. Found by looking through /proc/*/fd for the node's file;
    // nothing when no process can be seen to hold it (a process of another
    // user is hidden from an unprivileged caller). Plain file-system reads,
    // from any thread; takes a few milliseconds per hundred processes.
    static std::optional<TrelNodeHolder> node_holder(const std::string& node);

    // True on a thread that delivers the library's callbacks: the background
    // thread, and any thread while it runs a receive callback (a thread that
    // closes a printer pumps USB events itself). Nothing else pumps events
    // meanwhile, so a call that waits for a USB transfer or an answer there
    // would wait for ever (a synchronous libusb transfer from inside event
    // handling never completes).
    static bool is_callback_thread();

    // Per-attempt timeout of write(); 1500 ms. Tests shorten it so that the retry
    // rules can be exercised without waiting seconds per attempt.
    static constexpr unsigned int DEFAULT_WRITE_TIMEOUT_MS = 1500;
    static void set_write_timeout(unsigned int milliseconds);
    static unsigned int write_timeout();

    TrelUsb(unsigned short vendorId, unsigned short productId, TrelDeviceAddress deviceAddress);
    ~TrelUsb();
    TrelUsb(const TrelUsb&) = delete;
    TrelUsb& operator=(const TrelUsb&) = delete;

private:
    // The transport binds each exchange to one opening of a printer.
    friend class TrelTransport;

    struct TransferDeleter
    {
        void operator()(libusb_transfer* t) const;
    };

    // Which opening of a printer is open at `address` now (a number never
    // used twice in a process), 0 when none is. A printer that re-enumerates
    // at the same address is a new opening.
    static uint64_t opening_at(TrelDeviceAddress address);
    // write(), refused (TREL_ERROR_NO_DEVICE) unless the printer open at the
    // address is still `opening`: a sender that waited while its printer was
    // replaced by a new one at the same address must not write to the new
    // one. 0 takes whichever is open.
    static void write_to(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                         trel_usb_interface_t channel, uint64_t opening);

    void open();
    void claim_device(unsigned short vendorId, unsigned short productId);
    void release_device();
    void close();
    void notify_clients(bool connected);
    static void libusb_rx_data_callback(libusb_transfer* transfer);
    static void device_status_thread_entry();
    static void scan_bus();
    static void sweep_dead_devices();
    static void delete_device(TrelDeviceAddress address);

    libusb_device_handle* handle = nullptr;
    libusb_device* device = nullptr;
    unsigned char descriptor[18] = {};
    std::unique_ptr<libusb_transfer, TransferDeleter> transfers[TREL_USB_INTERFACE_COUNT];
    std::unique_ptr<unsigned char[]> buffers[TREL_USB_INTERFACE_COUNT];
    unsigned short vendor_id;
    unsigned short product_id;
    TrelDeviceAddress address;
    const uint64_t opening;
    // Set while the channel's clients have been told of this printer (its
    // connect notice went out and no disconnect since). Guarded by that
    // channel's client lock.
    bool announced[TREL_USB_INTERFACE_COUNT] = {};
    // Written by the receive callback, read by close() through
    // libusb_handle_events_completed(), which takes int*: only through
    // isIdle() and setIdle() (atomic) in TrelUsb.cpp.
    bool rx_dead[TREL_USB_INTERFACE_COUNT] = {};
    int rx_idle[TREL_USB_INTERFACE_COUNT] = {};

    // Set and cleared with the back end's context lock (TrelUsb.cpp) held
    // exclusively; list_attached() reads it with that lock shared.
    static libusb_context* _libusb_ctx;
    // Guards every use of a printer's handle by write, close, the bus scan and
    // the dead-printer sweep, and every change of _connected_devices; held by
    // a writer for its whole transfer. Recursive because deleting a printer
    // inside the scan re-enters it. Never taken on a callback thread.
    static std::recursive_mutex _connected_devices_mutex;
    // Changed only with both the lock above and the listing lock
    // (TrelUsb.cpp) held; read with either. The listing lock is held for
    // lookups and copies only, so a callback can list the open printers
    // while a writer holds the table.
    static std::unordered_map<TrelDeviceAddress, TrelUsb*> _connected_devices;
    // Each guards one channel's client list and is held while that channel's
    // clients are called. Lock order: _connected_devices_mutex first, the
    // listing lock last.
    static std::recursive_mutex _registered_client_mutex[TREL_USB_INTERFACE_COUNT];
    static std::list<TrelUsbClient*> _registered_client_list[TREL_USB_INTERFACE_COUNT];
    // Guards the existence of the thread, so that registrations on the two
    // channels cannot both start (or stop) the back end.
    static std::mutex _lifecycle_mutex;
    static std::unique_ptr<std::thread> _device_hotplug_thread;
    static std::atomic<bool> _run_device_hotplug_thread;
    static const timeval _device_hotplug_refresh_rate;
    static std::atomic<unsigned int> _write_timeout_ms;
};
