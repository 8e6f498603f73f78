// How a device follows its printer's status messages: state and error
// mapping, firmware validity, and exactly which signals come in which order.
// No printer is needed: status messages are handed to the device directly.
#include <RMDevice.h>

#include <QSignalSpy>
#include <QTest>

namespace {

TrelJobInterface::StatusMsg status(const std::string& state, int error = 0,
                                   const std::string& version = "1.0.0")
{
    TrelJobInterface::StatusMsg s;
    s.status.state = state;
    s.error = error;
    s.printer.firmware.version = version;
    return s;
}

} // namespace

class RMDeviceStatusTest : public QObject
{
    Q_OBJECT

private slots:
    void stateFromTheStringAfterItsPrefix_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("state");
        QTest::newRow("idle") << "ZK0001IDLE" << int(RMDevice::Idle);
        QTest::newRow("any prefix") << "######BUILDING" << int(RMDevice::Building);
        QTest::newRow("out of filament") << "abcdefFILAMENT_OUT" << int(RMDevice::OutOfFilament);
        QTest::newRow("homing fine") << "ZK0001HOMING_Z_FINE" << int(RMDevice::HomingZFine);
        QTest::newRow("six characters keep the state") << "ZK0001" << int(RMDevice::Paused);
        QTest::newRow("short keeps the state") << "IDLE" << int(RMDevice::Paused);
        QTest::newRow("unknown keeps the state") << "ZK0001SLEEPING" << int(RMDevice::Paused);
        QTest::newRow("case matters") << "ZK0001idle" << int(RMDevice::Paused);
        QTest::newRow("no prefix is not a match") << "IDLE_X" << int(RMDevice::Paused);
    }
    void stateFromTheStringAfterItsPrefix()
    {
        QFETCH(QString, text);
        QFETCH(int, state);
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        device.statusMessage(status("ZK0001PAUSED"));
        device.statusMessage(status(text.toStdString()));
        QCOMPARE(int(device.state()), state);
    }

    void errorCodes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("error");
        QTest::newRow("none") << 0 << int(RMDevice::NoError);
        QTest::newRow("already loaded") << 6 << int(RMDevice::FilamentAlreadyLoaded);
        QTest::newRow("load timeout 8") << 8 << int(RMDevice::LoadTimeout);
        QTest::newRow("load timeout 9") << 9 << int(RMDevice::LoadTimeout);
        QTest::newRow("already unloaded") << 11 << int(RMDevice::FilamentAlreadyUnloaded);
        QTest::newRow("unload timeout") << 13 << int(RMDevice::UnloadTimeout);
        QTest::newRow("seven") << 7 << int(RMDevice::UnknownError);
        QTest::newRow("negative") << -3 << int(RMDevice::UnknownError);
        QTest::newRow("large") << 400 << int(RMDevice::UnknownError);
    }
    void errorCodes()
    {
        QFETCH(int, code);
        QFETCH(int, error);
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        QSignalSpy spy(&device, &RMDevice::error);
        device.statusMessage(status("ZK0001IDLE", code));
        QCOMPARE(int(device.lastError()), error);
        QCOMPARE(spy.count(), code ? 1 : 0);
    }

    void sameErrorIsSignalledOnce()
    {
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        QSignalSpy spy(&device, &RMDevice::error);
        device.statusMessage(status("ZK0001IDLE", 9));
        device.statusMessage(status("ZK0001IDLE", 8)); // the same error, another code
        QCOMPARE(spy.count(), 1);
        device.statusMessage(status("ZK0001IDLE", 0)); // cleared without a signal
        QCOMPARE(device.lastError(), RMDevice::NoError);
        QCOMPARE(spy.count(), 1);
        device.statusMessage(status("ZK0001IDLE", 8)); // and reported anew
        QCOMPARE(spy.count(), 2);
    }

    void firmwareValidity_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("valid");
        QTest::newRow("development build") << "0.0.0" << true;
        QTest::newRow("too old") << "0.8.9" << false;
        QTest::newRow("minimum") << "0.9.0" << true;
        QTest::newRow("release candidate of the minimum") << "0.9.0-rc1" << true;
        QTest::newRow("newer") << "1.0.0" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("garbage") << "unknown" << false;
    }
    void firmwareValidity()
    {
        QFETCH(QString, version);
        QFETCH(bool, valid);
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        QSignalSpy spy(&device, &RMDevice::fwValidChanged);
        device.statusMessage(status("ZK0001IDLE", 0, version.toStdString()));
        QCOMPARE(device.isFirmwareValid(), valid);
        QCOMPARE(spy.count(), valid ? 1 : 0);
    }

    void onlyWhatChangedIsSignalled()
    {
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        TrelJobInterface::StatusMsg s = status("ZK0001BUILDING");
        s.printer.model_name = "Zelk";
        s.status.extruder_temperature = 200.0;
        device.statusMessage(s);

        QList<QByteArray> order;
        recordAll(&device, order);
        s.status.extruder_temperature = 201.5;
        device.statusMessage(s);
        QCOMPARE(order, QList<QByteArray>{"temperatureChanged"});
    }

    void goingAwaySignalsInOrder()
    {
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        TrelJobInterface::StatusMsg s = status("ZK0001BUILDING", 8, "1.2.0");
        s.printer.model_name = "Zelk";
        s.printer.cpu_id = "c0ffee";
        s.printer.firmware.name = "zelkfw";
        s.printer.accept_version = 3;
        s.job.progress = 40;
        s.status.extruder_temperature = 205.0;
        device.statusMessage(s);
        QVERIFY(device.isOpen());

        QList<QByteArray> order;
        recordAll(&device, order);
        QSignalSpy state(&device, &RMDevice::stateChanged);
        device.setConnected(false);
        QCOMPARE(order, (QList<QByteArray>{
                            "stateChanged", "modelChanged", "cpuIdChanged", "fwNameChanged",
                            "fwVersionChanged", "protoVersionChanged", "printProgressChanged",
                            "temperatureChanged", "fwValidChanged", "deviceConnected"}));
        QCOMPARE(state.at(0).at(0).value<RMDevice::State>(), RMDevice::Disconnected);
        QCOMPARE(state.at(0).at(1).value<RMDevice::State>(), RMDevice::Building);
        QVERIFY(!device.isOpen());
        QCOMPARE(device.lastError(), RMDevice::NoError);
        QCOMPARE(device.state(), RMDevice::Disconnected);

        // Going away again still says so.
        order.clear();
        device.setConnected(false);
        QCOMPARE(order, (QList<QByteArray>{"stateChanged", "deviceConnected"}));
    }

    void everyAnswerIsSignalledAfterItsChanges()
    {
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        QList<QByteArray> order;
        recordAll(&device, order);
        connect(&device, &RMDevice::statusReceived, this,
                [&order] { order.append("statusReceived"); });
        device.statusMessage(status("ZK0001BUILDING"));
        QCOMPARE(order.size(), 4);
        QCOMPARE(order.last(), QByteArray("statusReceived"));
        order.clear();
        device.statusMessage(status("ZK0001BUILDING")); // nothing changed: still an answer
        QCOMPARE(order, QList<QByteArray>{"statusReceived"});
        order.clear();
        device.setConnected(false); // cleared, but nobody answered
        QVERIFY(!order.contains("statusReceived"));
        QVERIFY(!order.isEmpty());
    }

    void queriesOfAClosedDeviceYieldDefaultsWithoutAPrinter()
    {
        RMDevice device(TrelDeviceAddress(1, 5), nullptr); // no client: must not be touched
        device.setConnected(false);
        QCOMPARE(device.queryVersion().result(), QString());
        QCOMPARE(device.sendGCode("G28").result(), false);
        QCOMPARE(device.sendJob("/tmp/x.gcode"), nullptr);
        device.pollStatus();
        device.startFilamentLoad();
        device.raiseHead().waitForFinished();
    }

