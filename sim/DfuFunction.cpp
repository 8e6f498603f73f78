#include "DfuFunction.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace zelksim {

namespace {

const char MAGIC[8] = {'Z', 'E', 'L', 'K', 'F', 'W', '0', '1'};
constexpr size_t BOARD_SIZE = 16;
constexpr size_t DFU_SUFFIX_SIZE = 16;
// The header's fields, as laid out in DfuFunction.h, fill it exactly: magic
// and three numbers, the version, the board name, the header's own CRC.
static_assert(20 + FirmwareImage::VERSION_SIZE + BOARD_SIZE + 4 == FirmwareImage::HEADER_SIZE,
              "firmware image header layout");

void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x & 0xff));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void put32(uint8_t* p, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(x >> (8 * i));
}

void add32(std::vector<uint8_t>& v, uint32_t x)
{
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

uint32_t get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t crc32Of(const uint8_t* bytes, size_t size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most 4 GiB at once; images are far smaller.
    crc = crc32(crc, bytes, static_cast<uInt>(size));
    return static_cast<uint32_t>(crc);
}

} // namespace

// ---------------------------------------------------------------------------
// FirmwareImage

std::vector<uint8_t> FirmwareImage::build(const std::string& version, size_t size)
{
    if (size < HEADER_SIZE)
        throw std::invalid_argument("a firmware image needs at least its 64-byte header");
    if (version.empty() || version.size() >= VERSION_SIZE)
        throw std::invalid_argument("firmware version must have 1 to 23 characters");
    std::vector<uint8_t> image(size, 0);
    // The program: Thumb-like half-words from a generator seeded by the
    // version, so that two versions differ all through and no stretch looks
    // like erased flash.
    uint32_t x = 2166136261u;
    for (unsigned char c : version)
        x = (x ^ c) * 16777619u;
    for (size_t i = HEADER_SIZE; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        image[i] = static_cast<uint8_t>(x & 0x7f); // never 0xff
    }
    uint8_t* h = image.data();
    std::memcpy(h, MAGIC, sizeof MAGIC);
    put32(h + 8, static_cast<uint32_t>(HEADER_SIZE));
    put32(h + 12, static_cast<uint32_t>(size - HEADER_SIZE));
    put32(h + 16, crc32Of(h + HEADER_SIZE, size - HEADER_SIZE));
    std::memcpy(h + 20, version.data(), version.size());
    std::memcpy(h + 44, "zelk", 4);
    put32(h + 60, crc32Of(h, 60));
    return image;
}

size_t FirmwareImage::length(const uint8_t* bytes, size_t size)
{
    if (size < HEADER_SIZE || std::memcmp(bytes, MAGIC, sizeof MAGIC) != 0)
        return 0;
    if (get32(bytes + 60) != crc32Of(bytes, 60) || get32(bytes + 8) != HEADER_SIZE)
        return 0;
    const uint32_t program = get32(bytes + 12);
    if (program > size - HEADER_SIZE)
        return 0;
    if (get32(bytes + 16) != crc32Of(bytes + HEADER_SIZE, program))
        return 0;
    return HEADER_SIZE + program;
}

std::optional<std::string> FirmwareImage::version(const uint8_t* bytes, size_t size)
{
    if (length(bytes, size) == 0)
        return std::nullopt;
    const char* v = reinterpret_cast<const char*>(bytes + 20);
    const size_t n = strnlen(v, VERSION_SIZE);
    if (n == 0 || n == VERSION_SIZE)
        return std::nullopt;
    for (size_t i = 0; i < n; ++i)
        if (v[i] < 0x21 || v[i] > 0x7e)
            return std::nullopt;
    return std::string(v, n);
}

uint32_t FirmwareImage::dfuCrc(const uint8_t* bytes, size_t size)
{
    // zlib's CRC-32 is the same register, inverted at both ends.
    return ~crc32Of(bytes, size);
}

namespace {
std::vector<uint8_t> suffixed(std::vector<uint8_t> bytes, uint16_t vendor, uint16_t product,
                              uint16_t device, uint16_t bcdDfu)
{
    put16(bytes, device);
    put16(bytes, product);
    put16(bytes, vendor);
    put16(bytes, bcdDfu);
    bytes.insert(bytes.end(), {'U', 'F', 'D', static_cast<uint8_t>(DFU_SUFFIX_SIZE)});
    add32(bytes, FirmwareImage::dfuCrc(bytes.data(), bytes.size()));
    return bytes;
}
} // namespace

