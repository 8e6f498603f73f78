// zelk-firmware-image: writes a firmware image for the printer's bootloader
// (the virtual printer's, which checks it the same way) as a file that
// dfu-util flashes.
//
//   zelk-firmware-image [--dfuse] [--size BYTES] VERSION OUTPUT
//
// Without --dfuse the file is the raw image with a DFU suffix, which the
// desktop program's command line (-s 0x0:leave) downloads to address 0. With
// --dfuse it is a DfuSe file carrying that address itself, for command lines
// without an address.
#include <DfuFunction.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace {

constexpr uint16_t VENDOR = 0x2B75;
constexpr uint16_t PRODUCT_DFU = 0x0003;

int usage()
{
    std::fprintf(stderr, "usage: zelk-firmware-image [--dfuse] [--size BYTES] VERSION OUTPUT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    bool dfuse = false;
    size_t size = 96 * 1024;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (std::strcmp(argv[i], "--dfuse") == 0) {
            dfuse = true;
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            char* end = nullptr;
            size = std::strtoul(argv[++i], &end, 0);
            if (!end || *end)
                return usage();
        } else {
            return usage();
        }
    }
    if (argc - i != 2)
        return usage();
    const std::string version = argv[i], output = argv[i + 1];
    try {
        const std::vector<uint8_t> image = zelksim::FirmwareImage::build(version, size);
        const std::vector<uint8_t> file =
            dfuse ? zelksim::FirmwareImage::dfuseFile(image, 0, VENDOR, PRODUCT_DFU)
                  : zelksim::FirmwareImage::withDfuSuffix(image, VENDOR, PRODUCT_DFU);
        FILE* f = std::fopen(output.c_str(), "wb");
        if (!f) {
            std::perror(output.c_str());
            return 1;
        }
        const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
        if (std::fclose(f) != 0 || !written) {
            std::perror(output.c_str());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelk-firmware-image: %s\n", e.what());
        return 1;
    }
    return 0;
}
