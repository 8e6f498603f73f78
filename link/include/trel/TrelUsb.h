#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelDeviceAddress.h>

#include <cstdint>
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

// Receiver of USB events for one channel. Every call runs with that channel's
// client lock held, on the background thread (or on a thread that is closing a
// printer and pumping events meanwhile): return quickly, never block on work
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

    static void client_register(TrelUsbClient& client, trel_usb_interface_t channel);
    static void client_unregister(TrelUsbClient& client, trel_usb_interface_t channel);

    // Synchronous send; throws TrelException on failure (see write_timeout()),
    // whose status() is TREL_ERROR_NO_DEVICE (printer gone) or TREL_ERROR_IO
    // (the transfer failed).
    // On a callback thread it throws TREL_ERROR_NOT_ALLOWED and sends nothing
    // (see is_callback_thread()).
    static void write(const unsigned char* data, unsigned int length, TrelDeviceAddress address,
                      trel_usb_interface_t channel);

    static std::vector<TrelDeviceAddress> list_connected();
    static std::vector<TrelUsbDevice> list_attached();
    static void close(TrelDeviceAddress address);

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
