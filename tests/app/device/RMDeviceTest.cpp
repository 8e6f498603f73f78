// A device's actions against virtual printers over the real libusb: Wi-Fi,
// head moves on the Z servo, G-code, uploads (and their failures), polls.
#include "Eventually.h"
#include "RawPrinter.h"
#include "SimQtTest.h"
#include "TestClient.h"

#include <FirmwareModel.h>
#include <PrintJobModel.h>
#include <VirtualPrinter.h>

#include <RMDevice.h>
#include <RMWiFi.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryFile>

#include <trel/TrelUsb.h>

#include <memory>

using namespace zelktest;
using zelksim::VirtualPrinter;
using namespace std::chrono_literals;

namespace {

const TrelDeviceAddress PRINTER(1, 5);

TrelJobInterface::StatusMsg state(const char* s)
{
    TrelJobInterface::StatusMsg m;
    m.status.state = s;
    return m;
}

} // namespace

class RMDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { RMDevice::setZPollInterval(20); }

    void identityAndGcode()
    {
        VirtualPrinter printer(simBus());
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);
        QCOMPARE(device.queryVersion().result(), QString("1.2.0"));
        QCOMPARE(device.querySerial().result(), QString("ZK1-000001"));
        QCOMPARE(device.sendGCode("G28").result(), true);
        QCOMPARE(device.sendGCode("nonsense").result(), false);
        QCOMPARE(device.queryStoreConnected().result(), false);
        QCOMPARE(printer.firmware().gcodeLog(), (std::vector<std::string>{"G28", "nonsense"}));
        QCOMPARE(device.numDevicesAttached(), qMakePair(1, 0));
    }

    void headMovesFollowTheirSequences()
    {
        VirtualPrinter printer(simBus());
        printer.setTimeScale(50);
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);

        const double start = printer.firmware().zPositionMm();
        device.raiseHead().waitForFinished();
        // Up 35 mm, then unjammed 5 mm down from there.
        QCOMPARE(printer.firmware().zPositionMm(), start + 30.0);
        QVERIFY(!printer.firmware().zMoving());
        const auto gcode = printer.firmware().gcodeLog();
        QCOMPARE(std::count(gcode.begin(), gcode.end(), "M400"), 2L);

        // Bumped up to the top stop, unjammed, then 120 mm down from there.
        device.lowerHeadToShipment().waitForFinished();
        QCOMPARE(printer.firmware().zPositionMm(), 140.0 - 5.0 - 120.0);

        // The caps were restored.
        TrelCommandInterface& fw = client;
        const servo_dc_client_config_t config = fw.servo_dc_config_get(PRINTER, SERVO_DC_Z);
        QCOMPARE(config.pwm_cap, 3580);
        QCOMPARE(config.pwm_cap_time, 200u);
    }

    void wifiOperations()
    {
        VirtualPrinter printer(simBus());
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);

        RMWiFiStatus status = device.queryWiFiStatus().result();
        QVERIFY(!status.connected());
        QVERIFY(status.ip().isNull());
        QCOMPARE(status.ssid(), QString());
        QCOMPARE(status.macAddress(), QString("0:1a:2b:3:4:5"));

        const QList<RMWiFiNetwork> networks = device.scanWiFi().result();
        QCOMPARE(networks.size(), 5);
        QCOMPARE(networks[0].ssid, QString("ZelkLab"));
        QCOMPARE(networks[0].security, RMDevice::WIFI_WPA_PSK); // encryption 3
        QCOMPARE(networks[1].security, RMDevice::WIFI_OPEN);
        QCOMPARE(networks[2].security, RMDevice::WIFI_WEP);
        QCOMPARE(networks[3].security, RMDevice::WIFI_WPA_PSK);
        QVERIFY(!networks[4].known); // encryption 4: listed, marked unknown
        QVERIFY(networks[4].security != RMDevice::WIFI_OPEN);

        QCOMPARE(device.connectWifi("ZelkLab", "wrong").result(), false);
        QCOMPARE(device.connectWifi("ZelkLab", "correct horse").result(), true);
        status = device.queryWiFiStatus().result();
        QVERIFY(status.connected());
        QCOMPARE(status.ip().toString(), QString("192.168.1.57"));
        QCOMPARE(status.subnetMask().toString(), QString("255.255.255.0"));
        QCOMPARE(status.defaultGateway().toString(), QString("192.168.1.1"));
        QCOMPARE(status.ssid(), QString("ZelkLab"));
        QCOMPARE(device.queryStoreConnected().result(), true);
        QCOMPARE(device.disconnectWifi().result(), true);
        QVERIFY(!device.queryWiFiStatus().result().connected());

        QCOMPARE(device.setWiFiConfig("Caf\u00e9", "s3cret", true).result(), true);
        const RMWiFiConfig config = device.queryWiFiConfig().result();
        // setWiFiConfig sends UTF-8, which the config reads back byte by byte.
        QCOMPARE(config.ssid(), QString::fromLatin1("Caf\xc3\xa9"));
        QCOMPARE(config.password(), QString("s3cret"));
        QVERIFY(config.data().ifc_config.auto_connect);
    }

    void ssidsAreCutTo32AndTheTwoEncodingsDiffer()
    {
        VirtualPrinter printer(simBus());
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);

        const QString longName = QString("N").repeated(40);
        zelksim::FirmwareModel::WifiNetwork net{std::string(32, 'N'), 0, -40, ""};
        printer.firmware().setWifiNetworks({net});
        QCOMPARE(device.connectWifi(longName, QString()).result(), true);
        QCOMPARE(printer.firmware().wifiConnectedSsid(), std::string(32, 'N'));

        // connectWifi: one byte per character (e with acute is 0xE9, a
        // character beyond Latin-1 becomes 0 and ends the name).
        printer.firmware().setWifiNetworks({{"Caf\xe9", 0, -40, ""}});
        QCOMPARE(device.connectWifi(QString("Caf\u00e9"), QString()).result(), true);

        device.setWiFiConfig(longName, QString("p").repeated(80), false).waitForFinished();
        const RMWiFiConfig config = device.queryWiFiConfig().result();
        QCOMPARE(config.ssid(), QString("N").repeated(32));
        QCOMPARE(config.password(), QString("p").repeated(64));
    }

    void uploadReportsProgressAndReleasesTheDevice()
    {
        RawPrinter printer;
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);

        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(QByteArray(12000, 'G'));
        file.close();

        RMJobSend* send = device.sendJob(file.fileName());
        QVERIFY(send);
        QCOMPARE(device.sendJob(file.fileName()), nullptr); // one at a time
        QSignalSpy progress(send, &RMJobSend::progressChanged);
        QSignalSpy done(send, &RMJobSend::done);
        QVERIFY(done.wait(5000) || done.count() == 1);
        QCOMPARE(done.count(), 1);
        QVERIFY(send->isDone());
        QVERIFY(!send->isFailed());
        QList<int> values;
        for (const auto& args : progress)
            values << args.at(0).toInt();
        QCOMPARE(values, (QList<int>{0, 42, 85, 99, 100}));

        RMJobSend* next = device.sendJob(file.fileName());
        QVERIFY(next);
        QVERIFY(QSignalSpy(next, &RMJobSend::done).wait(5000));
    }

    void failedUploadIsReportedAndReleasesTheDevice()
    {
        RawPrinter printer;
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);

        RMJobSend* missing = device.sendJob("/nonexistent/part.gcode");
        QVERIFY(missing);
        QSignalSpy failed(missing, &RMJobSend::failed);
        QVERIFY(failed.wait(5000));
        QCOMPARE(failed.at(0).at(0).toString(), QString("Failed to open job file."));
        QVERIFY(missing->isFailed());
        QVERIFY(!missing->isDone());

        // The printer goes away in the middle of an upload.
        QTemporaryFile big;
        QVERIFY(big.open());
        big.write(QByteArray(2 * 1024 * 1024, 'G'));
        big.close();
        // The printer takes no data for a while (its writes time out and are
        // retried), so the upload is certainly still running when the cable
        // goes, however busy the machine is.
        printer.usb().holdOutUrbs(0x04, 3);
        RMJobSend* send = device.sendJob(big.fileName());
        QVERIFY(send); // the failed one released the device
        QSignalSpy lost(send, &RMJobSend::failed);
        QTest::qWait(200);
        printer.unplug();
        QVERIFY(lost.wait(15000));
        QVERIFY(!send->isDone());
    }

    // A device is let go of once its printer is gone; its upload went with it
    // unheard, whether the upload's failure was still on its way or the
    // upload had not even begun.
    void uploadEndingWithItsDeviceIsReported()
    {
        VirtualPrinter printer(simBus());
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        TrelUsb::set_write_timeout(100);
        QTemporaryFile big;
        QVERIFY(big.open());
        big.write(QByteArray(2 * 1024 * 1024, 'G'));
        big.close();

        // Cut in the middle: no event loop runs between the pull and the end.
        auto device = std::make_unique<RMDevice>(PRINTER, &client);
        RMJobSend* send = device->sendJob(big.fileName());
        QVERIFY(send);
        QVERIFY(QSignalSpy(send, &RMJobSend::progressChanged).wait(5000));
        QSignalSpy failed(send, &RMJobSend::failed);
        printer.unplug();
        device.reset();
        QCOMPARE(failed.count(), 1);
        QVERIFY(!failed.at(0).at(0).toString().isEmpty());

        // Never begun: queued behind a write the printer does not take.
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        device = std::make_unique<RMDevice>(PRINTER, &client);
        printer.timeoutWrites(VirtualPrinter::Job, 100);
        device->sendJobData("M117 stuck");
        send = device->sendJob(big.fileName());
        QVERIFY(send);
        QSignalSpy dropped(send, &RMJobSend::failed);
        QSignalSpy progress(send, &RMJobSend::progressChanged);
        device.reset();
        QCOMPARE(dropped.count(), 1);
        QCOMPARE(progress.count(), 0);
        TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
    }

    // A progress slot may spin the event loop (a modal progress dialog's
    // does), and the printer and its device may go in it: the upload must
    // not be touched after, and still ends exactly once.
    void uploadGoneInsideItsOwnProgressSlot()
    {
        VirtualPrinter printer(simBus());
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        QTemporaryFile big;
        QVERIFY(big.open());
        big.write(QByteArray(2 * 1024 * 1024, 'G'));
        big.close();

        auto device = std::make_unique<RMDevice>(PRINTER, &client);
        RMJobSend* send = device->sendJob(big.fileName());
        QVERIFY(send);
        QSignalSpy failed(send, &RMJobSend::failed);
        QSignalSpy done(send, &RMJobSend::done);
        bool gone = false;
        connect(send, &RMJobSend::progressChanged, this, [&] {
            if (gone)
                return;
            gone = true;
            printer.unplug();
            device.reset();
        });
        QTRY_VERIFY_WITH_TIMEOUT(gone, 5000);
        QCOMPARE(failed.count() + done.count(), 1);
    }

    // Commands queued behind one the printer holds up, when their device
    // goes: each future finishes, with the fallback, instead of never.
    void queuedCommandsFinishWhenTheirDeviceGoes()
    {
        VirtualPrinter printer(simBus());
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        TrelUsb::set_write_timeout(100);
        printer.timeoutWrites(VirtualPrinter::Command, 100);
        auto device = std::make_unique<RMDevice>(PRINTER, &client);
        QFuture<QString> held = device->queryVersion();
        QFuture<QString> version = device->querySerial();
        QFuture<bool> gcode = device->sendGCode("G28");
        QFuture<void> raise = device->raiseHead();
        device.reset();
        TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
        QVERIFY(held.isFinished());
        QVERIFY(version.isFinished());
        QVERIFY(gcode.isFinished());
        QVERIFY(raise.isFinished());
        QCOMPARE(version.result(), QString());
        QCOMPARE(gcode.result(), false);
    }

    void pauseResumesAndAbortEndsARunningPrint()
    {
        using State = zelksim::PrintJobModel::State;
        VirtualPrinter printer(simBus());
        printer.setTimeScale(200);
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);
        zelksim::PrintJobModel& job = printer.printModel();

        // Nothing runs: the printer takes both requests and ignores them.
        QCOMPARE(device.pause().result(), true);
        QCOMPARE(device.abort().result(), true);
        QCOMPARE(job.state(), State::Idle);

        QTemporaryFile file;
        QVERIFY(file.open());
        for (int i = 0; i < 200; ++i)
            file.write("G1 X10 Y10 E1 F600\nG1 X20 Y20 E2 F600\n");
        file.close();
        RMJobSend* send = device.sendJob(file.fileName());
        QVERIFY(send);
        QVERIFY(eventually([&] { return job.state() == State::JobQueued; }));
        job.holdAt(State::Building, 10);
        printer.pressButton();
        QVERIFY(eventually([&] { return job.state() == State::Building && job.isHeld(); }, 20s));

        QCOMPARE(device.pause().result(), true);
        QVERIFY(eventually([&] { return job.state() == State::Paused; }));
        QCOMPARE(device.pause().result(), true); // again: resumes
        QVERIFY(eventually([&] { return job.state() == State::Unpaused; }));
        QCOMPARE(device.abort().result(), true);
        QVERIFY(eventually([&] { return job.state() == State::Idle; }));
        QVERIFY(job.progress() < 100);

        // A printer that is gone takes nothing.
        printer.unplug();
        QVERIFY(client.waitUntil([](TestClient& c) { return !c.disconnects.empty(); }));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Pause not sent"));
        QCOMPARE(device.pause().result(), false); // the write fails
        device.setConnected(false);
        QCOMPARE(device.abort().result(), false);
    }

    void pollIsNotSentWhileReceivingAFile()
    {
        RawPrinter printer;
        TestClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);

        device.statusMessage(state("ZK0001FILE_RX"));
        device.pollStatus();
        device.sendJobData("M117 after the first poll"); // the job pool runs in order
        QVERIFY(eventually([&] { return printer.writes(0x04).size() == 1; }));
        device.statusMessage(state("ZK0001IDLE"));
        device.pollStatus();
        QVERIFY(eventually([&] { return printer.writes(0x04).size() == 2; }));
        QCOMPARE(printer.writes(0x04),
                 (std::vector<std::string>{"M117 after the first poll",
                                           "{\"metadata\":{\"version\":1,\"type\":\"status\"}}"}));
    }

    void jobDataReachesTheGuiThread()
    {
        RMDevice device(TrelDeviceAddress(1, 5), nullptr);
        QSignalSpy spy(&device, &RMDevice::jobDataReceived);
        std::thread([&] { device.jobData("{\"log\":\"ok\"}"); }).join();
        QVERIFY(spy.wait(2000));
        QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("{\"log\":\"ok\"}"));
    }
};

ZELK_SIM_QTEST_MAIN(RMDeviceTest)
#include "RMDeviceTest.moc"
