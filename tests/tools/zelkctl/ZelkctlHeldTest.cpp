// Printers present but not opened: held by another program (its claims
// fail), refused to this user (EACCES), or open in this process. The device
// layer here and zelkctl, a child on the same bus, say which and name the
// holder: for zelkctl, this process (the bus keeps every node open), named
// as the row says.
#include "NodeHolderProcess.h"
#include "SimQtTest.h"
#include "Zelkctl.h"

#include <RMDeviceRegistry.h>
#include <VirtualPrinter.h>

#include <QSignalSpy>
#include <QTemporaryDir>

#include <functional>

#include <sys/prctl.h>

using namespace zelktest;

Q_DECLARE_METATYPE(std::function<void(zelksim::VirtualPrinter&)>)

namespace {
const char* const Hint = "install the .deb package (its udev rule lets the logged-in user open "
                         "the printer) or join the group zelkd, then plug the printer in again";
}

class ZelkctlHeldTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase() { RMDeviceRegistry::shutdown(); }

    void aPrinterNotOpenedIsNamedWithWhy_data()
    {
        using Refuse = std::function<void(zelksim::VirtualPrinter&)>;
        QTest::addColumn<Refuse>("refuse");
        QTest::addColumn<QByteArray>("processName");
        QTest::addColumn<int>("reason");        // -1: this process opens it
        QTest::addColumn<bool>("zelkdService"); // a zelkd of another user runs
        QTest::addColumn<QString>("why");       // %1: this process's PID
        QTest::addColumn<QString>("listed");

        const Refuse claimsFail = [](zelksim::VirtualPrinter& p) { p.failClaims(0, 1000000); };
        QTest::newRow("held by another program")
            << claimsFail << QByteArray("slicerhost") << int(RMUnopenedPrinter::HeldElsewhere)
            << false
            << "the printer at 1:5 is held by slicerhost (PID %1); a printer talks to one "
               "program at a time"
            << "in use, held by slicerhost (PID %1)";
        QTest::newRow("held by zelkd")
            << claimsFail << QByteArray("zelkd") << int(RMUnopenedPrinter::HeldElsewhere) << true
            << "the printer at 1:5 is held by zelkd (PID %1), which did not answer here: set "
               "ZELKD_URL and ZELKD_API_KEY to go through it"
            << "in use, held by zelkd (PID %1)";
        QTest::newRow("no permission")
            << Refuse([](zelksim::VirtualPrinter& p) { p.denyAccess(true); })
            << QByteArray("zelkwindow") << int(RMUnopenedPrinter::NoPermission) << false
            << QStringLiteral("the printer at 1:5 may not be opened by this user "
                              "(/dev/bus/usb/001/005): ") +
                   Hint
            << QStringLiteral("no permission: ") + Hint;
        QTest::newRow("open in this process")
            << Refuse([](zelksim::VirtualPrinter&) {}) << QByteArray("zelkwindow") << -1 << false
            << "the printer at 1:5 is held by zelkwindow (PID %1); a printer talks to one "
               "program at a time"
            << "in use, held by zelkwindow (PID %1)";
    }

    void aPrinterNotOpenedIsNamedWithWhy()
    {
        QFETCH(std::function<void(zelksim::VirtualPrinter&)>, refuse);
        QFETCH(QByteArray, processName);
        QFETCH(int, reason);
        QFETCH(bool, zelkdService);
        QFETCH(QString, why);
        QFETCH(QString, listed);
        const QString pid = QString::number(QCoreApplication::applicationPid());
        why.replace(QLatin1String("%1"), pid);
        listed.replace(QLatin1String("%1"), pid);

        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
        env.insert(QStringLiteral("ZELKCTL_NO_ZELKD"), QStringLiteral("1"));
        // What /proc/PID/comm says of this process, the node's holder.
        QCOMPARE(::prctl(PR_SET_NAME, processName.constData()), 0);

        RMDeviceRegistry* registry = RMDeviceRegistry::instance();
        // What an earlier row's printer left has gone.
        QTRY_VERIFY_WITH_TIMEOUT(registry->unopenedPrinters().isEmpty(), 5000);
        QSignalSpy changes(registry, &RMDeviceRegistry::unopenedPrintersChanged);
        std::unique_ptr<NodeHolderProcess> service;
        if (zelkdService)
            service = std::make_unique<NodeHolderProcess>(std::string(), "zelkd", 65534);
        if (service)
            QVERIFY(service->waitUntilNamed("zelkd"));
        auto printer = std::make_unique<zelksim::VirtualPrinter>(simBus());
        refuse(*printer);
        printer->plug();
        // This process is never named its own holder; zelkd of another user is.
        QVector<RMUnopenedPrinter> expected;
        if (reason >= 0)
            expected = {{TrelDeviceAddress(1, 5), RMUnopenedPrinter::Reason(reason),
                         "/dev/bus/usb/001/005", service ? int(service->pid) : 0,
                         service ? "zelkd" : ""}};
        QTRY_VERIFY_WITH_TIMEOUT(registry->unopenedPrinters() == expected &&
                                     registry->activePorts().size() == (reason < 0 ? 1 : 0),
                                 10000);
        if (reason >= 0)
            QCOMPARE(changes.last().first().value<QVector<RMUnopenedPrinter>>(), expected);

        // Both ways of picking the printer reach the same message, and 3.
        Run r = zelkctl({"status"}, env);
        QCOMPARE(QString::fromUtf8(r.err), QStringLiteral("zelkctl status: %1\n").arg(why));
        QCOMPARE(r.exitCode, 3);
        r = zelkctl(
            {"print", "--printer", "1:5", QStringLiteral(SIM_DATA "/calibration-square.gcode")},
            env);
        QCOMPARE(QString::fromUtf8(r.err), QStringLiteral("zelkctl print: %1\n").arg(why));
        QCOMPARE(r.exitCode, 3);
        r = zelkctl({"list"}, env);
        QCOMPARE(r.exitCode, 0);
        const QStringList table = lines(r.out);
        QCOMPARE(table.size(), 2);
        QCOMPARE(table.at(1).simplified(),
                 QStringLiteral("1:5 normal - - %1").arg(listed).simplified());

        printer.reset();
        QTRY_VERIFY_WITH_TIMEOUT(
            registry->unopenedPrinters().isEmpty() && registry->activePorts().isEmpty(), 5000);
    }
};

ZELK_SIM_QTEST_MAIN(ZelkctlHeldTest)
#include "ZelkctlHeldTest.moc"
