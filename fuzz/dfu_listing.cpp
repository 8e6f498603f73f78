// The reader of a dfu-util device listing (`dfu-util -l`), libtrel's
// trel_dfu_parse_listing, through both its users: the library's
// (TrelDfu::parse_devices) and the program's (RMDFUDevice::parseListing).
// Whatever dfu-util prints, a device they report carries the identifiers a
// later `dfu-util -d VID:PID -S SERIAL` is built from: non-empty, letters and
// digits only; and both users see the same devices.
//
// Input: the listing text.
#include "FuzzSupport.h"

#include <RMDFUDevice.h>

#include <trel/TrelDfu.h>

#include <QRegularExpression>

namespace {

bool alphanumeric(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

bool alphanumeric(const QString& text)
{
    return alphanumeric(text.toStdString());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    using zelkfuzz::check;
    const std::string output(reinterpret_cast<const char*>(data), size);

    const std::list<TrelDfu::DfuDevice_t> listed = TrelDfu::parse_devices(output);
    for (const TrelDfu::DfuDevice_t& d : listed) {
        check(alphanumeric(d.vendor) && alphanumeric(d.product),
              "the library's listing gives alphanumeric USB ids");
        check(alphanumeric(d.serial), "the library's listing gives an alphanumeric serial");
    }
    const QList<RMDFUDevice> devices = RMDFUDevice::parseListing(
        QStringLiteral("/usr/bin/dfu-util"), QString::fromUtf8(output.data(), int(output.size())));
    for (const RMDFUDevice& d : devices) {
        check(alphanumeric(d.vid()) && alphanumeric(d.pid()),
              "the program's listing gives alphanumeric USB ids");
        check(alphanumeric(d.serial()), "the program's listing gives an alphanumeric serial");
    }
    // Equal wherever the text is UTF-8 (the program reads dfu-util's output so).
    if (QString::fromUtf8(output.data(), int(output.size())).toStdString() == output) {
        check(size_t(devices.size()) == listed.size(), "both users list as many devices");
        auto it = listed.begin();
        for (const RMDFUDevice& d : devices) {
            check(d.serial().toStdString() == it->serial, "both users read the same serial");
            ++it;
        }
    }
    return 0;
}
