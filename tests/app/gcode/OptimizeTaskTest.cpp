// The optimizer pass: its exact output on the worked example and the format
// cases, which runs it merges and which it must not (the regressions in
// data/faults are inputs named after what a merger trusting its run logic
// alone does to them), what it does with text that is not plain ASCII, and
// how it reports progress, timing and failures.
#include "GcodeReplay.h"
#include "Optimize.h"
#include "TestFiles.h"
#include "WorkedExample.h"

#include <OptimizerLogging.h>
#include <RMOptimizeTask.h>
#include <Sequence.h>

#include <QDir>
#include <QSignalSpy>
#include <QtTest>

#include <cstring>

namespace {

const QByteArray Header = "; Optimized with Corvane optimizer (c++)\n";

// Accepts `limit` bytes, then refuses, as a full disk does.
class FailingDevice : public QIODevice
{
public:
    explicit FailingDevice(qint64 bytes) : limit(bytes) { open(QIODevice::WriteOnly); }
    QByteArray data;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* d, qint64 n) override
    {
        if (data.size() + n > limit) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        data.append(d, int(n));
        return n;
    }

private:
    const qint64 limit;
};

// Hands out `good` bytes of G-code, then fails.
class BrokenInput : public QIODevice
{
public:
    explicit BrokenInput(QByteArray bytes) : good(std::move(bytes)) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* d, qint64 n) override
    {
        if (good.isEmpty()) {
            setErrorString(QStringLiteral("Input/output error"));
            return -1;
        }
        const qint64 k = qMin<qint64>(n, good.size());
        std::memcpy(d, good.constData(), size_t(k));
        good.remove(0, int(k));
        return k;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray good;
};

} // namespace

class OptimizeTaskTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("RMOptimizeTask.debug=false"));
    }
    void workedExample();
    void exactOutput_data();
    void exactOutput();
    void faultRegressions_data();
    void faultRegressions();
    void inputNotOpen();
    void longRunsAreSplit();
    void progressIsBoundedAndEndsAtTheTotal();
    void logsTiming();
    void reportsWriteFailure();
    void reportsReadFailure();
    void cancelEndsThePassSoon();
    void refusesOverlongLine();
    void countsMovesAndBytes();
};

void OptimizeTaskTest::workedExample()
{
    QCOMPARE(optimizeText(zelktest::workedExampleInput), Header + zelktest::workedExampleOutput);
}