std::vector<uint8_t> FirmwareImage::dfuseFile(const std::vector<uint8_t>& image, uint32_t address,
                                              uint16_t vendor, uint16_t product, uint8_t altSetting,
                                              const std::string& targetName)
{
    constexpr size_t PREFIX = 11, TARGET_PREFIX = 274, ELEMENT_HEADER = 8, NAME = 255;
    if (targetName.size() >= NAME)
        throw std::invalid_argument("DfuSe target names have at most 254 characters");
    const size_t elements = ELEMENT_HEADER + image.size();
    const size_t total = PREFIX + TARGET_PREFIX + elements;
    std::vector<uint8_t> f;
    f.reserve(total + DFU_SUFFIX_SIZE);
    auto text = [&f](const std::string& t, size_t width) {
        f.insert(f.end(), t.begin(), t.end());
        f.insert(f.end(), width - t.size(), 0);
    };
    text("DfuSe", 5);
    f.push_back(0x01);
    add32(f, static_cast<uint32_t>(total));
    f.push_back(1); // one target
    text("Target", 6);
    f.push_back(altSetting);
    add32(f, 1); // named
    text(targetName, NAME);
    add32(f, static_cast<uint32_t>(elements));
    add32(f, 1); // one element
    add32(f, address);
    add32(f, static_cast<uint32_t>(image.size()));
    f.insert(f.end(), image.begin(), image.end());
    return suffixed(std::move(f), vendor, product, 0xffff, 0x011a);
}

std::vector<uint8_t> FirmwareImage::withDfuSuffix(std::vector<uint8_t> bytes, uint16_t vendor,
                                                  uint16_t product, uint16_t device)
{
    return suffixed(std::move(bytes), vendor, product, device, 0x0100);
}

bool FirmwareImage::hasValidDfuSuffix(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < DFU_SUFFIX_SIZE)
        return false;
    const uint8_t* s = bytes.data() + bytes.size() - DFU_SUFFIX_SIZE;
    if (s[8] != 'U' || s[9] != 'F' || s[10] != 'D' || s[11] != DFU_SUFFIX_SIZE)
        return false;
    return get32(s + 12) == dfuCrc(bytes.data(), bytes.size() - 4);
}

// ---------------------------------------------------------------------------
// DfuFunction

DfuFunction::DfuFunction(const std::string& runningVersion, Memory m)
    : memory(m), pointer(m.base), flash_(static_cast<size_t>(m.pageSize) * m.pages, 0xff)
{
    if (!runningVersion.empty()) {
        const std::vector<uint8_t> image = FirmwareImage::build(runningVersion, 4096);
        std::copy(image.begin(), image.end(), flash_.begin());
    }
}

std::vector<uint8_t> DfuFunction::descriptors(uint16_t vendor, uint16_t product)
{
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, vendor);
    put16(d, product);
    put16(d, 0x0100);
    d.insert(d.end(), {1, 2, 3, 1});
    // Interface 0, alternate setting 0, no endpoints, class 0xFE subclass 1
    // protocol 2 (DFU mode), name in string 4. Functional descriptor: can
    // download and upload, manifestation tolerant, detach time-out 255 ms,
    // TRANSFER_SIZE bytes per request, DfuSe 1.1a.
    std::vector<uint8_t> body = {9, 4, 0, 0, 0, 0xfe, 1, 2, 4, 9, 0x21, 0x07, 255, 0};
    put16(body, TRANSFER_SIZE);
    put16(body, 0x011a);
    const auto total = static_cast<uint16_t>(9 + body.size());
    d.insert(d.end(), {9, 2});
    put16(d, total);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

std::string DfuFunction::layoutName() const
{
    // DfuSe layout: name, base address, then count*size with K for KiB and
    // a letter for the access rights ('g': readable, erasable, writable).
    char text[96];
    std::snprintf(text, sizeof text, "@Internal Flash  /0x%08X/%03u*%03uKg",
                  static_cast<unsigned>(memory.base), static_cast<unsigned>(memory.pages),
                  static_cast<unsigned>(memory.pageSize / 1024));
    return text;
}

std::string DfuFunction::serialFor(const std::string& printerSerial)
{
    std::string serial;
    for (char c : printerSerial)
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            serial += c;
    return serial;
}

void DfuFunction::setBootHandler(BootHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    bootHandler = std::move(handler);
}

void DfuFunction::restart()
{
    std::lock_guard<std::mutex> lock(mutex);
    state_ = DfuIdle;
    status_ = Ok;
    leaving = false;
    pointer = memory.base;
    op = Op::None;
    opData.clear();
}

