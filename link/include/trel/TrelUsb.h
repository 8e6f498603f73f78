#pragma once

#include <trel/TrelExport.h>

#include <trel/TrelDeviceAddress.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
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

// One open printer, plus the process-wide USB state: the libusb context, the
// background thread that scans the bus and pumps events, the table of open
// printers and the per-channel client lists.
class TREL_EXPORT TrelUsb
{
public:
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

    TrelUsb(unsigned short vendorId, unsigned short productId, TrelDeviceAddress deviceAddress);
    ~TrelUsb();
    TrelUsb(const TrelUsb&) = delete;
    TrelUsb& operator=(const TrelUsb&) = delete;

private:
    struct TransferDeleter
    {
        void operator()(libusb_transfer* t) const;
    };

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
    // Written by the receive callback, read by close() through
    // libusb_handle_events_completed(), which takes int*: only through
    // isIdle() and setIdle() (atomic) in TrelUsb.cpp.
    bool rx_dead[TREL_USB_INTERFACE_COUNT] = {};
    int rx_idle[TREL_USB_INTERFACE_COUNT] = {};

    static libusb_context* _libusb_ctx;
    // Guards _connected_devices and every use of a printer's handle by write,
    // close, the bus scan and the dead-printer sweep. Recursive because deleting
    // a printer inside the scan re-enters it.
    static std::recursive_mutex _connected_devices_mutex;
    static std::unordered_map<TrelDeviceAddress, TrelUsb*> _connected_devices;
    // Each guards one channel's client list and is held while that channel's
    // clients are called. Lock order: _connected_devices_mutex first.
    static std::recursive_mutex _registered_client_mutex[TREL_USB_INTERFACE_COUNT];
    static std::list<TrelUsbClient*> _registered_client_list[TREL_USB_INTERFACE_COUNT];
    // Guards the existence of the context and the thread, so that registrations
    // on the two channels cannot both start (or stop) the back end.
    static std::mutex _lifecycle_mutex;
    static std::unique_ptr<std::thread> _device_hotplug_thread;
    static std::atomic<bool> _run_device_hotplug_thread;
    static const timeval _device_hotplug_refresh_rate;
    static std::atomic<unsigned int> _write_timeout_ms;
};