void OptimizeTaskTest::exactOutput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");

    const QByteArray at = "G1 X0 Y0 Z0.2 F1200\n"; // a known position to merge from
    const QByteArray atOut = "G1 F1200 X0 Y0 Z0.2\n";

    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("blank lines vanish, others are trimmed")
        << QByteArray("\n   \n\t; comment  \r\n  M104 S200\n\n")
        << QByteArray("; comment\nM104 S200\n");
    QTest::newRow("G0 becomes G1") << QByteArray("G0 X5 Y5\n") << QByteArray("G1 X5 Y5\n");
    QTest::newRow("S word and comment dropped")
        << QByteArray("G1 X10 Y10 S255 ; comment\n") << QByteArray("G1 X10 Y10\n");
    QTest::newRow("no line feed at the end") << QByteArray("M107") << QByteArray("M107\n");
    QTest::newRow("not move lines") << QByteArray("G28\nG1X5\ng1 x5\nG01 X5\nG92\n")
                                    << QByteArray("G28\nG1X5\ng1 x5\nG01 X5\nG92\n");
    QTest::newRow("point at the tolerance joins") << at + "G1 X5 Y0.1\nG1 X10 Y0\n"
                                                  << atOut + "G1 X10 Y0\n";
    QTest::newRow("point past the tolerance ends the run")
        << at + "G1 X5 Y0.1000001\nG1 X10 Y0\n"
        << atOut + "G1 X5 Y0.1000001\nG1 X10 Y0\n";
    QTest::newRow("same feed rate joins") << at + "G1 X5 Y0\nG1 X10 Y0 F1200\n"
                                          << atOut + "G1 F1200 X10 Y0\n";
    QTest::newRow("other feed rate ends the run") << at + "G1 X5 Y0\nG1 X10 Y0 F1500\n"
                                                  << atOut + "G1 X5 Y0\nG1 F1500 X10 Y0\n";
    QTest::newRow("feed-only line goes with the next move") << at + "G1 F3000\nG1 X10 Y0 E1\n"
                                                            << atOut + "G1 F3000 X10 Y0 E1\n";
    QTest::newRow("feed-only line goes with a height change") << at + "G1 F600\nG1 Z0.4\nM107\n"
                                                              << atOut + "G1 F600 Z0.4\nM107\n";
    QTest::newRow("retractions of one kind merge")
        << "M83\n" + at + "G1 E-0.4 F2100\nG1 E-0.4\nG1 E-0.2\n"
        << "M83\n" + atOut + "G1 F2100 E-1\n";
    QTest::newRow("retraction never merges with extrusion")
        << "M83\n" + at + "G1 E-0.4 F2100\nG1 E0.4\n"
        << "M83\n" + atOut + "G1 F2100 E-0.4\nG1 E0.4\n";
    QTest::newRow("extrusion to E unchanged ends the run") << at + "G1 X5 Y0 E1\nG1 X10 Y0 E1\n"
                                                           << atOut + "G1 X5 Y0 E1\nG1 X10 Y0 E1\n";
    QTest::newRow("relative extrusion: sums exact, with the most decimals")
        << "M83\n" + at + "G1 X1 Y0 E0.1\nG1 X2 Y0 E0.2\nG1 X3 Y0 E0.0333333333\n"
        << "M83\n" + atOut + "G1 X3 Y0 E0.3333333333\n";
    QTest::newRow("numbers as the line wrote them")
        << at + "G1 X5.000 Y0 E.5\nG1 X10.0 Y0 E1.00 F1200.0\n"
        << atOut + "G1 F1200.0 X10.0 Y0 E1.00\n";
    // Relative to one firmware (G91 holds for the extruder), absolute to
    // another: the first move after G90 retracts or extrudes.
    QTest::newRow("M82 under G91 read two ways")
        << at + "G92 E10\nG91\nM82\nG1 E-2\nG90\nG1 X10 Y0 E7\nG1 X20 Y0 E8\n"
        << atOut + "G92 E10\nG91\nM82\nG1 E-2\nG90\nG1 X10 Y0 E7\nG1 X20 Y0 E8\n";
    QTest::newRow("G91 moves are written as they stand")
        << at + "G91\nG1 X5 Y0\nG1 X5 Y0\nG90\n"
        << atOut + "G91\nG1 X5 Y0\nG1 X5 Y0\nG90\n";
    QTest::newRow("non-ASCII comment kept") << QByteArray("; h\xc3\xa9llo w\xc3\xb6rld \n")
                                            << QByteArray("; h\xc3\xa9llo w\xc3\xb6rld\n");
    QTest::newRow("non-breaking space trimmed")
        << QByteArray("\xc2\xa0M107\xc2\xa0\n") << QByteArray("M107\n");
    QTest::newRow("invalid UTF-8 becomes U+FFFD")
        << QByteArray("; \xff\xfe\n") << QByteArray("; \xef\xbf\xbd\xef\xbf\xbd\n");
    QTest::newRow("text ends at NUL") << QByteArray("M107 \0junk\n", 11) << QByteArray("M107\n");
    QTest::newRow("move with non-ASCII comment still merges")
        << at + "G1 X5 Y0 ; \xc3\xa9\nG1 X10 Y0\n"
        << atOut + "G1 X10 Y0\n";
}

void OptimizeTaskTest::exactOutput()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QCOMPARE(optimizeText(input), Header + output);
}

