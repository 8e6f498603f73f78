#pragma once

#include "VirtualUsbDevice.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelksim {

// The printer firmware image as the printer's bootloader accepts it: a 64-byte
// header, then the program. All numbers little-endian.
//
//   0  "ZELKFW01"                 magic and format
//   8  u32 header size (64)
//  12  u32 program length
//  16  u32 CRC-32 of the program
//  20  char[24] firmware version, NUL-padded
//  44  char[16] board name "zelk", NUL-padded
//  60  u32 CRC-32 of bytes 0..59
//
// The bootloader starts an image only when the magic, both checksums and the
// length hold, so a download that stopped half-way never runs. A file that a
// host flashes carries the standard 16-byte DFU suffix on top, which the host
// strips before download.
class FirmwareImage
{
public:
    static constexpr size_t HEADER_SIZE = 64;
    static constexpr size_t VERSION_SIZE = 24;

    // A whole image of `size` bytes (at least HEADER_SIZE) naming `version`,
    // the program filled with bytes that look like code rather than erased
    // flash, the same for the same arguments. Throws std::invalid_argument for
    // a size below the header or a version that does not fit.
    static std::vector<uint8_t> build(const std::string& version, size_t size);
    // The version named by the image at the start of `bytes` when the image is
    // whole; nothing otherwise. `bytes` may run on past the image (a flash).
    static std::optional<std::string> version(const uint8_t* bytes, size_t size);
    static std::optional<std::string> version(const std::vector<uint8_t>& bytes)
    {
        return version(bytes.data(), bytes.size());
    }
    // Length of the image at the start of `bytes` (header and program), or 0.
    static size_t length(const uint8_t* bytes, size_t size);

    // Appends the DFU suffix (bcdDevice, idProduct, idVendor, bcdDFU 1.0,
    // "UFD", length 16, CRC) that host tools check before a download.
    static std::vector<uint8_t> withDfuSuffix(std::vector<uint8_t> bytes, uint16_t vendor,
                                              uint16_t product, uint16_t device = 0xffff);
    // A DfuSe file: the "DfuSe" prefix, one target for alternate setting
    // `altSetting` named `targetName` holding `image` as one element at
    // `address`, and the DFU suffix with bcdDFU 1.1a. Hosts take the address
    // from the file.
    static std::vector<uint8_t> dfuseFile(const std::vector<uint8_t>& image, uint32_t address,
                                          uint16_t vendor, uint16_t product, uint8_t altSetting = 0,
                                          const std::string& targetName = "Internal Flash");
    // True when `bytes` ends in a DFU suffix whose CRC matches.
    static bool hasValidDfuSuffix(const std::vector<uint8_t>& bytes);
    // The suffix's CRC: CRC-32 (reflected, polynomial 0xEDB88320) started at
    // all ones and not inverted at the end.
    static uint32_t dfuCrc(const uint8_t* bytes, size_t size);
};

// The flash behind the bootloader: `pages` erasable pages of `pageSize` bytes
// from `base`.
struct DfuMemory
{
    uint32_t base = 0;
    uint32_t pageSize = 2048;
    uint32_t pages = 128; // 256 KiB
};

// What the bootloader reports as bwPollTimeout for its slow operations; the
// host must wait that long before it asks again.
struct DfuTiming
{
    std::chrono::milliseconds erasePage{12};
    std::chrono::milliseconds writeBlock{6};
    std::chrono::milliseconds manifest{20};
};

// The printer's bootloader as a USB function: the DFU 1.1 class requests on
// interface 0 with ST's DfuSe extensions (DfuSe version 1.1a), in front of a
// model of the printer's flash.
//
// - DFU_DNLOAD with block 0 carries a command: 0x21 + address sets the address
//   pointer, 0x41 + address erases the page holding it, 0x41 alone erases all.
//   Blocks from 2 on write TRANSFER_SIZE-byte slices from the pointer on.
// - A command or a write runs when the host asks DFU_GETSTATUS: the first
//   answer is dfuDNBUSY with the time it takes, the next dfuDNLOAD-IDLE (or
//   dfuERROR). A request while busy, before that time has passed, stalls, as
//   the bootloader is writing flash and does not answer.
// - Flash keeps the usual rule: a write only clears bits, so writing to a page
//   that was not erased fails (errCHECK_ERASED) and nothing is written.
// - DFU_DNLOAD with no data ("leave") makes the bootloader check the image at
//   the address pointer: a whole image answers dfuMANIFEST and is started (the
//   boot handler runs with its version); anything else answers dfuERROR with
//   errFIRMWARE and the device stays in firmware-update mode.
// - After the boot handler ran the function answers nothing until restart():
//   the bootloader has left; the next time the printer enters firmware-update
//   mode it starts afresh.
//
// Calls come from umockdev's worker thread (see UsbFunction); the accessors
// may be called from any thread.
class DfuFunction : public UsbFunction
{
public:
    enum State : uint8_t {
        AppIdle = 0,
        AppDetach = 1,
        DfuIdle = 2,
        DnloadSync = 3,
        DnBusy = 4,
        DnloadIdle = 5,
        ManifestSync = 6,
        Manifest = 7,
        ManifestWaitReset = 8,
        UploadIdle = 9,
        Error = 10,
    };
    enum Status : uint8_t {
        Ok = 0,
        ErrTarget = 1,
        ErrFile = 2,
        ErrWrite = 3,
        ErrErase = 4,
        ErrCheckErased = 5,
        ErrProg = 6,
        ErrVerify = 7,
        ErrAddress = 8,
        ErrNotDone = 9,
        ErrFirmware = 10,
        ErrVendor = 11,
        ErrUsbr = 12,
        ErrPor = 13,
        ErrUnknown = 14,
        ErrStalledPkt = 15,
    };
    enum Request : uint8_t {
        DETACH = 0,
        DNLOAD = 1,
        UPLOAD = 2,
        GETSTATUS = 3,
        CLRSTATUS = 4,
        GETSTATE = 5,
        ABORT = 6,
    };