void DfuFunction::setTiming(Timing t)
{
    std::lock_guard<std::mutex> lock(mutex);
    timing = t;
}

void DfuFunction::failWrite(int skip, Status status)
{
    std::lock_guard<std::mutex> lock(mutex);
    writeFailSkip = skip;
    writeFailStatus = status;
}

DfuFunction::State DfuFunction::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return state_;
}

DfuFunction::Status DfuFunction::status() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return status_;
}

std::vector<uint8_t> DfuFunction::flash() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return flash_;
}

int DfuFunction::erasedPages() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return erased;
}

int DfuFunction::writtenBlocks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return written;
}

std::vector<std::string> DfuFunction::booted() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return booted_;
}

int DfuFunction::stalls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return stalls_;
}

void DfuFunction::setInterface(unsigned int, unsigned int) {}

void DfuFunction::reset()
{
    // A bus reset restarts the bootloader, which stays in firmware-update
    // mode; one that has handed over is gone already.
    bool gone;
    {
        std::lock_guard<std::mutex> lock(mutex);
        gone = leaving;
    }
    if (!gone)
        restart();
}

bool DfuFunction::controlRequest(const UsbSetup& setup, std::vector<uint8_t>& data)
{
    std::string bootVersion;
    BootHandler handler;
    bool ok;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ok = handle(setup, data, bootVersion);
        if (!bootVersion.empty())
            handler = bootHandler;
    }
    // Outside the lock: the handler may well ask this function things.
    if (handler)
        handler(bootVersion);
    return ok;
}

bool DfuFunction::contains(uint32_t address, size_t length) const
{
    const uint64_t end = static_cast<uint64_t>(memory.base) + flash_.size();
    return address >= memory.base && static_cast<uint64_t>(address) + length <= end;
}

bool DfuFunction::stall(Status why)
{
    state_ = Error;
    status_ = why;
    ++stalls_;
    return false;
}

bool DfuFunction::handle(const UsbSetup& setup, std::vector<uint8_t>& data,
                         std::string& bootVersion)
{
    // Class requests to interface 0 only; anything else is not ours.
    if ((setup.requestType & 0x7f) != 0x21 || setup.index != 0)
        return false;
    const bool in = setup.requestType & 0x80;
    if (leaving)
        return false; // running the firmware now, not the bootloader

    if (state_ == DnBusy) {
        if (Clock::now() < busyUntil)
            return stall(ErrStalledPkt);
        // The operation has ended meanwhile.
        if (opResult == Ok) {
            state_ = DnloadSync;
            op = Op::None;
        } else {
            state_ = Error;
            status_ = opResult;
        }
    }

    switch (setup.request) {
    case GETSTATUS:
        if (!in)
            return stall(ErrStalledPkt);
        getStatus(data, bootVersion);
        return true;
    case GETSTATE:
        if (!in)
            return stall(ErrStalledPkt);
        data.assign(1, state_);
        return true;
    case CLRSTATUS:
    case ABORT:
        if (in)
            return stall(ErrStalledPkt);
        // Like the bootloader this models, both bring it back to idle from
        // any state where no operation is pending; DFU_ABORT does not clear
        // an error.
        if (state_ == DnloadSync || state_ == ManifestSync ||
            (setup.request == ABORT && state_ == Error))
            return stall(ErrStalledPkt);
        state_ = DfuIdle;
        status_ = Ok;
        op = Op::None;
        return true;
    case DNLOAD:
        if (in || (state_ != DfuIdle && state_ != DnloadIdle))
            return stall(ErrStalledPkt);
        return download(setup, data);
    case UPLOAD:
        if (!in || (state_ != DfuIdle && state_ != UploadIdle))
            return stall(ErrStalledPkt);
        return upload(setup, data);
    case DETACH: // only a device in run-time mode detaches
    default:
        return stall(ErrStalledPkt);
    }
}

bool DfuFunction::download(const UsbSetup& setup, const std::vector<uint8_t>& data)
{
    if (setup.length == 0) { // leave: check and start the image at the pointer
        op = Op::Leave;
        state_ = ManifestSync;
        return true;
    }
    if (setup.length > TRANSFER_SIZE || data.size() != setup.length)
        return stall(ErrStalledPkt);
    if (setup.value == 0) {
        const uint8_t command = data[0];
        if (command == 0x21 && data.size() == 5) {
            op = Op::SetAddress;
            opAddress = get32(&data[1]);
        } else if (command == 0x41 && data.size() == 5) {
            op = Op::Erase;
            opAddress = get32(&data[1]);
        } else if (command == 0x41 && data.size() == 1) {
            op = Op::MassErase;
        } else {
            return stall(ErrStalledPkt); // unknown command
        }
    } else if (setup.value >= 2) {
        op = Op::Write;
        opAddress = pointer + static_cast<uint32_t>(setup.value - 2) * TRANSFER_SIZE;
        opData = data;
    } else {
        return stall(ErrStalledPkt);
    }
    state_ = DnloadSync;
    return true;
}

