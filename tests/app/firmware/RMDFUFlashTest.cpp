// The real thing end to end, without the dialog: Debian's dfu-util, next to
// this binary as next to the program, lists a virtual printer in
// firmware-update mode and flashes the firmware delivered with the program
// onto it across the virtual bus; the printer then comes back in normal mode
// running the new version.
#include "DfuTestDevice.h"
#include "SimQtTest.h"

#include <DfuFunction.h>
#include <FirmwareModel.h>
#include <RMDFUDevice.h>
#include <RMDFUUpdate.h>
#include <RMFirmwareFile.h>
#include <VirtualPrinter.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace zelktest;

namespace {

QString dfuUtil()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("dfu-util"));
}

QString bundledFirmware()
{
    return RMFirmwareFile::bundledPath(QCoreApplication::applicationDirPath());
}

} // namespace

class RMDFUFlashTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(dfuUtil()).isExecutable(), qPrintable(dfuUtil()));
        QVERIFY2(QFileInfo::exists(bundledFirmware()), qPrintable(bundledFirmware()));
    }

    void flashesTheVirtualPrinterWhichComesBackUpdated()
    {
        zelksim::VirtualPrinter::Options options;
        options.firmwareUpdateMode = true;
        options.firmwareVersion = "1.2.0";
        zelksim::VirtualPrinter printer(simBus(), options);
        printer.plug();

        const QList<RMDFUDevice> devices = RMDFUDevice::connectedDevices(dfuUtil()).result();
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.first().vid(), QStringLiteral("2b75"));
        QCOMPARE(devices.first().pid(), QStringLiteral("0003"));
        QCOMPARE(devices.first().serial(), QStringLiteral("ZK1000001"));

        QElapsedTimer clock;
        clock.start();
        QScopedPointer<RMDFUUpdate> update(devices.first().startUpdate(bundledFirmware(), nullptr));
        QSignalSpy progress(update.data(), &RMDFUUpdate::progressChanged);
        QSignalSpy success(update.data(), &RMDFUUpdate::success);
        QSignalSpy error(update.data(), &RMDFUUpdate::error);
        QTRY_VERIFY_WITH_TIMEOUT(success.count() + error.count() > 0, 60000);
        const qint64 flashMs = clock.elapsed();
        QCOMPARE(error.count(), 0);
        QCOMPARE(update->progress(), 100);

        QTRY_VERIFY_WITH_TIMEOUT(!printer.inFirmwareUpdateMode() && printer.isPlugged(), 5000);
        const qint64 backMs = clock.elapsed();
        QCOMPARE(printer.firmware().firmwareVersion(), std::string("1.3.0"));

        // The figures, for the record (not judged: they depend on the machine).
        QStringList steps;
        for (const QList<QVariant>& args : progress)
            steps << args.at(0).toString();
        qInfo().noquote() << "flash of" << QFileInfo(bundledFirmware()).size() << "bytes took"
                          << flashMs << "ms; printer back in normal mode after" << backMs
                          << "ms; progress:" << steps.join(QLatin1Char(' '));
        // dfu-util reports erasing and writing, each from 0 to 100 %.
        QVERIFY(steps.size() > 10);
        QCOMPARE(steps.last(), QStringLiteral("100"));
    }

    void listsOneLinePerPrinter()
    {
        DfuTestDevice first(9, "ZK1000009");
        DfuTestDevice second(10, "ZK1000010");
        first.plug();
        second.plug();
        QStringList serials;
        for (const RMDFUDevice& d : RMDFUDevice::connectedDevices(dfuUtil()).result())
            serials << d.serial();
        serials.sort();
        QCOMPARE(serials, (QStringList{"ZK1000009", "ZK1000010"}));
    }

    void failedWriteEndsInError()
    {
        DfuTestDevice printer(9, "ZK1000009");
        printer.dfu().failWrite(5);
        printer.plug();
        const QList<RMDFUDevice> devices = RMDFUDevice::connectedDevices(dfuUtil()).result();
        QCOMPARE(devices.size(), 1);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Firmware upgrade failed! dfu-util exit code: "
                                                "[1-9][0-9]* - Exit status: NormalExit"));
        QScopedPointer<RMDFUUpdate> update(devices.first().startUpdate(bundledFirmware(), nullptr));
        QSignalSpy success(update.data(), &RMDFUUpdate::success);
        QSignalSpy error(update.data(), &RMDFUUpdate::error);
        QTRY_VERIFY_WITH_TIMEOUT(success.count() + error.count() > 0, 60000);
        QCOMPARE(error.count(), 1);
        QCOMPARE(success.count(), 0);
        QVERIFY(printer.dfu().booted().empty());
    }
};

ZELK_SIM_QTEST_MAIN(RMDFUFlashTest)
#include "RMDFUFlashTest.moc"