private:
    // Records the name of every signal the device emits, in order.
    void recordAll(RMDevice* device, QList<QByteArray>& order)
    {
        auto add = [&order](const char* name) { return [&order, name] { order.append(name); }; };
        connect(device, &RMDevice::modelChanged, this, add("modelChanged"));
        connect(device, &RMDevice::cpuIdChanged, this, add("cpuIdChanged"));
        connect(device, &RMDevice::fwNameChanged, this, add("fwNameChanged"));
        connect(device, &RMDevice::fwVersionChanged, this, add("fwVersionChanged"));
        connect(device, &RMDevice::protoVersionChanged, this, add("protoVersionChanged"));
        connect(device, &RMDevice::stateChanged, this, add("stateChanged"));
        connect(device, &RMDevice::printProgressChanged, this, add("printProgressChanged"));
        connect(device, &RMDevice::deviceConnected, this, add("deviceConnected"));
        connect(device, &RMDevice::temperatureChanged, this, add("temperatureChanged"));
        connect(device, &RMDevice::error, this, add("error"));
        connect(device, &RMDevice::fwValidChanged, this, add("fwValidChanged"));
        connect(device, &RMDevice::jobDataReceived, this, add("jobDataReceived"));
    }
};

QTEST_GUILESS_MAIN(RMDeviceStatusTest)
#include "RMDeviceStatusTest.moc"
