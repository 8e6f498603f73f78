#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelDeviceAddress.h>
#include <trel/TrelStatus.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
class TREL_EXPORT TrelUsbClient
{
public:
    virtual ~TrelUsbClient() = default;
    virtual void usb_device_connected(TrelDeviceAddress address) = 0;
    virtual void usb_device_disconnected(TrelDeviceAddress address) = 0;
    // `data` belongs to the receive transfer and is valid only during the call.
    virtual void data_received(unsigned char* data, unsigned int length,
                               TrelDeviceAddress address) = 0;
};

// The USB back end, as an application sees it: static calls on the process's
// one bus. Behind them (link/src/TrelUsbBus.h) the process-wide half (the
// libusb context, the background thread that scans the bus and pumps events,
// the table of open printers, the per-channel client lists) is kept apart
// from the per-printer handle, as libusb keeps its context apart from a
// device handle. Nothing here is ever instantiated.
class TREL_EXPORT TrelUsb
{
public:
    TrelUsb() = delete;

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
};
