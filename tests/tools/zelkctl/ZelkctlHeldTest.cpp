// A printer that another program holds: the kernel lets one program claim a
// printer's interface at a time, so while the desktop program (or another
// zelkctl) has it, zelkctl sees it attached but cannot open it. The printer
// here refuses every claim, as the kernel then does; zelkctl runs as a child
// of this test, on its simulated bus.
#include "SimQtTest.h"
#include "Zelkctl.h"

#include <VirtualPrinter.h>

#include <QTemporaryDir>

using namespace zelktest;

class ZelkctlHeldTest : public QObject
{
    Q_OBJECT

private slots:
    void aPrinterHeldElsewhereIsNamedAsSuch()
    {
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());

        zelksim::VirtualPrinter printer(simBus());
        printer.failClaims(0, 1000000);
        printer.plug();

        Run r = zelkctl({"status"}, env);
        QCOMPARE(r.exitCode, 3);
        QCOMPARE(QString::fromUtf8(r.err),
                 QStringLiteral("zelkctl status: a printer is attached, but another program "
                                "holds it (the desktop program, or another zelkctl); a printer "
                                "talks to one program at a time\n"));
        r = zelkctl({"print", QStringLiteral(SIM_DATA "/calibration-square.gcode")}, env);
        QCOMPARE(r.exitCode, 3);
        r = zelkctl({"status", "--printer", "1:5"}, env);
        QCOMPARE(r.exitCode, 3);
        QCOMPARE(QString::fromUtf8(r.err),
                 QStringLiteral("zelkctl status: no printer at 1:5, or another program holds "
                                "it\n"));

        r = zelkctl({"list"}, env);
        QCOMPARE(r.exitCode, 0);
        const QStringList table = lines(r.out);
        QCOMPARE(table.size(), 2);
        QCOMPARE(table.at(1).simplified(),
                 QStringLiteral("- normal - - in use by another program"));
    }
};

ZELK_SIM_QTEST_MAIN(ZelkctlHeldTest)
#include "ZelkctlHeldTest.moc"
