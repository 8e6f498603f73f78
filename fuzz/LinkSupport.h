#pragma once

// For the targets over libtrel's receive paths.

#include "FuzzSupport.h"

#include <trel/TrelJobInterface.h>

namespace zelkfuzz {

// The USB back end starts with the first client a process registers and stops
// with the last. Each input gets fresh receivers (so that no state leaks from
// one input into the next and every crash replays alone); this client keeps
// the back end up between them, so that an input costs no libusb start.
// libusb starts without any bus (it then lists nothing), so no printer and no
// simulated bus is needed.
inline void keepUsbRunning()
{
    untilExit<TrelJobInterface>();
}

} // namespace zelkfuzz
