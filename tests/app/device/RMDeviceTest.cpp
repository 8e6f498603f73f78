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
#include <type_traits>

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

// A client that outlives the tasks of the devices that use it: a device
// that goes does not wait for them. Its callbacks stop here, before the
// base's destructor: a notice arriving meanwhile would otherwise call a
// virtual function of an object half destroyed.
struct DeviceClient : TestClient
{
    DeviceClient() : TestClient(Derived()) { start_callbacks(); }
    ~DeviceClient() override
    {
        RMDevice::waitForTasks(this, 20000);
        stop_callbacks();
    }
};

// Whether an operation reported success (one that reports nothing: true).
template <typename T>
bool succeeded(QFuture<T> future)
{
    future.waitForFinished();
    if constexpr (std::is_void<T>::value)
        return true;
    else
        return future.result();
}

// A Z servo record unlike the virtual printer's defaults and unlike anything
// a head move writes, so that what ends on the printer tells where it came
// from.
servo_dc_client_config_t distinctZServo(TrelCommandInterface& fw)
{
    servo_dc_client_config_t c = fw.servo_dc_config_get(PRINTER, SERVO_DC_Z);
    c.pwm_cap = 3100;
    c.pwm_cap_time = 150;
    c.gains.kp = 1.25f;
    c.speed_max = 15.0f;
    fw.servo_dc_config_set(PRINTER, SERVO_DC_Z, c);
    return c;
}

bool sameServo(const servo_dc_client_config_t& a, const servo_dc_client_config_t& b)
{
    return a.interrupt_frequency == b.interrupt_frequency && a.gains.kp == b.gains.kp &&
           a.gains.ki == b.gains.ki && a.gains.kd == b.gains.kd && a.pwm_cap == b.pwm_cap &&
           a.pwm_cap_time == b.pwm_cap_time && a.pos_res_eu_per_mm == b.pos_res_eu_per_mm &&
           a.speed_max == b.speed_max && a.accel_max == b.accel_max;
}

using Fault = zelksim::FirmwareModel::CommandFault;
using Sent = zelksim::FirmwareModel::ServoConfigSent;
using Move = zelksim::FirmwareModel::ServoMoveSent;

template <typename T>
std::vector<T> since(const std::vector<T>& log, size_t from)
{
    return std::vector<T>(log.begin() + long(std::min(from, log.size())), log.end());
}

} // namespace

Q_DECLARE_METATYPE(Fault)

class RMDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { RMDevice::setZPollInterval(20); }

    void identityAndGcode()
    {
        VirtualPrinter printer(simBus());
        DeviceClient client;
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

    // What the printer is sent: the model moves the axis but ignores the
    // caps and ignore_stalls, and its own caps are not the restored ones.
    void headMovesSendTheirSequences()
    {
        VirtualPrinter printer(simBus());
        printer.setTimeScale(50);
        DeviceClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);
        zelksim::FirmwareModel& fw = printer.firmware();
        distinctZServo(client);
        // Caps, cap time and a gain of each record written: the rest of the
        // record is kept.
        auto caps = [&](size_t from) {
            QStringList c;
            for (const Sent& s : since(fw.servoConfigLog(), from))
                c << QStringLiteral("%1/%2 kp %3").arg(s.pwmCap).arg(s.pwmCapTime).arg(s.kp);
            return c;
        };
        // Type, distance or target, speed/acceleration, stalls ignored.
        auto moves = [&](size_t from) {
            QStringList m;
            for (const Move& v : since(fw.servoMoveLog(), from))
                m << QStringLiteral("%1 %2 %3/%4%5")
                         .arg(v.type)
                         .arg(v.type == 1 ? v.distance : v.target)
                         .arg(v.speed)
                         .arg(v.accel)
                         .arg(v.ignoreStalls ? "" : " stalls");
            return m;
        };
        const QStringList sequence{"2000/5 kp 1.25", "3580/200 kp 1.25", "3100/150 kp 1.25"};

        size_t configs = fw.servoConfigLog().size(), moved = fw.servoMoveLog().size();
        const double start = fw.zPositionMm();
        QVERIFY(device.raiseHead().result());
        QCOMPARE(caps(configs), sequence);
        // Up 35 mm, then unjammed 5 mm down from there.
        QCOMPARE(moves(moved), (QStringList{"1 35 2.5/2.5", "3 -5 1/1"}));
        QCOMPARE(fw.zPositionMm(), start + 30.0);
        QVERIFY(!fw.zMoving());
        const auto gcode = fw.gcodeLog();
        QCOMPARE(std::count(gcode.begin(), gcode.end(), "M400"), 2L);

        // Bumped up to the top stop, unjammed, then 120 mm down from there.
        configs = fw.servoConfigLog().size(), moved = fw.servoMoveLog().size();
        QVERIFY(device.lowerHeadToShipment().result());
        QCOMPARE(caps(configs), sequence);
        QCOMPARE(moves(moved), (QStringList{"3 150 2.5/2.5", "3 -5 1/1", "3 -120 5/20"}));
        QCOMPARE(fw.zPositionMm(), 140.0 - 5.0 - 120.0);
    }

    // A response lost before the printer acted (nothing changed) and one
    // lost after (it did): the operation fails either way, and leaves the
    // printer's settings as they were, or says what they are.
    void lostResponsesFail_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("command"); // whose response is lost
        QTest::addColumn<Fault>("fault");
        const Fault before = Fault::NoResponse, after = Fault::NoResponseAfterActing;
        QTest::newRow("gcode, lost unread") << "gcode"
                                            << "gcode_process_command" << before;
        QTest::newRow("gcode, lost after") << "gcode"
                                           << "gcode_process_command" << after;
        QTest::newRow("wifi, lost unread") << "wifi"
                                           << "wifi_client_connect" << before;
        QTest::newRow("wifi, lost after") << "wifi"
                                          << "wifi_client_connect" << after;
        QTest::newRow("raise, read lost") << "raise"
                                          << "servo_dc_config_get" << before;
        QTest::newRow("raise, cap write lost unread") << "raise"
                                                      << "servo_dc_config_set" << before;
        QTest::newRow("raise, cap write lost after") << "raise"
                                                     << "servo_dc_config_set" << after;
        QTest::newRow("raise, move lost after") << "raise"
                                                << "servo_dc_move" << after;
    }

    void lostResponsesFail()
    {
        QFETCH(QString, operation);
        QFETCH(QString, command);
        QFETCH(Fault, fault);
        VirtualPrinter printer(simBus());
        printer.setTimeScale(50);
        DeviceClient client;
        client.set_response_timeout(300ms);
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);
        zelksim::FirmwareModel& fw = printer.firmware();
        const servo_dc_client_config_t servo = distinctZServo(client);
        const size_t configs = fw.servoConfigLog().size();
        const bool acted = fault == Fault::NoResponseAfterActing;

        fw.injectCommandFault(command.toStdString(), fault);
        bool ok = true;
        if (operation == "gcode")
            ok = succeeded(device.sendGCode("G28"));
        else if (operation == "wifi")
            ok = succeeded(device.connectWifi("ZelkLab", "correct horse"));
        else
            ok = succeeded(device.raiseHead());
        QVERIFY(!ok);

        if (operation == "gcode") {
            QCOMPARE(fw.gcodeLog(),
                     acted ? std::vector<std::string>{"G28"} : std::vector<std::string>{});
        } else if (operation == "wifi") {
            QCOMPARE(fw.wifiConnected(), acted); // what it did stays done
        } else {
            QVERIFY(sameServo(client.servo_dc_config_get(PRINTER, SERVO_DC_Z), servo));
            if (command == "servo_dc_config_get") // nothing written at all
                QCOMPARE(fw.servoConfigLog().size(), configs);
        }
    }

    // How an operation ended, as zelkctl and zelkd report it.
    void outcomesNameTheFailure()
    {
        VirtualPrinter printer(simBus());
        printer.setTimeScale(50);
        DeviceClient client;
        client.set_response_timeout(300ms);
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        RMDevice device(PRINTER, &client);
        zelksim::FirmwareModel& fw = printer.firmware();

        RMResult<bool> r = device.sendGCodeChecked("nonsense").result();
        QVERIFY(!r.value);
        QCOMPARE(r.outcome.status(), TREL_SUCCESS); // answered: a refusal
        QCOMPARE(r.outcome.firmwareCode(), int(GCODE_PROCESS_UNKNOWN_COMMAND));
        QCOMPARE(r.outcome.text(),
                 QString("the printer refused \"nonsense\": unknown command (code 2)"));

        fw.injectCommandFault("wifi_client_connect", Fault::NoResponseAfterActing);
        r = device.connectWifiChecked("ZelkLab", "correct horse").result();
        QVERIFY(!r.value);
        QCOMPARE(r.outcome.statusName(), QString("TREL_ERROR_TIMEOUT"));
        QVERIFY(r.outcome.isUnknown());
        QCOMPARE(r.outcome.text(),
                 QString("TREL_ERROR_TIMEOUT (No response in time) in wifi_client_connect; "
                         "whether the printer made the change is unknown; the printer now "
                         "reports: connected to \"ZelkLab\""));
        QVERIFY(!r.outcome.text().contains("correct horse"));

        fw.injectCommandFault("servo_dc_config_get", Fault::NoResponse);
        r = device.raiseHeadChecked().result();
        QVERIFY(!r.value);
        QCOMPARE(r.outcome.text(), QString("TREL_ERROR_TIMEOUT (No response in time) in "
                                           "servo_dc_config_get; nothing was changed"));
        fw.injectCommandFault("servo_dc_position_set_client", Fault::NoResponseAfterActing);
        r = device.raiseHeadChecked().result();
        QCOMPARE(r.outcome.text(), QString("TREL_ERROR_TIMEOUT (No response in time) in "
                                           "servo_dc_position_set_client; the Z servo's "
                                           "settings were restored"));

        device.setConnected(false);
        const RMResult<QString> closed = device.queryVersionChecked().result();
        QCOMPARE(closed.outcome.status(), TREL_ERROR_NO_DEVICE);
        QVERIFY(!closed.outcome.isUnknown()); // nothing was sent
    }

    void wifiOperations()
    {
        VirtualPrinter printer(simBus());
        DeviceClient client;
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
        DeviceClient client;
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
        DeviceClient client;
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
        DeviceClient client;
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
        DeviceClient client;
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
        DeviceClient client;
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
    // goes: the device's end does not wait for the one held up, and each
    // future finishes, with the fallback, instead of never.
    void queuedCommandsFinishWhenTheirDeviceGoes()
    {
        VirtualPrinter printer(simBus());
        DeviceClient client;
        printer.plug();
        QVERIFY(client.waitConnected(PRINTER));
        TrelUsb::set_write_timeout(100);
        printer.timeoutWrites(VirtualPrinter::Command, 100);
        auto device = std::make_unique<RMDevice>(PRINTER, &client);
        QFuture<QString> held = device->queryVersion();
        QFuture<QString> version = device->querySerial();
        QFuture<bool> gcode = device->sendGCode("G28");
        QFuture<bool> raise = device->raiseHead();
        QVERIFY(eventually([&] { return printer.timedOutWrites() >= 1; }));
        device.reset();
        // Its write is retried, 100 ms each time: it is still running.
        QVERIFY(!held.isFinished());
        QVERIFY(RMDevice::waitForTasks(&client, 20000));
        TrelUsb::set_write_timeout(TrelUsb::DEFAULT_WRITE_TIMEOUT_MS);
        for (const QFuture<void>& f : {QFuture<void>(held), QFuture<void>(version),
                                       QFuture<void>(gcode), QFuture<void>(raise)})
            QVERIFY(f.isFinished());
        QCOMPARE(version.result(), QString());
        QCOMPARE(gcode.result(), false);
        QCOMPARE(raise.result(), false);
    }

    void pauseResumesAndAbortEndsARunningPrint()
    {
        using State = zelksim::PrintJobModel::State;
        VirtualPrinter printer(simBus());
        printer.setTimeScale(200);
        DeviceClient client;
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
        DeviceClient client;
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
