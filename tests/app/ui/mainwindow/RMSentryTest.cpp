// The guard of main(): the device logger's lines, never twice for one
// transition however often the list of printers changes, and the registry
// shut down with the guard.
#include "MainWindowTestSupport.h"

#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <RMDeviceRegistry.h>
#include <RMSentry.h>

#include <QSignalSpy>

#include <memory>

using namespace zelktest;
using zelksim::VirtualPrinter;

namespace {

QStringList lines;

void collect(QtMsgType, const QMessageLogContext& context, const QString& text)
{
    if (QByteArray(context.category) == "default")
        lines << text;
}

VirtualPrinter::Options at(uint8_t address)
{
    VirtualPrinter::Options o;
    o.address = address;
    return o;
}

} // namespace

class RMSentryTest : public QObject
{
    Q_OBJECT

private slots:
    void logsIdentityAndEachTransitionOnce()
    {
        VirtualPrinter first(simBus(), at(5));
        VirtualPrinter second(simBus(), at(6));
        first.printModel().setAnnounceChanges(true);
        auto guard = std::make_unique<RMSentry>();
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        connect(registry, &RMDeviceRegistry::devicesChanged, guard.get(), &RMSentry::logDevices);
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        lines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(collect);

        first.plug();
        QVERIFY(changed.wait(10000));
        // The second printer's arrival logs both again.
        second.plug();
        QVERIFY(changed.wait(10000));
        QCOMPARE(lines.count("Printer port: 1:5"), 2);
        QCOMPARE(lines.count("Printer port: 1:6"), 1);
        QVERIFY(lines.contains("Printer model: \"Zelk\""));
        QVERIFY(lines.contains("Printer firmware version: \"1.2.0\""));
        QVERIFY(lines.contains("Printer protocol version: 1"));

        QSharedPointer<RMDevice> device = registry->getDevice(TrelDeviceAddress(1, 5));
        QSignalSpy state(device.data(), &RMDevice::stateChanged);
        QCOMPARE(first.printModel().unloadFilament(), 0);
        QVERIFY(state.wait(10000));
        qInstallMessageHandler(previous);
        QCOMPARE(lines.count("Port 1:5 printer state transition: Idle -> UnloadHeating"), 1);

        guard.reset(); // shuts the registry down
        QVERIFY(!device->isOpen());
    }
};

ZELK_SIM_WIDGETS_TEST_MAIN(RMSentryTest)
#include "RMSentryTest.moc"
