// Device layer figures against a virtual printer over the real libusb:
//  - from plugging the printer to the registry's devicesChanged (one bus scan,
//    the first status poll and its answer);
//  - the round trip of RMDevice::pollStatus to the signals of the status it
//    brings back (stateChanged when the state moved, else temperatureChanged
//    of a warming hot end), median and 95th percentile.
#include <FirmwareModel.h>
#include <VirtualBus.h>
#include <VirtualPrinter.h>

#include <RMDeviceRegistry.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Runs the event loop until `signal` of `sender` fires or 5 s pass.
template <typename Sender, typename Signal>
bool waitFor(Sender* sender, Signal signal)
{
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 0;
}

} // namespace

int main(int argc, char** argv)
{
    zelksim::VirtualBus::ensurePreloaded(argv);
    zelksim::VirtualBus bus;
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    std::vector<double> plugs;
    for (int round = 0; round < 10; ++round) {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        zelksim::VirtualPrinter printer(bus);
        QElapsedTimer timer;
        timer.start();
        printer.plug();
        if (!waitFor(registry, &RMDeviceRegistry::devicesChanged)) {
            std::fprintf(stderr, "the printer never became active\n");
            return 1;
        }
        plugs.push_back(timer.nsecsElapsed() / 1e6);
        RMDeviceRegistry::shutdown();
    }
    std::sort(plugs.begin(), plugs.end());
    std::printf("plug to devicesChanged (%zu plugs): median %.0f ms, worst %.0f ms\n", plugs.size(),
                plugs[plugs.size() / 2], plugs.back());

    RMDeviceRegistry* registry = RMDeviceRegistry::instance();
    zelksim::VirtualPrinter printer(bus);
    printer.plug();
    waitFor(registry, &RMDeviceRegistry::devicesChanged);
    QSharedPointer<RMDevice> device = registry->getDevice(TrelDeviceAddress(1, 5));
    // A hot end warming quickly: every status brings a new temperature.
    printer.setTimeScale(20);
    printer.firmware().setExtruderTarget(215.0);

    std::vector<double> polls;
    for (int i = 0; i < 100; ++i) {
        QEventLoop loop;
        auto quit = [&loop] { loop.quit(); };
        QObject::connect(device.data(), &RMDevice::stateChanged, &loop, quit);
        QObject::connect(device.data(), &RMDevice::temperatureChanged, &loop, quit);
        QTimer::singleShot(1000, &loop, [&loop] { loop.exit(1); });
        QElapsedTimer timer;
        timer.start();
        device->pollStatus();
        if (loop.exec() == 0)
            polls.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(polls.begin(), polls.end());
    if (polls.empty()) {
        std::fprintf(stderr, "no status came back\n");
        return 1;
    }
    std::printf("pollStatus to the status's signals (%zu polls): median %.2f ms, p95 %.2f ms\n",
                polls.size(), polls[polls.size() / 2], polls[polls.size() * 95 / 100]);
    device.reset();
    RMDeviceRegistry::shutdown();
    return 0;
}
