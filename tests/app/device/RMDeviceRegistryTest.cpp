// The registry against printers on the virtual bus: pending until a status
// answer, active after it, dropped on unplug, with the signals in order.
// The printers here answer status requests with a canned status (RawPrinter),
// so each test controls exactly when a printer answers.
#include "RawPrinter.h"
#include "SimQtTest.h"
#include "TestClient.h"

#include <RMDeviceEvents.h>
#include <RMDeviceRegistry.h>
#include <RMHandoff.h>

#include <QSignalSpy>

#include <atomic>

using namespace zelktest;

namespace {

const TrelDeviceAddress FIRST(1, 5);
const TrelDeviceAddress SECOND(1, 6);

std::string statusJson(const char* state)
{
    return std::string("{\"metadata\":{\"type\":\"status\"},\"printer\":{\"model_name\":\"Zelk\","
                       "\"firmware\":{\"name\":\"zelkfw\",\"version\":\"1.2.0\"}},\"status\":{"
                       "\"state\":\"ZK0001") +
           state + "\",\"extruder_temperature\":24.0}}";
}

// A printer that answers status requests while `answering` is set.
class AnsweringPrinter : public RawPrinter
{
public:
    AnsweringPrinter(uint8_t address = 5, bool answer = true) : RawPrinter(1, address)
    {
        answering = answer;
        setResponder([this](uint8_t endpoint, const std::string& write) {
            if (endpoint == 0x04 && write.find("\"type\":\"status\"") != std::string::npos) {
                ++requests;
                if (answering)
                    return statusJson(state.c_str());
            }
            return std::string();
        });
    }
    std::atomic<bool> answering{true};
    std::atomic<int> requests{0};
    std::string state = "IDLE";
};

// Records the job data of every RMJobDataEvent delivered to any object.
struct JobDataEvents : QObject
{
    bool eventFilter(QObject* receiver, QEvent* e) override
    {
        rmHandoffReceived(receiver); // ahead of the receiver's own event()
        if (e->type() == RMJobDataEvent::eventType())
            data.append(static_cast<RMJobDataEvent*>(e)->data);
        return false;
    }
    QList<QByteArray> data;
};

QVector<TrelDeviceAddress> ports(const QSignalSpy& spy, int i)
{
    return spy.at(i).at(0).value<QVector<TrelDeviceAddress>>();
}

} // namespace

class RMDeviceRegistryTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { RMDeviceRegistry::shutdown(); }

    void hotPluggedPrinterBecomesActiveOnItsFirstStatus()
    {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        AnsweringPrinter printer;
        printer.plug();
        QVERIFY(changed.wait(5000));
        QCOMPARE(ports(changed, 0), QVector<TrelDeviceAddress>{FIRST});
        QCOMPARE(registry->activePorts(), QVector<TrelDeviceAddress>{FIRST});
        QSharedPointer<RMDevice> device = registry->getDevice(FIRST);
        QCOMPARE(device->port(), FIRST);
        // The device already holds the status when the window hears of it.
        QCOMPARE(device->state(), RMDevice::Idle);
        QCOMPARE(device->model(), QString("Zelk"));
        QCOMPARE(registry->numOfRMDevicesAttached(), 1);
        QCOMPARE(registry->numOfDfuDevicesAttached(), 0);
    }

    void printerAttachedBeforeStartUpIsAnnouncedTheSameWay()
    {
        // Another client keeps the USB back end running, so the printer is
        // open before the registry's transport registers: no notice reaches
        // it, and only the registry's list_connected() pass can announce it.
        TestClient other;
        AnsweringPrinter printer;
        printer.plug();
        QVERIFY(other.waitConnected(FIRST));
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        QVERIFY(changed.wait(5000));
        QCOMPARE(registry->activePorts(), QVector<TrelDeviceAddress>{FIRST});
    }

    void silentPrinterStaysPendingIsRepolledAndVanishesQuietly()
    {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        AnsweringPrinter printer(5, false);
        printer.plug();
        QTRY_VERIFY_WITH_TIMEOUT(printer.requests >= 1, 5000);
        // Pending: not active, and the placeholder stands in for it.
        QSharedPointer<RMDevice> placeholder = registry->getDevice(FIRST);
        QCOMPARE(placeholder->port(), NO_PRINTER);
        QVERIFY(!placeholder->isOpen());
        // Polled again by the five-second timer.
        QTRY_VERIFY_WITH_TIMEOUT(printer.requests >= 2, 8000);
        printer.unplug();
        QTest::qWait(1200); // the disconnect has been handled
        QCOMPARE(changed.count(), 0);
        QVERIFY(registry->activePorts().isEmpty());
    }

    void unplugSignalsTheDeviceBeforeTheList()
    {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        AnsweringPrinter printer;
        printer.plug();
        QVERIFY(changed.wait(5000));
        QSharedPointer<RMDevice> device = registry->getDevice(FIRST);

        QStringList order;
        connect(device.data(), &RMDevice::stateChanged, this,
                [&](RMDevice::State s) { order << QStringLiteral("state %1").arg(s); });
        connect(device.data(), &RMDevice::deviceConnected, this,
                [&](bool c) { order << QStringLiteral("connected %1").arg(c); });
        connect(registry, &RMDeviceRegistry::devicesChanged, this,
                [&](const QVector<TrelDeviceAddress>& p) {
                    order << QStringLiteral("devices %1").arg(p.size());
                });
        printer.unplug();
        QVERIFY(changed.wait(5000));
        QCOMPARE(order, (QStringList{QStringLiteral("state %1").arg(RMDevice::Disconnected),
                                     "connected 0", "devices 0"}));
        QVERIFY(!device->isOpen());
        QCOMPARE(registry->getDevice(FIRST)->port(), NO_PRINTER);
    }

    void jobDataReachesActiveDevicesOnly()
    {
        // Every job-data event any device gets, from the start: data handed
        // to the pending device would arrive before a spy on the active one
        // could be attached.
        JobDataEvents seen;
        qApp->installEventFilter(&seen);
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        AnsweringPrinter printer(5, false);
        printer.plug();
        QTRY_VERIFY_WITH_TIMEOUT(printer.requests >= 1, 5000);
        printer.send(0x83, "{\"log\":\"while pending\"}");
        QTest::qWait(300);
        printer.answering = true;
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() == 1, 8000);

        printer.send(0x83, "{\"log\":\"active\"}");
        QTRY_VERIFY_WITH_TIMEOUT(!seen.data.isEmpty(), 5000);
        QTest::qWait(100);
        QCOMPARE(seen.data, QList<QByteArray>{"{\"log\":\"active\"}"});
        qApp->removeEventFilter(&seen);
    }

    void twoPrintersComeAndGo()
    {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        AnsweringPrinter first(5);
        AnsweringPrinter second(6);
        first.plug();
        QVERIFY(changed.wait(5000));
        second.plug();
        QVERIFY(changed.wait(5000));
        QCOMPARE(registry->activePorts(), (QVector<TrelDeviceAddress>{FIRST, SECOND}));
        QSharedPointer<RMDevice> keptFirst = registry->getDevice(FIRST);

        first.unplug();
        QVERIFY(changed.wait(5000));
        QCOMPARE(registry->activePorts(), QVector<TrelDeviceAddress>{SECOND});
        QVERIFY(!keptFirst->isOpen());

        first.plug();
        QVERIFY(changed.wait(5000));
        QCOMPARE(registry->activePorts(), (QVector<TrelDeviceAddress>{SECOND, FIRST}));
        // A printer that comes back is a new device object.
        QVERIFY(registry->getDevice(FIRST) != keptFirst);
        QVERIFY(registry->getDevice(FIRST)->isOpen());
        QCOMPARE(registry->numOfRMDevicesAttached(), 2);
    }

    void shutdownWithAPrinterAttachedEndsCleanly()
    {
        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        QSignalSpy changed(registry, &RMDeviceRegistry::devicesChanged);
        AnsweringPrinter printer;
        printer.plug();
        QVERIFY(changed.wait(5000));
        QSharedPointer<RMDevice> device = registry->getDevice(FIRST);
        device->queryVersion(); // work in flight at shutdown
        RMDeviceRegistry::shutdown();
        // The device outlives the registry here; closed, it asks nothing of
        // the library client that is gone.
        QVERIFY(!device->isOpen());
        QCOMPARE(device->queryVersion().result(), QString());
    }
};

ZELK_SIM_QTEST_MAIN(RMDeviceRegistryTest)
#include "RMDeviceRegistryTest.moc"