    // wTransferSize of the functional descriptor: the most one DFU_DNLOAD or
    // DFU_UPLOAD carries, and the step between write blocks.
    static constexpr uint16_t TRANSFER_SIZE = 2048;

    using Memory = DfuMemory;
    using Timing = DfuTiming;

    // Flash erased but for a whole image of `runningVersion` at the base (none
    // when empty), the firmware the printer ran before it entered this mode.
    explicit DfuFunction(const std::string& runningVersion = std::string(),
                         Memory memory = Memory());

    // Device, configuration, interface (alternate setting 0, string 4) and DFU
    // functional descriptors of a printer in firmware-update mode.
    static std::vector<uint8_t> descriptors(uint16_t vendor, uint16_t product);
    // The alternate setting's name, which is how DfuSe hosts learn the memory
    // layout: "@Internal Flash  /0x00000000/128*002Kg" for the default memory.
    std::string layoutName() const;

    // The serial number the bootloader reports for a printer: the printer's
    // own with only its letters and digits, as host tools expect.
    static std::string serialFor(const std::string& printerSerial);

    // Runs on umockdev's worker thread once the bootloader hands over to a
    // whole image; the argument is its version. Whoever runs the printer takes
    // the device off the bus and brings it back in normal mode; do not block.
    using BootHandler = std::function<void(const std::string& version)>;
    void setBootHandler(BootHandler handler);
    // Power-on of the bootloader: dfuIDLE, no error, pointer at the base. The
    // flash keeps what was written.
    void restart();
    void setTiming(Timing timing);

    // --- faults
    // The write block after the next `skip` ones fails with `status`, as a
    // worn or locked page does.
    void failWrite(int skip, Status status = ErrWrite);

    // --- observing
    State state() const;
    Status status() const;
    std::vector<uint8_t> flash() const;
    int erasedPages() const;
    int writtenBlocks() const;
    // Versions the bootloader started, in order.
    std::vector<std::string> booted() const;
    // Requests answered with a stall (protocol errors of the host).
    int stalls() const;

    bool controlRequest(const UsbSetup& setup, std::vector<uint8_t>& data) override;
    void setInterface(unsigned int interface, unsigned int altSetting) override;
    void reset() override;

private:
    using Clock = std::chrono::steady_clock;
    enum class Op { None, SetAddress, Erase, MassErase, Write, Leave };

    bool handle(const UsbSetup& setup, std::vector<uint8_t>& data, std::string& bootVersion);
    bool download(const UsbSetup& setup, const std::vector<uint8_t>& data);
    bool upload(const UsbSetup& setup, std::vector<uint8_t>& data);
    void getStatus(std::vector<uint8_t>& data, std::string& bootVersion);
    // Runs the operation that the last DFU_DNLOAD queued; returns its status
    // and how long the bootloader is busy with it.
    Status run(std::chrono::milliseconds& busy);
    bool stall(Status why);
    bool contains(uint32_t address, size_t length) const;

    const Memory memory;

    // Guards everything below.
    mutable std::mutex mutex;
    BootHandler bootHandler;
    Timing timing;
    State state_ = DfuIdle;
    Status status_ = Ok;
    bool leaving = false; // handed over to the firmware; answers nothing
    uint32_t pointer;
    Op op = Op::None;
    uint32_t opAddress = 0;
    std::vector<uint8_t> opData;
    Status opResult = Ok; // what the busy operation ended with
    Clock::time_point busyUntil;
    std::vector<uint8_t> flash_;
    int erased = 0;
    int written = 0;
    int writeFailSkip = -1;
    Status writeFailStatus = ErrWrite;
    std::vector<std::string> booted_;
    int stalls_ = 0;
};

} // namespace zelksim