void OptimizeTaskTest::faultRegressions_data()
{
    QTest::addColumn<QString>("path");
    const QDir dir(QStringLiteral(ZELK_GCODE_TEST_DATA "/faults"));
    const QStringList names = dir.entryList({QStringLiteral("*.gcode")}, QDir::Files, QDir::Name);
    QVERIFY(!names.isEmpty());
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << dir.filePath(name);
}

void OptimizeTaskTest::faultRegressions()
{
    QFETCH(QString, path);
    const QByteArray input = zelktest::readTestData(path);
    const QByteArray output = optimizeText(input);
    QString expected = path;
    expected.replace(QLatin1String(".gcode"), QLatin1String(".expected"));
    QCOMPARE(output, zelktest::readTestData(expected));
    const gcodereplay::Report report = gcodereplay::check(input, output);
    QVERIFY2(report.failures.isEmpty(), qPrintable(report.failures.join(QLatin1Char('\n'))));
}

void OptimizeTaskTest::inputNotOpen()
{
    QBuffer in; // never opened: counts as being at its end
    QByteArray out;
    QBuffer outBuffer(&out);
    outBuffer.open(QIODevice::WriteOnly);
    RMOptimizeTask task(&in, &outBuffer);
    task.optimize();
    QCOMPARE(task.error(), RMOptimizeTask::NoError);
    QCOMPARE(out, Header);
}

void OptimizeTaskTest::longRunsAreSplit()
{
    // A straight line of many moves: memory holds at most one run's points.
    QByteArray input = "G1 X0 Y0 Z0.2 F1200\n";
    const int moves = 3 * Sequence::MaxRun + 10;
    for (int i = 1; i <= moves; ++i)
        input += "G1 X" + QByteArray::number(i) + " Y0 E" + QByteArray::number(i) + "\n";
    const QByteArray output = optimizeText(input);
    QCOMPARE(output.count('\n') - 2, (moves + Sequence::MaxRun - 1) / Sequence::MaxRun);
    QVERIFY(output.endsWith("G1 X" + QByteArray::number(moves) + " Y0 E" +
                            QByteArray::number(moves) + "\n"));
    QVERIFY(gcodereplay::check(input, output).failures.isEmpty());
}

void OptimizeTaskTest::progressIsBoundedAndEndsAtTheTotal()
{
    QByteArray input;
    while (input.size() < 5 * RMOptimizeTask::ProgressStep)
        input += "G1 X1 Y1 E1\n; comment\n\n";
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    RMOptimizeTask task(&in, &out);
    QSignalSpy spy(&task, &RMOptimizeTask::progress);
    task.optimize();
    QVERIFY(spy.size() >= 5 && spy.size() <= 6);
    qint64 previous = 0;
    for (const QList<QVariant>& args : qAsConst(spy)) {
        QVERIFY(args.at(0).toLongLong() > previous);
        previous = args.at(0).toLongLong();
    }
    QCOMPARE(previous, qint64(input.size()));

    QByteArray empty;
    QBuffer emptyIn(&empty);
    emptyIn.open(QIODevice::ReadOnly);
    RMOptimizeTask none(&emptyIn, &out);
    QSignalSpy noneSpy(&none, &RMOptimizeTask::progress);
    none.optimize();
    QCOMPARE(noneSpy.size(), 0);
}

void OptimizeTaskTest::logsTiming()
{
    QLoggingCategory::setFilterRules(QStringLiteral("RMOptimizeTask.debug=true"));
    QCOMPARE(QByteArray(Optimizer().categoryName()), QByteArray("RMOptimizeTask"));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(QStringLiteral("^Optimized gcode file in \\d+ms$")));
    optimizeText("M107\n");
    QLoggingCategory::setFilterRules(QStringLiteral("RMOptimizeTask.debug=false"));
}

