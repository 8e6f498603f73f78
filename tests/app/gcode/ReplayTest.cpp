// The optimizer's output replayed against its input (GcodeReplay.h says what
// "prints the same object" means): over real slicer output and generated
// adversarial G-code. The checker itself is tested first, on outputs that are
// wrong in the ways a naive merger is wrong.
#include "GcodeGenerator.h"
#include "GcodeReplay.h"
#include "Optimize.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

QString sharedCorpusFolder()
{
    const QString fromEnvironment = qEnvironmentVariable("ZELK_GCODE_CORPUS");
    return fromEnvironment.isEmpty() ? QStringLiteral(ZELK_SHARED_GCODE) : fromEnvironment;
}

void addFiles(const QString& folder)
{
    QTest::addColumn<QString>("path");
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.gcode")}, QDir::Files, QDir::Name))
        QTest::newRow(qPrintable(name)) << dir.filePath(name);
}

void replay(const QByteArray& input)
{
    const QByteArray output = optimizeText(input);
    const gcodereplay::Report report = gcodereplay::check(input, output);
    if (!report.failures.isEmpty())
        QFAIL(qPrintable(report.failures.join(QLatin1Char('\n'))));
    QVERIFY(report.outputMoves <= report.inputMoves);
    const double removed =
        report.inputMoves ? 100.0 * (report.inputMoves - report.outputMoves) / report.inputMoves
                          : 0.0;
    qInfo("%d -> %d moves, %.1f%% removed", report.inputMoves, report.outputMoves, removed);
}

const QByteArray Header = "; Optimized with Corvane optimizer (c++)\n";

} // namespace

class ReplayTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("RMOptimizeTask.debug=false"));
    }
    void checkerCatchesWrongOutput_data();
    void checkerCatchesWrongOutput();
    void excerpts_data() { addFiles(QStringLiteral(ZELK_GCODE_TEST_DATA "/corpus")); }
    void excerpts();
    void sharedCorpus();
    void generated_data();
    void generated();
};

void ReplayTest::checkerCatchesWrongOutput_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("failure");

    const QByteArray start = "G1 X0 Y0 Z0.2 F1200\n";
    QTest::newRow("first move dropped") << QByteArray("G28\nG1 X0 Y0\nG1 X10 Y0\n")
                                        << QByteArray("G28\nG1 X10 Y0\n") << "unknown position";
    QTest::newRow("G92 swallowed") << start + "G1 X10 Y0 E1\nG92 E0\nG1 X20 Y0 E1\n"
                                   << start + "G1 X20 Y0 E1\n"
                                   << "lines other than moves";
    QTest::newRow("extrusion lost on travel") << start + "G1 X10 Y0 E1\nG1 X20 Y0\n"
                                              << start + "G1 X20 Y0\n"
                                              << "no run";
    QTest::newRow("travel turned into extrusion") << start + "G1 X10 Y0\nG1 X20 Y0 E1\n"
                                                  << start + "G1 X20 Y0 E1\n"
                                                  << "mixed";
    QTest::newRow("back and forth merged") << start + "G1 X10 Y0 E1\nG1 X5 Y0 E2\nG1 X20 Y0 E3\n"
                                           << start + "G1 X20 Y0 E3\n"
                                           << "goes back";
    QTest::newRow("overshoot merged") << start + "G1 X30 Y0 E1\nG1 X20 Y0 E2\n"
                                      << start + "G1 X20 Y0 E2\n"
                                      << "lies 10";
    QTest::newRow("point off the path") << start + "G1 X10 Y0.2 E1\nG1 X20 Y0 E2\n"
                                        << start + "G1 X20 Y0 E2\n"
                                        << "lies 0.2";
    QTest::newRow("relative extrusion doubled") << "M83\n" + start + "G1 X10 Y0 E1\nG1 X20 Y0 E1\n"
                                                << "M83\n" + start + "G1 X20 Y0 E1\n"
                                                << "no run";
    QTest::newRow("line written twice") << start + "G1 Z0.4\n; c\n"
                                        << start + "G1 Z0.4\n; c\n" + "G1 Z0.4\n"
                                        << "moves became";
    QTest::newRow("anchor stale after arc") << start + "G2 X10 Y10 I5 J5\nG1 X10 Y20\nG1 X10 Y30\n"
                                            << start + "G2 X10 Y10 I5 J5\nG1 X10 Y30\n"
                                            << "";
    QTest::newRow("merged across an arc's start")
        << start + "G1 X10 Y0\nG2 X20 Y10 I5 J5\nG1 X20 Y20\n"
        << start + "G1 X10 Y0\nG2 X20 Y10 I5 J5\nG1 X20 Y20\n"
        << "";
    QTest::newRow("feed rate merged") << start + "G1 X10 Y0 E1\nG1 X20 Y0 E2 F3000\n"
                                      << start + "G1 F3000 X20 Y0 E2\n"
                                      << "feed rate";
    QTest::newRow("dropped Y") << start + "G1 X10 Y5\nG1 X20\n"
                               << start + "G1 X20\n"
                               << "no run";
    // Numbers rounded to 7 significant digits: coarse late in a long print.
    QTest::newRow("absolute E rounded") << start + "G1 X10 Y0 E1205.67427\nG1 X10 Y10 E1205.67436\n"
                                        << start + "G1 X10 Y0 E1205.674\nG1 X10 Y10 E1205.674\n"
                                        << "no run";
    QTest::newRow("relative sum rounded")
        << "M83\n" + start + "G1 X1 Y0 E0.1\nG1 X2 Y0 E0.0333333333\n"
        << "M83\n" + start + "G1 X2 Y0 E0.1333333\n"
        << "no run";
    QTest::newRow("position rounded") << start + "G1 X10.0000001 Y0\n"
                                      << start + "G1 X10 Y0\n"
                                      << "no run";
    // What firmwares read two ways: merged as one way reads them.
    QTest::newRow("M83 taken as ended by G90")
        << "M83\n" + start + "G90\nG1 X10 Y0 E1\nG1 X20 Y0 E2\n"
        << "M83\n" + start + "G90\nG1 X20 Y0 E2\n"
        << "(M83 outlives G90) output line 5: no run";
    QTest::newRow("G92 alone taken as doing nothing")
        << QByteArray("G1 X0 Y5 Z0.2\nG92\nG1 X10 Y5\nG1 X20 Y5\n")
        << QByteArray("G1 X0 Y5 Z0.2\nG92\nG1 X20 Y5\n") << "(M83 outlives G90) input line 3";
    QTest::newRow("exponent taken as part of the number")
        << start + "G1 X1e1 Y0\nG1 X20 Y0\n"
        << start + "G1 X20 Y0\n"
        << "(M83 outlives G90) output line 3: no run";
    QTest::newRow("header missing") << start << start.mid(0) << "header";
}

