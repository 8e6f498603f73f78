// The printer's bootloader model: the DFU/DfuSe requests and their state
// machine driven request by request, the firmware image it accepts, and then
// Debian's dfu-util listing and flashing it across the virtual bus.
#include "DfuTestDevice.h"
#include "Eventually.h"
#include "SimEnvironment.h"

#include <DfuFunction.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

using namespace zelktest;
using zelksim::DfuFunction;
using zelksim::FirmwareImage;
using zelksim::UsbSetup;

namespace {

constexpr uint8_t OUT = 0x21, IN = 0xA1;

// Talks to the function as the host's control transfers do.
struct Host
{
    DfuFunction& dfu;

    bool out(uint8_t request, uint16_t value, std::vector<uint8_t> data = {})
    {
        UsbSetup s{OUT, request, value, 0, static_cast<uint16_t>(data.size())};
        return dfu.controlRequest(s, data);
    }
    std::vector<uint8_t> in(uint8_t request, uint16_t value, uint16_t length, bool* ok = nullptr)
    {
        UsbSetup s{IN, request, value, 0, length};
        std::vector<uint8_t> data;
        const bool answered = dfu.controlRequest(s, data);
        if (ok)
            *ok = answered;
        return data;
    }
    // DFU_GETSTATUS: {status, state, poll timeout in ms}.
    struct Status
    {
        int status = -1, state = -1;
        unsigned poll = 0;
    };
    Status status()
    {
        bool ok = false;
        const std::vector<uint8_t> d = in(DfuFunction::GETSTATUS, 0, 6, &ok);
        if (!ok || d.size() != 6)
            return {};
        return {d[0], d[4], static_cast<unsigned>(d[1] | d[2] << 8 | d[3] << 16)};
    }
    // A DfuSe command or write block run to its end, as a host does: the
    // first status says busy and for how long, the next one says how it went.
    Status run(uint16_t block, const std::vector<uint8_t>& data)
    {
        if (!out(DfuFunction::DNLOAD, block, data))
            return {};
        Status busy = status();
        if (busy.state != DfuFunction::DnBusy)
            return busy;
        std::this_thread::sleep_for(std::chrono::milliseconds(busy.poll));
        return status();
    }
    static std::vector<uint8_t> command(uint8_t code, uint32_t address)
    {
        return {code, static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8),
                static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 24)};
    }
};

DfuFunction::Memory smallFlash()
{
    DfuFunction::Memory m;
    m.pages = 8; // 16 KiB
    return m;
}

DfuFunction::Timing quick()
{
    DfuFunction::Timing t;
    t.erasePage = std::chrono::milliseconds(2);
    t.writeBlock = std::chrono::milliseconds(1);
    t.manifest = std::chrono::milliseconds(1);
    return t;
}

// Output and exit code of a shell command line (standard error included).
struct Ran
{
    std::string output;
    int exitCode = -1;
};