void OptimizeTaskTest::reportsWriteFailure()
{
    QByteArray input;
    for (int i = 0; i < 20000; ++i)
        input += "M117 line " + QByteArray::number(i) + "\n";
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    FailingDevice out(100000);
    RMOptimizeTask task(&in, &out);
    QSignalSpy spy(&task, &RMOptimizeTask::errorOccurred);
    QTest::ignoreMessage(QtWarningMsg,
                         "Could not write the optimized G-code: No space left on device");
    task.optimize();
    QCOMPARE(task.error(), RMOptimizeTask::WriteError);
    QVERIFY(task.errorString().contains(QLatin1String("No space left on device")));
    QCOMPARE(spy.size(), 1);                  // recorded and signalled once
    QVERIFY(task.bytesRead() < input.size()); // the pass stopped
}

void OptimizeTaskTest::reportsReadFailure()
{
    BrokenInput in("M107\nG28\n");
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    RMOptimizeTask task(&in, &out);
    QTest::ignoreMessage(QtWarningMsg, "Could not read the G-code: Input/output error");
    task.optimize();
    QCOMPARE(task.error(), RMOptimizeTask::ReadError);
    QCOMPARE(out.data(), Header + "M107\nG28\n");
}

void OptimizeTaskTest::cancelEndsThePassSoon()
{
    QByteArray input;
    while (input.size() < 64 * RMOptimizeTask::ProgressStep)
        input += "G1 X10 Y20 E0.5\nG1 X20 Y10 E1\n";
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    RMOptimizeTask task(&in, &out);
    // As a GUI thread would, from outside the pass: here at its first report.
    connect(&task, &RMOptimizeTask::progress, &task, &RMOptimizeTask::cancel, Qt::DirectConnection);
    QSignalSpy failed(&task, &RMOptimizeTask::errorOccurred);
    task.optimize();
    QCOMPARE(task.error(), RMOptimizeTask::Cancelled);
    QCOMPARE(failed.size(), 1);
    QVERIFY2(task.bytesRead() < input.size() / 4, qPrintable(QString::number(task.bytesRead())));

    // Cancelled before it began: nothing is read.
    in.seek(0);
    RMOptimizeTask early(&in, &out);
    early.cancel();
    early.optimize();
    QCOMPARE(early.error(), RMOptimizeTask::Cancelled);
    QCOMPARE(early.bytesRead(), 0);
}

void OptimizeTaskTest::refusesOverlongLine()
{
    QByteArray input =
        "M107\n; " + QByteArray(RMOptimizeTask::MaxLineLength + 10, 'x') + "\nM107\n";
    QBuffer in(&input);
    in.open(QIODevice::ReadOnly);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    RMOptimizeTask task(&in, &out);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("longer than 1048576 bytes")));
    task.optimize();
    QCOMPARE(task.error(), RMOptimizeTask::LineTooLong);

    // A line just under the limit passes.
    QByteArray fits = "; " + QByteArray(RMOptimizeTask::MaxLineLength - 2, 'x') + "\n";
    QCOMPARE(optimizeText(fits), Header + fits);
}

void OptimizeTaskTest::countsMovesAndBytes()
{
    const QByteArray input = "G1 X0 Y0 Z0.2 F1200\nG1 X5 Y0\nG1 X10 Y0\nG1X3\nG1 Xbad\nG92 E0\n";
    QByteArray in = input;
    QBuffer inBuffer(&in);
    inBuffer.open(QIODevice::ReadOnly);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    RMOptimizeTask task(&inBuffer, &out);
    task.optimize();
    QCOMPARE(task.bytesRead(), qint64(input.size()));
    QCOMPARE(task.bytesWritten(), qint64(out.data().size()));
    // G0/G1 lines of the move form, the unreadable one included; not G1X3
    // (copied as it stands) nor G92.
    QCOMPARE(task.movesRead(), qint64(4));
    QCOMPARE(task.movesWritten(), qint64(3));
}

QTEST_GUILESS_MAIN(OptimizeTaskTest)
#include "OptimizeTaskTest.moc"
