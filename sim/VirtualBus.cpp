#include "VirtualBus.h"

#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <link.h>
#include <unistd.h>

namespace zelksim {

namespace {
constexpr const char* PRELOAD = "libumockdev-preload.so.0";
}

VirtualBus::VirtualBus()
{
    if (!preloaded())
        throw std::runtime_error("the virtual bus needs umockdev's preload library "
                                 "(LD_PRELOAD=libumockdev-preload.so.0)");
    bed = umockdev_testbed_new();
}

VirtualBus::~VirtualBus()
{
    g_object_unref(bed);
}

std::string VirtualBus::rootDir() const
{
    gchar* dir = umockdev_testbed_get_root_dir(bed);
    std::string s(dir);
    g_free(dir);
    return s;
}

bool VirtualBus::preloaded()
{
    // umockdev_in_mock_environment() answers false under the preload library in
    // the umockdev we build on, so look for the library among the loaded
    // objects instead.
    int found = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "libumockdev-preload")) {
                *static_cast<int*>(data) = 1;
                return 1;
            }
            return 0;
        },
        &found);
    return found != 0;
}

void VirtualBus::ensurePreloaded(char** argv)
{
    if (preloaded())
        return;
    if (std::getenv("ZELKSIM_REEXECUTED")) {
        std::fprintf(stderr, "%s did not load; is umockdev installed?\n", PRELOAD);
        std::exit(127);
    }
    setenv("ZELKSIM_REEXECUTED", "1", 1);
    std::string preload = PRELOAD;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // umockdev's sockets live under $TMPDIR and their paths may not exceed 108
    // bytes; a deep build-tree TMPDIR would break them.
    if (const char* tmp = std::getenv("TMPDIR"); tmp && std::strlen(tmp) > 40)
        setenv("TMPDIR", "/tmp", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "cannot re-execute under %s: %s\n", PRELOAD, std::strerror(errno));
    std::exit(127);
}

} // namespace zelksim
