// The one reader of dfu-util's listing (trel_dfu_parse_listing), which both
// TrelDfu and the desktop program's RMDFUDevice use.
#include <trel/TrelDfu.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// As dfu-util 0.11 prints a printer in firmware-update mode.
const std::string LINE =
    "Found DFU: [2b75:0003] ver=0100, devnum=9, cfg=1, intf=0, path=\"1-9\", alt=0, "
    "name=\"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg\", serial=\"ZK1000009\"\n";

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

} // namespace

TEST(DfuListing, Lines)
{
    struct Case
    {
        const char* what;
        std::string output;
        std::vector<std::string> devices; // vendor:product:serial:alt:path:name
    };
    const std::string printer =
        "2b75:0003:ZK1000009:0:1-9:@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";
    const Case cases[] = {
        {"dfu-util's line among its banner",
         "dfu-util 0.11\n\nCopyright 2005-2009 Weston Schmidt, Harald Welte and OpenMoko Inc.\n\n" +
             LINE,
         {printer}},
        {"any text between the ids and the serial",
         "Found DFU: [12ab:34cd] x y z serial=\"ABC123\"\n",
         {"12ab:34cd:ABC123:::"}},
        {"once per alternate setting, kept twice",
         LINE + replaced(replaced(LINE, "alt=0", "alt=1"), "@Internal Flash", "@Option Bytes"),
         {printer,
          "2b75:0003:ZK1000009:1:1-9:@Option Bytes  /0x08000000/04*016Kg,01*064Kg,07*128Kg"}},
        {"two printers in output order",
         LINE + replaced(LINE, "ZK1000009", "B2"),
         {printer, replaced(printer, "ZK1000009", "B2")}},
        {"a name that holds a serial field and quotes",
         replaced(LINE, "@Internal Flash", "serial=\"FAKE\", \"x\""),
         {replaced(printer, "@Internal Flash", "serial=\"FAKE\", \"x\"")}},
        {"carriage returns and tabs as blanks",
         "Found\tDFU:  [2b75:0003] alt=0, serial=\"A1\"\r\n",
         {"2b75:0003:A1:0::"}},
        {"no serial", replaced(LINE, ", serial=\"ZK1000009\"", ""), {}},
        {"an empty serial", replaced(LINE, "ZK1000009", ""), {}},
        {"an unquoted serial", "Found DFU: [2b75:0003] ver=0100, serial=ZK1000009\n", {}},
        {"a serial with a dash", replaced(LINE, "ZK1000009", "ZK1-000009"), {}},
        {"a serial without its closing quote", replaced(LINE, "ZK1000009\"", "ZK1000009"), {}},
        {"the last line without its line end", LINE.substr(0, LINE.size() - 1), {}},
        {"a device in run-time mode", replaced(LINE, "Found DFU", "Found Runtime"), {}},
        {"ids that are not letters and digits", replaced(LINE, "2b75:0003", "2b-5:0003"), {}},
        {"empty ids", "Found DFU: [:] serial=\"A1\"\n", {}},
        {"the shell's complaint", "sh: 1: ./dfu-util: not found\n", {}},
        {"garbage", std::string("\x01\xff[]::\"\"\n\0Found DFU: [:] serial=\"\"\n\xfe", 36), {}},
        {"nothing", "", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> found;
        for (const TrelDfuListing& d : trel_dfu_parse_listing(c.output))
            found.push_back(d.vendor + ":" + d.product + ":" + d.serial + ":" + d.alt + ":" +
                            d.path + ":" + d.name);
        EXPECT_EQ(found, c.devices) << c.what;
    }
}