bool DfuFunction::upload(const UsbSetup& setup, std::vector<uint8_t>& data)
{
    if (setup.value == 0) { // the commands this bootloader knows
        data = {0x00, 0x21, 0x41, 0x92};
        data.resize(std::min<size_t>(data.size(), setup.length));
        state_ = UploadIdle;
        return true;
    }
    if (setup.value == 1 || setup.length > TRANSFER_SIZE)
        return stall(ErrStalledPkt);
    const uint32_t address = pointer + static_cast<uint32_t>(setup.value - 2) * TRANSFER_SIZE;
    if (!contains(address, 0))
        return stall(ErrAddress);
    const size_t offset = address - memory.base;
    const size_t n = std::min<size_t>(setup.length, flash_.size() - offset);
    data.assign(flash_.begin() + static_cast<std::ptrdiff_t>(offset),
                flash_.begin() + static_cast<std::ptrdiff_t>(offset + n));
    // A short frame ends the upload.
    state_ = n < setup.length ? DfuIdle : UploadIdle;
    return true;
}

DfuFunction::Status DfuFunction::run(std::chrono::milliseconds& busy)
{
    busy = std::chrono::milliseconds(1);
    switch (op) {
    case Op::SetAddress:
        if (!contains(opAddress, 1))
            return ErrTarget;
        pointer = opAddress;
        return Ok;
    case Op::Erase: {
        if (!contains(opAddress, 1))
            return ErrTarget;
        const size_t page = (opAddress - memory.base) / memory.pageSize;
        std::fill_n(flash_.begin() + static_cast<std::ptrdiff_t>(page * memory.pageSize),
                    memory.pageSize, 0xff);
        ++erased;
        busy = timing.erasePage;
        return Ok;
    }
    case Op::MassErase:
        std::fill(flash_.begin(), flash_.end(), 0xff);
        erased += static_cast<int>(memory.pages);
        busy = timing.erasePage * memory.pages;
        return Ok;
    case Op::Write: {
        busy = timing.writeBlock;
        if (!contains(opAddress, opData.size()))
            return ErrAddress;
        if (writeFailSkip == 0) {
            writeFailSkip = -1;
            return writeFailStatus;
        }
        if (writeFailSkip > 0)
            --writeFailSkip;
        uint8_t* target = flash_.data() + (opAddress - memory.base);
        // Programming only clears bits: every bit the data sets must still
        // be set in the flash, or the page was not erased first.
        for (size_t i = 0; i < opData.size(); ++i)
            if ((target[i] & opData[i]) != opData[i])
                return ErrCheckErased;
        std::copy(opData.begin(), opData.end(), target);
        ++written;
        return Ok;
    }
    case Op::None:
    case Op::Leave:
        break;
    }
    return Ok;
}

void DfuFunction::getStatus(std::vector<uint8_t>& data, std::string& bootVersion)
{
    std::chrono::milliseconds poll(0);
    if (state_ == DnloadSync) {
        if (op == Op::None) {
            state_ = DnloadIdle; // the block is complete
        } else {
            opResult = run(poll);
            opData.clear();
            state_ = DnBusy;
            busyUntil = Clock::now() + poll;
        }
    } else if (state_ == ManifestSync) {
        const size_t offset = pointer - memory.base;
        std::optional<std::string> version =
            FirmwareImage::version(flash_.data() + offset, flash_.size() - offset);
        op = Op::None;
        if (version) {
            state_ = Manifest;
            status_ = Ok;
            poll = timing.manifest;
            leaving = true;
            booted_.push_back(*version);
            bootVersion = *version;
        } else {
            state_ = Error;
            status_ = ErrFirmware;
        }
    }
    const auto ms = static_cast<uint32_t>(poll.count());
    data = {status_,
            static_cast<uint8_t>(ms & 0xff),
            static_cast<uint8_t>((ms >> 8) & 0xff),
            static_cast<uint8_t>((ms >> 16) & 0xff),
            state_,
            0};
}

} // namespace zelksim