void ReplayTest::checkerCatchesWrongOutput()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QFETCH(QString, failure);
    const QByteArray withHeader = failure == QLatin1String("header") ? output : Header + output;
    const gcodereplay::Report report = gcodereplay::check(input, withHeader);
    const QString all = report.failures.join(QLatin1Char('\n'));
    if (failure.isEmpty()) // a correct output, to show the checker is not too strict
        QVERIFY2(report.failures.isEmpty(), qPrintable(all));
    else
        QVERIFY2(all.contains(failure), qPrintable(QStringLiteral("reported: ") + all));
}

void ReplayTest::excerpts()
{
    QFETCH(QString, path);
    replay(zelktest::readTestData(path));
}

// The full slicer files, when the machine has them (CI runs from a clone that
// may not): one pass over whatever is there. The excerpts above are what bind.
void ReplayTest::sharedCorpus()
{
    const QString folder = sharedCorpusFolder();
    const QDir dir(folder);
    const QStringList names =
        dir.exists() ? dir.entryList({QStringLiteral("*.gcode")}, QDir::Files, QDir::Name)
                     : QStringList();
    if (names.isEmpty()) {
        qInfo("no shared G-code corpus at %s: replayed the excerpts only", qPrintable(folder));
        return;
    }
    for (const QString& name : names) {
        QFile file(dir.filePath(name));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
        qInfo("%s:", qPrintable(name));
        replay(file.readAll());
        if (QTest::currentTestFailed())
            return;
    }
}

void ReplayTest::generated_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 1000; ++seed)
        QTest::newRow(qPrintable(QStringLiteral("seed %1").arg(seed))) << seed;
}

void ReplayTest::generated()
{
    QFETCH(quint32, seed);
    const QByteArray input = generateAdversarialGcode(seed, 60);
    const QByteArray output = optimizeText(input);
    const gcodereplay::Report report = gcodereplay::check(input, output);
    if (!report.failures.isEmpty()) {
        QFile dump(QDir::temp().filePath(QStringLiteral("replay-seed-%1.gcode").arg(seed)));
        if (dump.open(QIODevice::WriteOnly))
            dump.write(input);
        QFAIL(qPrintable(QStringLiteral("input kept in %1\n").arg(dump.fileName()) +
                         report.failures.join(QLatin1Char('\n'))));
    }
}

QTEST_GUILESS_MAIN(ReplayTest)
#include "ReplayTest.moc"