Ran run(const std::string& commandLine)
{
    Ran r;
    FILE* p = popen((commandLine + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        r.output.append(buffer, n);
    const int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string tempFile(const std::string& name, const std::vector<uint8_t>& bytes)
{
    const std::string path = "/tmp/zelk-dfu-" + std::to_string(getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

} // namespace

// --- the firmware image ------------------------------------------------------

TEST(FirmwareImage, NamesItsVersionOnlyWhenWhole)
{
    const std::vector<uint8_t> image = FirmwareImage::build("1.3.0", 8192);
    EXPECT_EQ(FirmwareImage::version(image), std::optional<std::string>("1.3.0"));
    EXPECT_EQ(FirmwareImage::length(image.data(), image.size()), 8192u);
    // On a flash the image is followed by erased bytes.
    std::vector<uint8_t> flash = image;
    flash.resize(16384, 0xff);
    EXPECT_EQ(FirmwareImage::version(flash), std::optional<std::string>("1.3.0"));

    struct Spoil
    {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> spoil;
    };
    const Spoil spoils[] = {
        {"last program byte", [](std::vector<uint8_t>& b) { b.back() ^= 1; }},
        {"magic", [](std::vector<uint8_t>& b) { b[0] = 'X'; }},
        {"version text", [](std::vector<uint8_t>& b) { b[20] = '2'; }},
        {"cut short", [](std::vector<uint8_t>& b) { b.resize(b.size() - 1); }},
        {"header only", [](std::vector<uint8_t>& b) { b.resize(FirmwareImage::HEADER_SIZE); }},
        {"erased", [](std::vector<uint8_t>& b) { std::fill(b.begin(), b.end(), 0xff); }},
    };
    for (const Spoil& s : spoils) {
        std::vector<uint8_t> bad = image;
        s.spoil(bad);
        EXPECT_FALSE(FirmwareImage::version(bad)) << s.what;
    }
    EXPECT_NE(FirmwareImage::build("1.3.0", 4096), FirmwareImage::build("1.3.1", 4096));
    EXPECT_THROW(FirmwareImage::build("1.3.0", 63), std::invalid_argument);
    EXPECT_THROW(FirmwareImage::build(std::string(24, '1'), 4096), std::invalid_argument);
}

TEST(FirmwareImage, SuffixesPassDebiansSuffixCheck)
{
    const std::vector<uint8_t> image = FirmwareImage::build("1.3.0", 4096);
    const std::vector<uint8_t> raw = FirmwareImage::withDfuSuffix(image, 0x2B75, 0x0003);
    const std::vector<uint8_t> dfuse = FirmwareImage::dfuseFile(image, 0, 0x2B75, 0x0003);
    ASSERT_TRUE(FirmwareImage::hasValidDfuSuffix(raw));
    ASSERT_TRUE(FirmwareImage::hasValidDfuSuffix(dfuse));
    std::vector<uint8_t> spoilt = raw;
    spoilt[10] ^= 0x40;
    EXPECT_FALSE(FirmwareImage::hasValidDfuSuffix(spoilt));

    for (const auto& [name, bytes, good] :
         {std::make_tuple("raw.dfu", raw, true), std::make_tuple("dfuse.dfu", dfuse, true),
          std::make_tuple("spoilt.dfu", spoilt, false)}) {
        const std::string path = tempFile(name, bytes);
        const Ran r = run("dfu-suffix -c " + path);
        EXPECT_EQ(r.exitCode == 0, good) << name << "\n" << r.output;
        if (good) {
            EXPECT_NE(r.output.find("Vendor ID:\t0x2B75"), std::string::npos) << r.output;
            EXPECT_NE(r.output.find("Product ID:\t0x0003"), std::string::npos) << r.output;
        }
        ::unlink(path.c_str());
    }
}

// --- the request protocol, request by request ---------------------------------

TEST(DfuProtocol, EraseThenWriteThenReadBack)
{
    DfuFunction dfu("", smallFlash());
    dfu.setTiming(quick());
    Host host{dfu};
    EXPECT_EQ(host.status().state, DfuFunction::DfuIdle);
    EXPECT_EQ(host.run(0, Host::command(0x41, 0x0800)).state, DfuFunction::DnloadIdle);
    EXPECT_EQ(dfu.erasedPages(), 1);
    EXPECT_EQ(host.run(0, Host::command(0x21, 0x0800)).state, DfuFunction::DnloadIdle);
    const std::vector<uint8_t> block(DfuFunction::TRANSFER_SIZE, 0x5a);
    EXPECT_EQ(host.run(2, block).state, DfuFunction::DnloadIdle);
    EXPECT_EQ(dfu.writtenBlocks(), 1);
    const std::vector<uint8_t> flash = dfu.flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x800, flash.begin() + 0x1000), block);
    EXPECT_EQ(flash[0x7ff], 0xff);
    EXPECT_EQ(flash[0x1000], 0xff);

    EXPECT_TRUE(host.out(DfuFunction::ABORT, 0));
    EXPECT_EQ(host.in(DfuFunction::UPLOAD, 0, 16), (std::vector<uint8_t>{0x00, 0x21, 0x41, 0x92}));
    EXPECT_EQ(host.in(DfuFunction::UPLOAD, 2, 4), (std::vector<uint8_t>(4, 0x5a)));
    EXPECT_EQ(host.status().state, DfuFunction::UploadIdle);
    EXPECT_EQ(dfu.stalls(), 0);
}

TEST(DfuProtocol, FaultsEndInTheirStatus)
{
    struct Case
    {
        const char* what;
        std::function<Host::Status(Host&, DfuFunction&)> act;
        int status;
        int state;
    };
    const std::vector<uint8_t> block(64, 0x11);
    const Case cases[] = {
        {"write over a page that was not erased",
         [&](Host& h, DfuFunction&) { return h.run(2, block); }, DfuFunction::ErrCheckErased,
         DfuFunction::Error},
        {"address beyond the flash",
         [&](Host& h, DfuFunction&) { return h.run(0, Host::command(0x21, 0x4000)); },
         DfuFunction::ErrTarget, DfuFunction::Error},
        {"erase beyond the flash",
         [&](Host& h, DfuFunction&) { return h.run(0, Host::command(0x41, 0x10000000)); },
         DfuFunction::ErrTarget, DfuFunction::Error},
        {"write running off the end",
         [&](Host& h, DfuFunction&) {
             h.run(0, Host::command(0x21, 0x3fc0));
             return h.run(2, std::vector<uint8_t>(128, 0));
         },
         DfuFunction::ErrAddress, DfuFunction::Error},
        {"worn page",
         [&](Host& h, DfuFunction& d) {
             d.failWrite(0);
             h.run(0, Host::command(0x41, 0));
             return h.run(2, block);
         },
         DfuFunction::ErrWrite, DfuFunction::Error},
        {"unknown command stalls",
         [&](Host& h, DfuFunction&) {
             EXPECT_FALSE(h.out(DfuFunction::DNLOAD, 0, {0x55}));
             return h.status();
         },
         DfuFunction::ErrStalledPkt, DfuFunction::Error},
        {"asking again before the poll time-out stalls",
         [&](Host& h, DfuFunction&) {
             h.out(DfuFunction::DNLOAD, 0, Host::command(0x41, 0));
             EXPECT_EQ(h.status().state, DfuFunction::DnBusy);
             EXPECT_FALSE(h.out(DfuFunction::ABORT, 0));
             std::this_thread::sleep_for(std::chrono::milliseconds(60));
             return h.status();
         },
         DfuFunction::ErrStalledPkt, DfuFunction::Error},
        {"leave with no image",
         [&](Host& h, DfuFunction&) {
             h.run(0, Host::command(0x41, 0));
             h.out(DfuFunction::DNLOAD, 0);
             return h.status();
         },
         DfuFunction::ErrFirmware, DfuFunction::Error},
        {"upload of block 1 stalls",
         [&](Host& h, DfuFunction&) {
             bool ok = true;
             h.in(DfuFunction::UPLOAD, 1, 16, &ok);
             EXPECT_FALSE(ok);
             return h.status();
         },
         DfuFunction::ErrStalledPkt, DfuFunction::Error},
    };
    for (const Case& c : cases) {
        DfuFunction dfu("1.2.0", smallFlash());
        DfuFunction::Timing t = quick();
        t.erasePage = std::chrono::milliseconds(40); // long enough to ask too early
        dfu.setTiming(t);
        Host host{dfu};
        const Host::Status s = c.act(host, dfu);
        EXPECT_EQ(s.status, c.status) << c.what;
        EXPECT_EQ(s.state, c.state) << c.what;
        // Every error is cleared the same way, and the bootloader carries on.
        EXPECT_TRUE(host.out(DfuFunction::CLRSTATUS, 0)) << c.what;
        EXPECT_EQ(host.status().state, DfuFunction::DfuIdle) << c.what;
        EXPECT_EQ(host.status().status, DfuFunction::Ok) << c.what;
        EXPECT_TRUE(dfu.booted().empty()) << c.what;
    }
}

TEST(DfuProtocol, LeaveStartsAWholeImageAndThenAnswersNothing)
{
    DfuFunction dfu("1.2.0", smallFlash());
    dfu.setTiming(quick());
    std::vector<std::string> started;
    dfu.setBootHandler([&](const std::string& v) { started.push_back(v); });
    Host host{dfu};

    // A new image over the old one: erase what it covers, write, leave.
    const std::vector<uint8_t> image = FirmwareImage::build("2.0.1", 5000);
    for (uint32_t page = 0; page < 3; ++page)
        ASSERT_EQ(host.run(0, Host::command(0x41, page * 2048)).status, DfuFunction::Ok);
    ASSERT_EQ(host.run(0, Host::command(0x21, 0)).status, DfuFunction::Ok);
    for (size_t offset = 0, block = 2; offset < image.size();
         offset += DfuFunction::TRANSFER_SIZE, ++block) {
        const size_t n = std::min<size_t>(DfuFunction::TRANSFER_SIZE, image.size() - offset);
        const std::vector<uint8_t> slice(image.begin() + static_cast<long>(offset),
                                         image.begin() + static_cast<long>(offset + n));
        ASSERT_EQ(host.run(static_cast<uint16_t>(block), slice).status, DfuFunction::Ok);
    }
    ASSERT_TRUE(host.out(DfuFunction::DNLOAD, 0));
    const Host::Status manifest = host.status();
    EXPECT_EQ(manifest.state, DfuFunction::Manifest);
    EXPECT_EQ(manifest.status, DfuFunction::Ok);
    EXPECT_EQ(started, std::vector<std::string>{"2.0.1"});
    EXPECT_EQ(dfu.booted(), std::vector<std::string>{"2.0.1"});

    // Gone to the firmware: nothing answers until the bootloader runs again.
    bool ok = true;
    host.in(DfuFunction::GETSTATUS, 0, 6, &ok);
    EXPECT_FALSE(ok);
    dfu.restart();
    EXPECT_EQ(host.status().state, DfuFunction::DfuIdle);
    EXPECT_EQ(FirmwareImage::version(dfu.flash()), std::optional<std::string>("2.0.1"));
}

TEST(DfuProtocol, LeaveWithoutDownloadStartsTheRunningFirmware)
{
    DfuFunction dfu("1.2.0", smallFlash());
    std::string started;
    dfu.setBootHandler([&](const std::string& v) { started = v; });
    Host host{dfu};
    ASSERT_TRUE(host.out(DfuFunction::DNLOAD, 0));
    EXPECT_EQ(host.status().state, DfuFunction::Manifest);
    EXPECT_EQ(started, "1.2.0");
}

// --- Debian's dfu-util across the virtual bus -----------------------------------

namespace {

const std::string DFU_UTIL = "dfu-util";

std::string flashCommand(const std::string& serial, const std::string& file)
{
    return DFU_UTIL + " -d 2b75:0003 -a 0 -s0x0:leave -S " + serial + " -D " + file;
}

} // namespace

TEST(DfuUtil, ListsEveryPrinterInFirmwareUpdateMode)
{
    DfuTestDevice first(9, "ZK1000009");
    DfuTestDevice second(10, "ZK1000010");
    first.plug();
    second.plug();
    const Ran r = run(DFU_UTIL + " -l");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    for (const char* line :
         {"Found DFU: [2b75:0003] ver=0100, devnum=9, cfg=1, intf=0, path=\"1-9\", alt=0, "
          "name=\"@Internal Flash  /0x00000000/128*002Kg\", serial=\"ZK1000009\"\n",
          "Found DFU: [2b75:0003] ver=0100, devnum=10, cfg=1, intf=0, path=\"1-10\", alt=0, "
          "name=\"@Internal Flash  /0x00000000/128*002Kg\", serial=\"ZK1000010\"\n"})
        EXPECT_NE(r.output.find(line), std::string::npos) << r.output;
}

TEST(DfuUtil, FlashesAndStartsTheNewFirmware)
{
    DfuTestDevice printer(9, "ZK1000009", "1.2.0");
    printer.plug();
    const std::vector<uint8_t> image = FirmwareImage::build("1.3.0", 96 * 1024);
    const std::string file =
        tempFile("flash.dfu", FirmwareImage::withDfuSuffix(image, 0x2B75, 0x0003));
    const Ran r = run(flashCommand("ZK1000009", file));
    ::unlink(file.c_str());
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Download done"), std::string::npos) << r.output;
    EXPECT_EQ(printer.dfu().booted(), std::vector<std::string>{"1.3.0"});
    EXPECT_EQ(printer.dfu().erasedPages(), 48);
    EXPECT_EQ(printer.dfu().writtenBlocks(), 48);
    EXPECT_EQ(printer.dfu().stalls(), 0);
    const std::vector<uint8_t> flash = printer.dfu().flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // Having started the firmware, the device left the bus.
    EXPECT_TRUE(eventually([&] { return !printer.isPlugged(); }));
}

TEST(DfuUtil, FailedWriteFailsTheRunWithoutDownloadDone)
{
    DfuTestDevice printer(9, "ZK1000009", "1.2.0");
    printer.dfu().failWrite(10);
    printer.plug();
    const std::string file =
        tempFile("fail.dfu", FirmwareImage::withDfuSuffix(FirmwareImage::build("1.3.0", 64 * 1024),
                                                          0x2B75, 0x0003));
    const Ran r = run(flashCommand("ZK1000009", file));
    ::unlink(file.c_str());
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("Download done"), std::string::npos) << r.output;
    EXPECT_TRUE(printer.dfu().booted().empty());
    EXPECT_TRUE(printer.isPlugged());
    // The old firmware is half overwritten: only a new download helps now.
    EXPECT_FALSE(FirmwareImage::version(printer.dfu().flash()));
}
