// The status decoder (TrelJobInterface::decode_status) and what the program
// makes of a status: RMDevice takes the state, the firmware version (compared
// with the oldest version it supports), progress, temperature and error.
//
// Input: the JSON text of one status message.
#include "FuzzSupport.h"

#include <RMDevice.h>

#include <trel/TrelJobInterface.h>

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<yajl_val_s, void (*)(yajl_val)> tree(yajl_tree_parse(text.c_str(), nullptr, 0),
                                                         yajl_tree_free);
    if (!tree)
        return 0;

    const TrelJobInterface::StatusMsg status = TrelJobInterface::decode_status(tree.get());
    // A device that never runs a task needs no client.
    RMDevice device(TrelDeviceAddress(1, 5), nullptr);
    device.statusMessage(status);
    zelkfuzz::check(device.state() >= RMDevice::Unknown &&
                        device.state() <= RMDevice::OutOfFilament,
                    "the device's state is one of its states");
    device.setConnected(false);
    return 0;
}
