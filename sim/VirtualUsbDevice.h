#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace zelksim {

// The 8-byte setup packet of a control transfer.
struct UsbSetup
{
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// What sits behind a virtual device's endpoints. Every call comes from
// umockdev's worker thread, outside the device's lock: hand work on and return,
// never block (the host's libusb waits for the ioctl to complete).
class UsbFunction
{
public:
    virtual ~UsbFunction() = default;
    // A class or vendor request on endpoint 0 (standard descriptor requests are
    // answered by the device). For a device-to-host request fill `data` with at
    // most setup.length bytes; otherwise `data` holds what the host sent.
    // Return false to stall.
    virtual bool controlRequest(const UsbSetup& setup, std::vector<uint8_t>& data);
    // Bytes the host wrote to a bulk OUT endpoint.
    virtual void bulkOut(uint8_t endpoint, const uint8_t* data, size_t length);
    virtual void setInterface(unsigned int interface, unsigned int altSetting);
    virtual void reset();
};

struct UsbDeviceConfig
{
    uint8_t bus = 1;
    uint8_t address = 1;
    // Device descriptor followed by the configuration, interface, functional
    // and endpoint descriptors, as the kernel exposes them in sysfs.
    std::vector<uint8_t> descriptors;
    std::string manufacturer;
    std::string product;
    std::string serial;
    // String descriptors by index (1 = manufacturer, 2 = product, 3 = serial, ...).
    std::vector<std::string> strings;
};

// One USB device on umockdev's fake bus, emulating the usbdevfs ioctls that
// libusb issues on Linux: URBs are submitted, completed by the endpoints'
// models, reaped and discarded as the kernel would, so the host side runs the
// real libusb unchanged.
//
// Thread model: the ioctl handler runs on umockdev's worker thread; queueIn()
// and the fault controls may be called from any thread.
class VirtualUsbDevice
{
public:
    VirtualUsbDevice(UMockdevTestbed* testbed, UsbDeviceConfig config,
                     std::shared_ptr<UsbFunction> function);
    ~VirtualUsbDevice(); // unplugs
    VirtualUsbDevice(const VirtualUsbDevice&) = delete;
    VirtualUsbDevice& operator=(const VirtualUsbDevice&) = delete;

    // Adds the device to the bus (sysfs record, node, ioctl handler, "add").
    void plug();
    // Takes it off the bus as a cable pull does: every pending URB ends with
    // ENODEV, later ioctls of clients that had it open fail with ENODEV.
    void unplug();
    bool isPlugged() const;
    const UsbDeviceConfig& config() const;

    // Queues bytes for an IN endpoint. Each completed IN URB carries one chunk
    // (at most the endpoint's chunk size). With `pack`, the bytes first fill up
    // the last queued chunk, so several small writes can arrive in one URB.
    // Zero bytes queue a zero-length packet.
    void queueIn(uint8_t endpoint, const uint8_t* data, size_t length, bool pack = false);
    // Largest chunk one IN URB carries (default 64, the bulk packet size).
    void setInChunkSize(uint8_t endpoint, size_t bytes);
    size_t queuedInBytes(uint8_t endpoint) const;
    // Ends the pending (or next) IN URB of the endpoint with -EPIPE (stall) or
    // -ENODEV, as a failing device would.
    void failNextIn(uint8_t endpoint, int negativeErrno);
    // The next `count` OUT URBs of the endpoint are never completed: the host
    // times out and discards them.
    void holdOutUrbs(uint8_t endpoint, int count);
    // Number of OUT URBs that were held and then discarded by the host.
    int discardedOutUrbs() const;
    // OUT URBs submitted to the endpoint so far.
    int outUrbs(uint8_t endpoint) const;
    // After `skip` successful interface claims, the next `count` fail (EBUSY),
    // as when another program holds the printer.
    void failClaims(int skip, int count);
    // The next `count` submissions of an URB to the endpoint fail (EIO), as
    // when the host's controller refuses a transfer: libusb_submit_transfer
    // fails, nothing reaches the device.
    void failSubmits(uint8_t endpoint, int count);
    // While on, opening the device node fails with EACCES, as for a user whom
    // no udev rule grants the printer; effective at once and across plugs.
    // Permissions cannot do it where tests run as root, so the node is
    // replaced by a symbolic link to a file that refuses writes to root too
    // (a read-only kernel setting), and put back when access is granted.
    void denyAccess(bool on);

    struct Core;

private:
    UMockdevTestbed* testbed;
    std::shared_ptr<Core> core;
    // The states of earlier plugs whose node a host still held open at the
    // next plug: let go of once every such host has closed it.
    std::vector<std::shared_ptr<Core>> retired;
};

} // namespace zelksim
