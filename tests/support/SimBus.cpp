#include "SimBus.h"

#include <cstdlib>
#include <iostream>

namespace {
zelksim::VirtualBus* g_bus = nullptr;
}

namespace zelktest {

zelksim::VirtualBus& simBus()
{
    if (!g_bus) {
        std::cerr << "no virtual bus: the test's main must set one up\n";
        std::abort();
    }
    return *g_bus;
}

void setSimBus(zelksim::VirtualBus* bus)
{
    g_bus = bus;
}

} // namespace zelktest
