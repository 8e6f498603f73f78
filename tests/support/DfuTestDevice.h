#pragma once

#include "SimBus.h"

#include <DfuFunction.h>
#include <VirtualUsbDevice.h>
#include <Worker.h>

#include <memory>
#include <string>

namespace zelktest {

// A printer in firmware-update mode on its own: the printer's DFU face
// (vendor 0x2B75, product 0x0003) with the bootloader model behind it, for
// tests that want DFU devices without a whole printer, or more than one.
// When the bootloader starts an image the device leaves the bus unless a test
// set a boot handler of its own.
class DfuTestDevice
{
public:
    explicit DfuTestDevice(uint8_t address = 9, const std::string& serial = "ZK1000009",
                           const std::string& runningVersion = "1.2.0")
        : function(std::make_shared<zelksim::DfuFunction>(runningVersion)),
          device(simBus().testbed(), config(address, serial, function->layoutName()), function)
    {
        // Off the bus a moment after the status answer that announced the
        // hand-over, as the printer does; not from umockdev's thread, which
        // cannot take a device's handler away while it runs it.
        function->setBootHandler([this](const std::string&) {
            worker.postAfter(std::chrono::milliseconds(50), [this] { device.unplug(); });
        });
    }
    DfuTestDevice(const DfuTestDevice&) = delete;
    DfuTestDevice& operator=(const DfuTestDevice&) = delete;
    ~DfuTestDevice() { function->setBootHandler(nullptr); } // the worker goes first

    void plug() { device.plug(); }
    void unplug() { device.unplug(); }
    bool isPlugged() const { return device.isPlugged(); }
    zelksim::DfuFunction& dfu() { return *function; }
    zelksim::VirtualUsbDevice& usb() { return device; }

private:
    static zelksim::UsbDeviceConfig config(uint8_t address, const std::string& serial,
                                           const std::string& layout)
    {
        zelksim::UsbDeviceConfig c;
        c.bus = 1;
        c.address = address;
        c.descriptors = zelksim::DfuFunction::descriptors(0x2B75, 0x0003);
        c.manufacturer = "Corvane";
        c.product = "Zelk DFU";
        c.serial = serial;
        c.strings = {c.manufacturer, c.product, c.serial, layout};
        return c;
    }

    std::shared_ptr<zelksim::DfuFunction> function;
    zelksim::VirtualUsbDevice device;
    zelksim::Worker worker{"dfu-test-device"};
};

} // namespace zelktest
