// The remaining print time as the printer's status messages drive it: the
// device is fed status messages directly and the estimator's clock is stepped
// by hand, so that every figure is exact.
#include <RMDevice.h>
#include <RMPrintTimeEstimator.h>
#include <RMPrintTimeEstimator_p.h>

#include <QSignalSpy>
#include <QTest>

namespace {

using DevicePtr = QSharedPointer<RMDevice>;

DevicePtr makeDevice()
{
    return DevicePtr::create(TrelDeviceAddress(1, 5), nullptr);
}

void report(const DevicePtr& device, const char* state, int progress = 0)
{
    TrelJobInterface::StatusMsg s;
    s.status.state = std::string("ZK0001") + state;
    s.job.progress = progress;
    device->statusMessage(s);
}

} // namespace

class EstimatorTest : public QObject
{
    Q_OBJECT

private:
    // Milliseconds since an arbitrary origin; what the estimator reads as now.
    qint64 clock = 0;
    RMPrintTimeEstimator* estimator = nullptr;
    DevicePtr device;

    void at(qint64 ms) { clock = ms; }
    QList<qint64> values(const QSignalSpy& spy)
    {
        QList<qint64> out;
        for (const QList<QVariant>& call : spy)
            out << call.at(0).toLongLong();
        return out;
    }

private slots:
    void init()
    {
        clock = 0;
        estimator = new RMPrintTimeEstimator(this);
        const QDateTime origin(QDate(2024, 3, 31), QTime(0, 30), Qt::LocalTime);
        RMPrintTimeEstimatorPrivate::get(estimator)->now = [this, origin] {
            return origin.addMSecs(clock);
        };
        device = makeDevice();
        estimator->setDevice(device);
        report(device, "IDLE");
    }
    void cleanup()
    {
        delete estimator;
        device.reset();
    }

    void noEstimateBeforeTheFirstGain()
    {
        QCOMPARE(estimator->timeRemaining(), qint64(-1));
        QSignalSpy spy(estimator, &RMPrintTimeEstimator::timeRemainingChanged);
        report(device, "BUILDING", 10);
        at(120000);
        report(device, "BUILDING", 10); // no change: the device signals nothing
        estimator->progressChanged(10); // nor does a repeat reach anything
        QCOMPARE(spy.count(), 0);
        QCOMPARE(estimator->timeRemaining(), qint64(-1));
    }

    void averageRateTimesWhatIsLeft()
    {
        QSignalSpy spy(estimator, &RMPrintTimeEstimator::timeRemainingChanged);
        report(device, "BUILDING", 10);
        at(600000);
        report(device, "BUILDING", 20);
        QCOMPARE(estimator->timeRemaining(), qint64(4800000)); // 80 x 60000
        QCOMPARE(values(spy), QList<qint64>{4800000});

        // The start progress again: the estimate stays as it was.
        at(700000);
        estimator->progressChanged(10);
        QCOMPARE(estimator->timeRemaining(), qint64(4800000));
        QCOMPARE(spy.count(), 1);

        // A report that leaves the value the same is still announced.
        at(660000);
        estimator->progressChanged(21); // 79 x (660000 / 11)
        QCOMPARE(estimator->timeRemaining(), qint64(4740000));
        at(600000);
        estimator->progressChanged(20);
        QCOMPARE(values(spy), (QList<qint64>{4800000, 4740000, 4800000}));

        at(1200000);
        report(device, "BUILDING", 100);
        QCOMPARE(estimator->timeRemaining(), qint64(0));
        QCOMPARE(spy.last().at(0).toLongLong(), qint64(0));
    }

    void pausedTimeIsNotCounted_data()
    {
        QTest::addColumn<QStringList>("pause");
        QTest::newRow("pausing, paused, unpaused")
            << QStringList{"EXEC_PAUSE_CMD", "PAUSED", "UNPAUSED"};
        QTest::newRow("paused") << QStringList{"PAUSED"};
        QTest::newRow("pausing only") << QStringList{"EXEC_PAUSE_CMD"};
        QTest::newRow("paused, filament changed")
            << QStringList{"PAUSED", "LOADFIL_HEATING", "PAUSED"};
    }
    void pausedTimeIsNotCounted()
    {
        QFETCH(QStringList, pause);
        report(device, "BUILDING", 10);
        at(300000);
        report(device, "BUILDING", 20);
        at(330000);
        for (const QString& state : pause) {
            report(device, state.toLatin1().constData(), 20);
            clock += 1000; // moves between pause states do not restart the pause
        }
        at(630000); // five minutes after the pause began
        const qint64 before = estimator->timeRemaining();
        report(device, "BUILDING", 20);
        QCOMPARE(estimator->timeRemaining(), before); // resuming changes nothing
        at(660000);
        report(device, "BUILDING", 21);
        // 660000 ms in all, 300000 of them paused: 79 x (360000 / 11).
        QCOMPARE(estimator->timeRemaining(), qint64(2585433));
    }

