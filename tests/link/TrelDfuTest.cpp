// The link library's own dfu-util front end: its parser, the command lines it
// hands to the shell (nothing in a path or file name may run), its progress
// and its verdict, against a scripted stand-in and then against Debian's
// dfu-util and a printer in firmware-update mode on the virtual bus.
#include "DfuTestDevice.h"
#include "SimEnvironment.h"

#include <DfuFunction.h>
#include <trel/TrelDfu.h>
#include <trel/TrelException.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zelktest;
using zelksim::FirmwareImage;

namespace {

std::vector<double> seen;
std::vector<std::string> seenSerials;

void record(double percent, TrelDfu::DfuDevice_t device)
{
    seen.push_back(percent);
    seenSerials.push_back(device.serial);
}

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs each test in a fresh working directory whose name has a space, a
// quote and a command substitution in it, and goes back afterwards.
class DfuHelper : public testing::Test
{
protected:
    void SetUp() override
    {
        char base[] = "/tmp/zelk-treldfu-XXXXXX";
        ASSERT_TRUE(mkdtemp(base));
        root = base;
        dir = root + "/it's a $(touch pwned) dir";
        ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
        char cwd[4096];
        ASSERT_TRUE(getcwd(cwd, sizeof cwd));
        previous = cwd;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        seen.clear();
        seenSerials.clear();
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(previous.c_str()), 0);
        // Nothing in a name ran.
        EXPECT_NE(access((dir + "/pwned").c_str(), F_OK), 0);
        EXPECT_NE(access((previous + "/pwned").c_str(), F_OK), 0);
        EXPECT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
    }

    // A stand-in dfu-util in the working directory: records its arguments one
    // a line, prints `output`, exits with `code`.
    void standIn(const std::string& output, int code)
    {
        writeFile(dir + "/out", output);
        writeFile(dir + "/dfu-util",
                  "#!/bin/sh\nd=$(dirname \"$0\")\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; "
                  "done > \"$d/args\"\ncat \"$d/out\"\necho complaint >&2\nexit " +
                      std::to_string(code) + "\n");
        chmod((dir + "/dfu-util").c_str(), 0700);
    }
    std::string arguments() const { return readFile(dir + "/args"); }

    std::string root, dir, previous;
};

const TrelDfu::DfuDevice_t PRINTER{"2b75", "0003", "ZK1000009"};

} // namespace

TEST(TrelDfuQuote, AnyTextIsOneWord)
{
    EXPECT_EQ(shell_quote("plain"), "'plain'");
    EXPECT_EQ(shell_quote("a b"), "'a b'");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    EXPECT_EQ(shell_quote(""), "''");
}

TEST_F(DfuHelper, ListsThroughDfuUtilInTheWorkingDirectory)
{
    standIn("Found DFU: [2b75:0003] ver=0100, serial=\"ZK1000009\"\n", 0);
    TrelDfu dfu;
    const std::list<TrelDfu::DfuDevice_t> devices = dfu.GetDfuDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices.front().serial, "ZK1000009");
    EXPECT_EQ(arguments(), "-l\n");
}

TEST_F(DfuHelper, MissingDfuUtilListsNothing)
{
    TrelDfu dfu;
    EXPECT_TRUE(dfu.GetDfuDevices().empty());
}

TEST_F(DfuHelper, FileNamesReachDfuUtilAsOneArgument)
{
    standIn(" 100% \nDownload done.\n", 0);
    const std::string file = dir + "/new \"firmware\" $(touch pwned) `touch pwned`;.dfu";
    TrelDfu dfu;
    dfu.UpdateDevice(PRINTER, file, nullptr);
    EXPECT_EQ(arguments(), "-d\n2b75:0003\n-a\n0\n-S\nZK1000009\n-D\n" + file + "\n");
}

TEST_F(DfuHelper, ProgressAsDfuUtilPrintsIt)
{
    standIn("Erase 10% then 50%\tand 100% \n", 0);
    TrelDfu dfu;
    dfu.UpdateDevice(PRINTER, "f.dfu", record);
    EXPECT_EQ(seen, (std::vector<double>{0, 10, 50, 100, 100}));
    EXPECT_EQ(seenSerials.front(), "ZK1000009");
}

TEST_F(DfuHelper, Verdict)
{
    struct Case
    {
        const char* what;
        std::string output;
        int code;
        bool succeeds;
    };
    const Case cases[] = {
        {"progress and a clean exit", " 45% \n 100% \n", 0, true},
        {"progress, error exit after Download done", " 100% \nDownload done.\n", 74, true},
        {"erase progress, then a failed download", "Erase 100% \nError during download\n", 74,
         false},
        {"no percentage at all", "Download done.\n", 0, false},
        // A percentage cut in two by the 127-byte reads is not seen.
        {"only a split percentage", std::string(125, 'x') + " 42% \n", 0, false},
    };
    for (const Case& c : cases) {
        standIn(c.output, c.code);
        seen.clear();
        TrelDfu dfu;
        if (c.succeeds) {
            EXPECT_NO_THROW(dfu.UpdateDevice(PRINTER, "f.dfu", record)) << c.what;
        } else {
            try {
                dfu.UpdateDevice(PRINTER, "f.dfu", record);
                ADD_FAILURE() << c.what << ": no exception";
            } catch (const TrelException& e) {
                // The log holds dfu-util's standard error too.
                EXPECT_EQ(std::string(e.what()),
                          "Failed to update device, pipe log: " + c.output + "complaint\n")
                    << c.what;
            }
        }
        // Bracketed by 0 and 100 either way.
        ASSERT_GE(seen.size(), 2u) << c.what;
        EXPECT_EQ(seen.front(), 0.0) << c.what;
        EXPECT_EQ(seen.back(), 100.0) << c.what;
    }
}

TEST_F(DfuHelper, FlashesAPrinterWithDebiansDfuUtil)
{
    ASSERT_EQ(symlink("/usr/bin/dfu-util", (dir + "/dfu-util").c_str()), 0);
    DfuTestDevice printer(9, "ZK1000009", "1.2.0");
    printer.plug();
    TrelDfu dfu;
    const std::list<TrelDfu::DfuDevice_t> devices = dfu.GetDfuDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices.front().vendor, "2b75");
    EXPECT_EQ(devices.front().product, "0003");
    EXPECT_EQ(devices.front().serial, "ZK1000009");

    // Its command line names no address, so the file carries it: DfuSe.
    const std::vector<uint8_t> image = FirmwareImage::build("1.3.0", 32 * 1024);
    const std::vector<uint8_t> file = FirmwareImage::dfuseFile(image, 0, 0x2B75, 0x0003);
    const std::string path = dir + "/firmware 1.3.0.dfu";
    writeFile(path, std::string(file.begin(), file.end()));
    dfu.UpdateDevice(devices.front(), path, record);
    EXPECT_GT(seen.size(), 4u);
    const std::vector<uint8_t> flash = printer.dfu().flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(printer.dfu().stalls(), 0);
    // Without "leave" the printer stays in firmware-update mode.
    EXPECT_TRUE(printer.dfu().booted().empty());
    EXPECT_TRUE(printer.isPlugged());
}
