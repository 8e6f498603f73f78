#pragma once

#include <VirtualBus.h>

namespace zelktest {

// The process's virtual bus, set up by the test binary's main.
zelksim::VirtualBus& simBus();
void setSimBus(zelksim::VirtualBus* bus);

} // namespace zelktest