    void pausesAddUp()
    {
        report(device, "BUILDING", 0);
        at(100000);
        report(device, "PAUSED");
        at(200000);
        report(device, "BUILDING");
        at(300000);
        report(device, "EXEC_PAUSE_CMD");
        at(350000);
        report(device, "BUILDING");
        at(450000);
        report(device, "BUILDING", 50); // 450000 - 150000 paused = 300000 for 50 %
        QCOMPARE(estimator->timeRemaining(), qint64(300000));
    }

    // A pause that ended is spent; resuming later from a pause that began
    // before the estimator watched (a reconnected printer, a new device
    // object) counts nothing instead of counting the old pause again.
    void aPauseIsCountedOnce()
    {
        report(device, "BUILDING", 0);
        at(100000);
        report(device, "PAUSED");
        at(200000);
        report(device, "BUILDING");

        const DevicePtr again = makeDevice();
        report(again, "PAUSED");
        estimator->setDevice(again);
        at(400000);
        report(again, "BUILDING");
        at(500000);
        report(again, "BUILDING", 50); // 500000 - 100000 paused
        QCOMPARE(estimator->timeRemaining(), qint64(400000));
    }

    void leavingThePrintDropsTheEstimateSilently_data()
    {
        QTest::addColumn<QString>("state");
        QTest::newRow("finished") << "IDLE";
        QTest::newRow("out of filament") << "FILAMENT_OUT";
        QTest::newRow("homing") << "HOMING_INIT";
        QTest::newRow("unplugged") << "";
    }
    void leavingThePrintDropsTheEstimateSilently()
    {
        QFETCH(QString, state);
        report(device, "BUILDING", 10);
        at(60000);
        report(device, "BUILDING", 11);
        QCOMPARE(estimator->timeRemaining(), qint64(89 * 60000));

        QSignalSpy spy(estimator, &RMPrintTimeEstimator::timeRemainingChanged);
        if (state.isEmpty())
            device->setConnected(false);
        else
            report(device, state.toLatin1().constData(), 11);
        QCOMPARE(estimator->timeRemaining(), qint64(-1));
        QCOMPARE(spy.count(), 0);
        // Progress outside a print is not an estimate either.
        estimator->progressChanged(50);
        QCOMPARE(estimator->timeRemaining(), qint64(-1));
    }

    void aNewPrintStartsAfresh()
    {
        report(device, "BUILDING", 10);
        at(60000);
        report(device, "PAUSED", 10);
        at(90000);
        report(device, "IDLE", 0);

        QSignalSpy spy(estimator, &RMPrintTimeEstimator::timeRemainingChanged);
        at(100000);
        report(device, "BUILDING", 0);
        QCOMPARE(spy.count(), 0); // there was no estimate to discard
        at(110000);
        report(device, "BUILDING", 1); // neither the old start nor its pause
        QCOMPARE(estimator->timeRemaining(), qint64(99 * 10000));
    }

    // A device that is already printing when it is handed over begins a print
    // as far as the estimator knows; an estimate in hand is withdrawn aloud.
    void aNewPrintWithdrawsAnEstimate()
    {
        report(device, "BUILDING", 10);
        at(60000);
        report(device, "BUILDING", 11);
        QSignalSpy spy(estimator, &RMPrintTimeEstimator::timeRemainingChanged);

        const DevicePtr other = makeDevice();
        estimator->setDevice(other);
        report(other, "BUILDING", 40);
        QCOMPARE(values(spy), QList<qint64>{-1});
        at(120000);
        report(other, "BUILDING", 50);
        QCOMPARE(estimator->timeRemaining(), qint64(50 * 6000));

        // The old device no longer reaches the estimator.
        report(device, "IDLE");
        QCOMPARE(estimator->timeRemaining(), qint64(50 * 6000));
    }

    // Attached during a print: no start was seen, so there is no rate. The
    // estimate is 0, which every consumer shows as none.
    void aPrintWhoseStartWasNotSeen()
    {
        auto* fresh = new RMPrintTimeEstimator(this);
        const DevicePtr printing = makeDevice();
        report(printing, "BUILDING", 30);
        fresh->setDevice(printing);
        QSignalSpy spy(fresh, &RMPrintTimeEstimator::timeRemainingChanged);
        report(printing, "BUILDING", 31);
        QCOMPARE(fresh->timeRemaining(), qint64(0));
        QCOMPARE(values(spy), QList<qint64>{0});
        delete fresh;
    }

    void progressGoingBackGivesNoEstimate()
    {
        report(device, "BUILDING", 40);
        at(60000);
        report(device, "BUILDING", 39);
        QVERIFY(estimator->timeRemaining() < 1);
    }

    void withoutADeviceNothingHappens()
    {
        RMPrintTimeEstimator idle;
        QSignalSpy spy(&idle, &RMPrintTimeEstimator::timeRemainingChanged);
        idle.stateChanged(RMDevice::Building, RMDevice::Idle);
        idle.progressChanged(50);
        idle.stateChanged(RMDevice::Idle, RMDevice::Building);
        QCOMPARE(idle.timeRemaining(), qint64(-1));
        QCOMPARE(spy.count(), 0);
        idle.setDevice(DevicePtr()); // letting go of nothing is fine
    }
};

QTEST_GUILESS_MAIN(EstimatorTest)
#include "RMPrintTimeEstimatorTest.moc"
