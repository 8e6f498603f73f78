#pragma once

#include <trel/TrelExport.h>

#include <cstdio>
#include <list>
#include <string>
#include <vector>

// One device line of dfu-util's listing (`dfu-util -l`), as dfu-util prints it:
//   Found DFU: [2b75:0003] ver=0100, devnum=9, cfg=1, intf=0, path="1-9",
//   alt=0, name="@Internal Flash  /0x00000000/128*002Kg", serial="ZK1000009"
// (one line). Texts are as printed, without their quotes.
struct TrelDfuListing
{
    std::string vendor;  // USB vendor id: letters and digits, as printed (hexadecimal)
    std::string product; // USB product id, likewise
    std::string serial;  // letters and digits only, never empty
    std::string alt;     // the alternate setting; empty when the line has none
    std::string path;    // the USB port path; empty when the line has none
    std::string name;    // the alternate setting's name; may hold commas
};

// The one reader of dfu-util's listing, shared by TrelDfu and the desktop
// program: a device per complete line (ending in a line feed) that holds
// "Found DFU: [VENDOR:PRODUCT]" and a serial="SERIAL" field whose value is
// letters and digits, in output order (dfu-util lists a device once per
// alternate setting). Every other line (the banner, "Found Runtime", a
// serial missing, unquoted or with other characters, the last line without
// its line end) names no device. The serial is the line's last serial field,
// as dfu-util prints it last: a name that holds such text does not fool it.
TREL_EXPORT std::vector<TrelDfuListing> trel_dfu_parse_listing(const std::string& output);

// Lists printers in firmware-update (DFU) mode and flashes firmware onto one
// of them by running dfu-util, found in the process's working directory,
// through a pipe and reading what it prints. Uses no USB of its own.
//
// Not for concurrent use: one listing or update at a time per object, on the
// caller's thread, which also runs the progress callback.
class TREL_EXPORT TrelDfu
{
public:
    // One device as dfu-util lists it.
    struct DfuDevice_t
    {
        std::string vendor;  // USB vendor id, hexadecimal digits, no prefix
        std::string product; // USB product id, likewise
        std::string serial;  // letters and digits only
    };

    TrelDfu();
    ~TrelDfu();
    TrelDfu(const TrelDfu&) = delete;
    TrelDfu& operator=(const TrelDfu&) = delete;

    // The DFU devices dfu-util reports, in its order. Empty when dfu-util is
    // missing or lists nothing. Throws TrelException when the pipe cannot be
    // opened.
    std::list<DfuDevice_t> GetDfuDevices();

    // Flashes `file` onto `device` and returns once dfu-util has ended.
    // `progress` (may be null) hears 0, every percentage dfu-util prints and
    // 100 at the end. Throws TrelException "Failed to update device, pipe
    // log: " with everything dfu-util printed unless it printed a percentage
    // and either ended without error or reported "Download done".
    void UpdateDevice(DfuDevice_t device, std::string file,
                      void (*progress)(double percent, DfuDevice_t device));

    // Parses a dfu-util listing (trel_dfu_parse_listing()).
    static std::list<DfuDevice_t> parse_devices(const std::string& output);

private:
    std::string command(const std::string& arguments) const;

    FILE* pipe = nullptr; // the running update's dfu-util, if any
    std::string path;     // the working directory at construction; empty if unreadable
};

// `text` as one word for the POSIX shell: in single quotes, each single quote
// written as '\''. Nothing inside is expanded, whatever it holds.
TREL_EXPORT std::string shell_quote(const std::string& text);
