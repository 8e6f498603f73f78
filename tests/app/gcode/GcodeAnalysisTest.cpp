// The G-code analysis: print times worked out by hand for the motion model's
// cases (trapezoids, corners by jerk and by junction deviation, limits the
// file sets, dwell, arcs, units, firmware retraction), what it finds in small
// files (layers by comments, by heights, in a spiral; filament; extent;
// temperatures; the slicer's figures; thumbnails), a layer read back alone,
// files that are odd, cancellation, and the real slicer excerpts kept here:
// Cura's own elapsed time for a first layer, and the read-back agreeing with
// the pass on every layer.
#include "TestFiles.h"
#include <RMGcodeAnalysis.h>

#include <QBuffer>
#include <QDir>
#include <QJsonObject>
#include <QtTest>

#include <cmath>
#include <cstring>

namespace {

RMGcodeAnalysisResult analyzeText(const QByteArray& text)
{
    QByteArray bytes = text;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return RMGcodeAnalysis().analyze(&buffer);
}

// Limits that make the hand calculation short: 1000 mm/s² and 1000 mm/s on
// every axis, and corners that stop (jerk near 0) unless a case says more.
const QByteArray Limits = "M201 X1000 Y1000 Z1000 E1000\n"
                          "M203 X1000 Y1000 Z1000 E1000\n"
                          "M204 P1000 R1000 T1000\n"
                          "M205 X0.000001 Y0.000001 Z0.000001 E0.000001\n";

// Hands out its bytes, then fails, as a disk with a bad sector does.
class BrokenInput : public QIODevice
{
public:
    explicit BrokenInput(QByteArray bytes) : good(std::move(bytes)) { open(QIODevice::ReadOnly); }

protected:
    qint64 readData(char* data, qint64 n) override
    {
        if (good.isEmpty())
            return -1;
        n = std::min<qint64>(n, good.size());
        std::memcpy(data, good.constData(), size_t(n));
        good.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray good;
};

} // namespace

class GcodeAnalysisTest : public QObject
{
    Q_OBJECT
private slots:
    void printTime_data();
    void printTime();
    void figures_data();
    void figures();
    void thumbnail();
    void hostFigures();
    void layerReadBack();
    void oddFiles_data();
    void oddFiles();
    void cancelAndReadError();
    void firstLayerAgainstCura();
    void excerptsReadBackAsAnalysed();
};

void GcodeAnalysisTest::printTime_data()
{
    QTest::addColumn<QByteArray>("gcode");
    QTest::addColumn<double>("seconds");
    // From rest to 100 mm/s in 5 mm and back: 0.1 + 0.9 + 0.1.
    QTest::newRow("one move, trapezoid") << QByteArray("G1 X100 F6000\n") << 1.1;
    // Too short to reach 100 mm/s: up to sqrt(a d) and down again.
    QTest::newRow("one move, triangle")
        << QByteArray("G1 X1 F6000\n") << 2 * std::sqrt(1000.0) / 1000;
    QTest::newRow("straight on at full speed") << QByteArray("G1 X50 F6000\nG1 X100\n") << 1.1;
    QTest::newRow("a right angle stops") << QByteArray("G1 X100 F6000\nG1 Y100\n") << 2.2;
    // Jerk 10: both moves start, turn and stop at 10 mm/s; 0.09 s to 100
    // mm/s over 4.95 mm, each way.
    QTest::newRow("a right angle at the jerk")
        << QByteArray("M205 X10 Y10\nG1 X100 F6000\nG1 Y100\n") << 2 * (0.18 + 90.1 / 100);
    // Junction deviation 0.05 at 90°: v² = a δ sin(θ/2) / (1 - sin(θ/2)).
    QTest::newRow("a right angle by junction deviation")
        << QByteArray("M205 J0.05\nG1 X100 F6000\nG1 Y100\n") << [] {
               const double s = std::sqrt(0.5), v = std::sqrt(1000 * 0.05 * s / (1 - s));
               const double braking = (100 * 100 - v * v) / 2000;
               return 2 * (0.1 + (100 - v) / 1000 + (100 - 5 - braking) / 100);
           }();
    QTest::newRow("the axis's feed rate") << QByteArray("M203 X50\nG1 X100 F6000\n") << 0.1 + 1.95;
    QTest::newRow("the axis's acceleration") << QByteArray("M201 X250\nG1 X100 F6000\n") << 1.4;
    QTest::newRow("M204 T for travel, P for printing")
        << QByteArray("M204 P250 T1000\nG1 X100 F6000\nG1 X200 E1\n") << 1.1 + 1.4;
    QTest::newRow("the minimum extruding feed rate")
        << QByteArray("M205 S50\nG1 X100 E1 F600\n") << 2.05;
    QTest::newRow("dwell") << QByteArray("G4 P500\nG4 S2\n") << 2.5;
    QTest::newRow("inches") << QByteArray("G20\nG1 X3.937007874 F236.2204724\n") << 1.1;
    QTest::newRow("relative moves") << QByteArray("G91\nG1 X50 F6000\nG1 X50\n") << 1.1;
    // A new position stops the planner, as in firmware.
    QTest::newRow("G92 between moves")
        << QByteArray("G1 X50 F6000\nG92 X0\nG1 X50\n") << 2 * (0.2 + 0.4);
    // A circle of 10 mm at 1 mm/s: its length in seconds (within the chords').
    QTest::newRow("full circle") << QByteArray(
                                        "M205 X10 Y10\nG1 X10 F60\nG92 X10\nG2 X10 Y0 I-10 J0\n")
                                 << 10.0 + 2 * 3.14159265 * 10;
    // 4 mm back at 40 mm/s, forth at 20 mm/s, from and to rest.
    QTest::newRow("firmware retraction")
        << QByteArray("M207 S4 F2400\nM208 F1200\nG10\nG10\nG11\n") << 0.14 + 0.22;
    QTest::newRow("heating waits left out") << QByteArray("M109 S200\nM190 S60\nM116\n") << 0.0;
}

void GcodeAnalysisTest::printTime()
{
    QFETCH(QByteArray, gcode);
    QFETCH(double, seconds);
    const RMGcodeAnalysisResult r = analyzeText(Limits + gcode);
    QVERIFY(r.isValid());
    QVERIFY2(std::fabs(r.printTime - seconds) <= 1e-3 * seconds + 1e-4,
             qPrintable(QStringLiteral("%1 s, not %2 s").arg(r.printTime).arg(seconds)));
}

void GcodeAnalysisTest::figures_data()
{
    QTest::addColumn<QByteArray>("gcode");
    // "layers from first to last, comments|heights": layer heights
    QTest::addColumn<QString>("layers");
    QTest::addColumn<double>("filament");
    QTest::addColumn<QString>("other"); // what else it must find, "name=value; ..."

    const QByteArray square = "G1 X10 Y0 E1\nG1 X10 Y10 E2\nG1 X0 Y10 E3\nG1 X0 Y0 E4\n";
    QTest::newRow("slicer's comments, intro line in the first layer")
        << "; generated by PrusaSlicer 2.7.4 on 2024-05-26 at 01:32:45 UTC\n"
           "M190 S60\nM104 S150\nM109 S210\nG28\nG1 Z0.2 F3000\nG1 X5 Y-3 E2\nG92 E0\n"
           ";LAYER_CHANGE\n;Z:0.2\n" +
               square + "M104 S200\n;LAYER_CHANGE\nG92 E0\nG1 Z0.4\n" + square +
               "G1 E3\n; filament used [mm] = 10.5\n"
               "; estimated printing time (normal mode) = 1h 2m 3s\n"
        << "2 layers, comments: 0.2 0.4" << 9.0
        << "hotend=210; bed=60; generator=PrusaSlicer 2.7.4; slicer time=3723; slicer "
           "filament=10.5; box=0 -3 0.2 10 10 0.4";
    QTest::newRow("Cura's comments, a marker repeated")
        << ";TIME:100\n;Filament used: 0.0125m\n;LAYER:0\nM82\nG1 Z0.3 F600\n" + square +
               ";LAYER:1\n;LAYER:1\nG1 Z0.6\nG92 E0\n" + square + ";LAYER:2\nG1 Z5\n"
        << "3 layers, comments: 0.3 0.6 0.6" << 8.0
        << "slicer time=100; slicer filament=12.5; first=0; last=1";
    QTest::newRow("heights, a z hop is no layer")
        << QByteArray(
               "M83\nG1 Z0.2\nG1 X10 E1\nG1 Z1\nG1 X20\nG1 Z0.2\nG1 X30 E1\nG1 Z0.4\nG1 X0 E1\n"
               "G1 Z0.6\nG1 X10 E1\nG1 E-0.5\n")
        << "3 layers, heights: 0.2 0.4 0.6" << 3.5 << "box=0 0 0.2 30 0 0.6";
    // A spiral of 5 turns of 0.2 mm on two flat layers: the first turn climbs
    // from the top flat layer, each later turn is a layer of its own.
    QByteArray spiral = "M83\nG1 Z0.2\nG1 X10 E1\nG1 Z0.4\nG1 X0 E1\n";
    for (int i = 1; i <= 5 * 36; ++i)
        spiral += QStringLiteral("G1 X%1 Y%2 Z%3 E0.1\n")
                      .arg(10 * std::cos(i * 3.14159265 / 18), 0, 'f', 4)
                      .arg(10 * std::sin(i * 3.14159265 / 18), 0, 'f', 4)
                      .arg(0.4 + i * 0.2 / 36, 0, 'f', 5)
                      .toUtf8();
    QTest::newRow("spiral by heights")
        << spiral << "6 layers, heights: 0.2 0.6 0.8 1 1.2 1.4" << 20.0 << "";
    QTest::newRow("absolute E, G92 and firmware retraction")
        << QByteArray(
               "M82\nG1 Z0.2\nG1 X10 E5\nG92 E0\nG1 X20 E2\nG10\nG1 X0\nG11\nG1 X10 E4\nG10\n")
        << "1 layers, heights: 0.2" << 6.0 << "";
    QTest::newRow("words as firmware reads them")
        << QByteArray("N1 G1 X10 E1*32\ng1 x20 e2 (a note)\nG1X30E3 ; glued\n\t G1 X40 E4\n")
        << "1 layers, heights: 0" << 4.0 << "box=0 0 0 40 0 0";
    QTest::newRow("volumetric extrusion and a tool change")
        << QByteArray("T0\nM200 D1.75\nG1 X10 E1\nT1\nG1 X0 E2\n") << "1 layers, heights: 0" << 2.0
        << "warning=volumetric extrusion on (M200); warning=changes tools (T1)";
}

void GcodeAnalysisTest::figures()
{
    QFETCH(QByteArray, gcode);
    QFETCH(QString, layers);
    QFETCH(double, filament);
    QFETCH(QString, other);
    const RMGcodeAnalysisResult r = analyzeText(gcode);
    QVERIFY(r.isValid());
    QStringList heights;
    for (const RMGcodeLayer& l : r.layers)
        heights << QString::number(l.z, 'g', 4);
    QCOMPARE(QStringLiteral("%1 layers, %2: %3")
                 .arg(r.layers.size())
                 .arg(r.layersFromComments ? "comments" : "heights", heights.join(' ')),
             layers);
    QVERIFY2(std::fabs(r.filamentLength - filament) < 1e-9,
             qPrintable(QString::number(r.filamentLength)));
    QCOMPARE(r.filamentVolume, filament * 3.14159265358979 * 0.875 * 0.875);
    QVERIFY(std::fabs(r.filamentWeight - r.filamentVolume / 1000 * 1.24) < 1e-12);

    for (const QString& item : other.split(QStringLiteral("; "), Qt::SkipEmptyParts)) {
        const QString name = item.section('=', 0, 0), value = item.section('=', 1);
        QString got;
        if (name == "hotend")
            got = QString::number(r.hotendTemperature);
        else if (name == "bed")
            got = QString::number(r.bedTemperature);
        else if (name == "generator")
            got = r.generator;
        else if (name == "slicer time")
            got = QString::number(r.slicerPrintTime);
        else if (name == "slicer filament")
            got = QString::number(r.slicerFilamentLength);
        else if (name == "first")
            got = QString::number(r.firstExtrudingLayer);
        else if (name == "last")
            got = QString::number(r.lastExtrudingLayer);
        else if (name == "box")
            got = QStringLiteral("%1 %2 %3 %4 %5 %6")
                      .arg(r.printingArea.min[0])
                      .arg(r.printingArea.min[1])
                      .arg(r.printingArea.min[2])
                      .arg(r.printingArea.max[0])
                      .arg(r.printingArea.max[1])
                      .arg(r.printingArea.max[2]);
        else if (name == "warning")
            got = r.warnings.filter(value).isEmpty() ? r.warnings.join('|') : value;
        QCOMPARE(got, value);
    }
    if (!other.contains("warning"))
        QVERIFY2(r.warnings.isEmpty(), qPrintable(r.warnings.join('\n')));
}

void GcodeAnalysisTest::thumbnail()
{
    // A 2x2 PNG made for this test, and a bigger one that is not a PNG.
    const QByteArray png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAIAAAD91JpzAAAAEElEQVR4nGP438AARAwQCgAt7gX9iz9uhAAAAABJ"
        "RU5ErkJggg==");
    QByteArray text = "; thumbnail begin 2x2 100\n"
                      "; iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAIAAAD91JpzAAAAEElEQVR4nGP438AARAwQCgAt\n"
                      "; 7gX9iz9uhAAAAABJRU5ErkJggg==\n"
                      "; thumbnail end\n"
                      "; thumbnail_JPG begin 4x4 8\n; bm90IGpwZw==\n; thumbnail_JPG end\n"
                      "; thumbnail begin 9x9 8\n; AAAA\nG1 X1\n"; // cut off by a command
    QBuffer file(&text);
    file.open(QIODevice::ReadOnly);
    const RMGcodeAnalysisResult r = RMGcodeAnalysis().analyze(&file);
    QCOMPARE(r.thumbnails.size(), 2);
    QCOMPARE(r.thumbnails.at(1).format, QStringLiteral("JPG"));
    QCOMPARE(RMGcodeAnalysis::largestThumbnail(r), 1);
    QCOMPARE(RMGcodeAnalysis::readThumbnail(&file, r.thumbnails.at(0)), png);
    QVERIFY(RMGcodeAnalysis::readThumbnail(&file, r.thumbnails.at(1)).isEmpty());
}

void GcodeAnalysisTest::hostFigures()
{
    const RMGcodeAnalysisResult r = analyzeText(Limits + "G1 Z0.2 F600\nG1 X10 Y5 E2 F6000\n");
    const QJsonObject o = RMGcodeAnalysis::octoPrintAnalysis(r);
    QCOMPARE(o["estimatedPrintTime"].toDouble(), std::round(r.printTime * 10) / 10);
    QCOMPARE(o["filament"]["tool0"]["length"].toDouble(), 2.0);
    QCOMPARE(o["filament"]["tool0"]["volume"].toDouble(), 0.005);
    QCOMPARE(o["dimensions"].toObject(), QJsonObject({{"width", 10}, {"depth", 5}, {"height", 0}}));
    QCOMPARE(
        o["printingArea"].toObject(),
        QJsonObject(
            {{"minX", 0}, {"maxX", 10}, {"minY", 0}, {"maxY", 5}, {"minZ", 0.2}, {"maxZ", 0.2}}));
    QCOMPARE(o["travelArea"]["minZ"].toDouble(), 0.0);
}

void GcodeAnalysisTest::layerReadBack()
{
    // Relative moves set in the first layer hold in the second, which is read
    // from its own first byte.
    QByteArray text = ";LAYER:0\nG1 Z0.2 F600\nG91\nM83\nG1 X10 E1\n"
                      ";LAYER:1\nG1 Z0.2\nG1 X-10 E1\nG1 Y5\nG3 X0 Y10 I0 J5 E1\n;LAYER:2\nG1 X1\n";
    QBuffer file(&text);
    file.open(QIODevice::ReadOnly);
    const RMGcodeAnalysisResult r = RMGcodeAnalysis().analyze(&file);
    QCOMPARE(r.layers.size(), 3);
    bool complete = false;
    const QVector<RMGcodeSegment> s = RMGcodeAnalysis::readLayer(&file, r, 1, 1000, &complete);
    QVERIFY(complete);
    QVERIFY(s.size() > 4); // the half circle comes in pieces
    auto at = [](const float* p) {
        return QStringLiteral("%1 %2 %3").arg(p[0]).arg(p[1]).arg(p[2]);
    };
    QCOMPARE(at(s.at(0).from), QStringLiteral("10 0 0.2"));
    QCOMPARE(at(s.at(0).to), QStringLiteral("10 0 0.4")); // the travel up
    QVERIFY(!s.at(0).extruding);
    QCOMPARE(at(s.at(1).to), QStringLiteral("0 0 0.4"));
    QVERIFY(s.at(1).extruding);
    QVERIFY(!s.at(2).extruding);
    for (int i = 3; i < s.size(); ++i) {
        QVERIFY(s.at(i).extruding);
        QCOMPARE(std::hypot(s.at(i).to[0], s.at(i).to[1] - 10), 5.0f);
    }
    QCOMPARE(at(s.last().to), QStringLiteral("0 15 0.4"));
    // A cap on the pieces says so.
    QCOMPARE(RMGcodeAnalysis::readLayer(&file, r, 1, 2, &complete).size(), 2);
    QVERIFY(!complete);
    QVERIFY(RMGcodeAnalysis::readLayer(&file, r, 3, 10, &complete).isEmpty());
}

void GcodeAnalysisTest::oddFiles_data()
{
    QTest::addColumn<QByteArray>("gcode");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("moves");
    QTest::newRow("empty") << QByteArray() << "The file is empty." << 0;
    QTest::newRow("binary") << QByteArray("G1 X1 E1\n\0\x01\xff\xfeG1 X", 18)
                            << "binary data (a zero byte at byte 9)" << 2;
    QTest::newRow("binary G-code") << QByteArray("GCDE\1\0\0\0", 8) << "binary G-code" << 0;
    QTest::newRow("a line of 10 MB")
        << "G1 X1 E1\nG1 X" + QByteArray(10 * 1024 * 1024, '1') + "\nG1 X2 E2\n"
        << "Lines longer than 1 MiB were skipped: 1." << 2;
    QTest::newRow("coordinates of 1e30")
        << QByteArray("G1 X1e30 E1\nG1 X5 E1e30\nG2 X1 I1e30\nG4 S1e30\nG1 X10 E1\nG1 X1E30\n"
                      "G1 X1-2 E2\n")
        << "Lines with numbers beyond a printer's reach or not plain decimals were left out: 5."
        << 2;
    QTest::newRow("no extrusion") << QByteArray("G28\nG1 X10 Y10 F3000\n") << "Nothing is extruded"
                                  << 1;
    QTest::newRow("comments only")
        << QByteArray(";LAYER:0\n; nothing\n") << "The file has no moves" << 0;
}

void GcodeAnalysisTest::oddFiles()
{
    QFETCH(QByteArray, gcode);
    QFETCH(QString, warning);
    QFETCH(int, moves);
    const RMGcodeAnalysisResult r = analyzeText(gcode);
    QVERIFY(r.isValid());
    QVERIFY2(!r.warnings.filter(warning).isEmpty(), qPrintable(r.warnings.join('\n')));
    QCOMPARE(r.moves, qint64(moves));
    QCOMPARE(r.bytes, qint64(gcode.size()));
    for (double v : {r.printTime, r.filamentLength, r.printingArea.max[0], r.travelArea.max[0]})
        QVERIFY(std::isfinite(v) && std::fabs(v) < 1e7);
    QCOMPARE(r.layers.isEmpty(), moves == 0);
}

void GcodeAnalysisTest::cancelAndReadError()
{
    QByteArray big;
    while (big.size() < 3 * RMGcodeAnalysis::ProgressStep)
        big += "G1 X10 Y10 E1 F3000\nG1 X0 Y0 E2\n";
    QBuffer file(&big);
    file.open(QIODevice::ReadOnly);
    RMGcodeAnalysis analysis;
    QList<qint64> seen;
    connect(&analysis, &RMGcodeAnalysis::progress, this, [&](qint64 done, qint64 total) {
        QCOMPARE(total, qint64(big.size()));
        seen << done;
        analysis.cancel();
    });
    const RMGcodeAnalysisResult r = analysis.analyze(&file);
    QCOMPARE(r.error, RMGcodeAnalysisResult::Cancelled);
    QCOMPARE(seen.size(), 1);
    // The next pass runs whole, with its progress to the end.
    seen.clear();
    disconnect(&analysis, nullptr, this, nullptr);
    connect(&analysis, &RMGcodeAnalysis::progress, this, [&](qint64 done) { seen << done; });
    file.seek(0);
    QVERIFY(analysis.analyze(&file).isValid());
    QCOMPARE(seen.last(), qint64(big.size()));

    QCOMPARE(analysis.analyzeFile(QStringLiteral("/no/such.gcode")).error,
             RMGcodeAnalysisResult::OpenError);
    QCOMPARE(analysis.analyzeFile(QDir::tempPath()).error, RMGcodeAnalysisResult::OpenError);
    BrokenInput broken("G1 X10 E1\nG1 X");
    QCOMPARE(analysis.analyze(&broken).error, RMGcodeAnalysisResult::ReadError);
}

void GcodeAnalysisTest::firstLayerAgainstCura()
{
    // Cura wrote its own elapsed time at the end of each layer: the excerpt's
    // start runs to the end of the first layer, on the printer's defaults
    // here (the file sets no limits).
    const QByteArray excerpt =
        zelktest::readTestData(ZELK_GCODE_TEST_DATA "/corpus/puzzle-cura-2.3.gcode");
    const int end = excerpt.indexOf(";TIME_ELAPSED:");
    QVERIFY(end > 0);
    const double cura = excerpt.mid(end + 14, 10).trimmed().toDouble();
    QCOMPARE(cura, 178.515549);
    const RMGcodeAnalysisResult r = analyzeText(excerpt.left(end));
    QVERIFY2(std::fabs(r.printTime - cura) / cura < 0.10, qPrintable(QString::number(r.printTime)));
}

void GcodeAnalysisTest::excerptsReadBackAsAnalysed()
{
    // Every layer of real slicer output, read back alone from its offset and
    // state, lays filament exactly where the pass found it.
    const QDir dir(QStringLiteral(ZELK_GCODE_TEST_DATA "/corpus"));
    const QStringList files = dir.entryList({QStringLiteral("*.gcode")}, QDir::Files);
    QCOMPARE(files.size(), 9);
    for (const QString& name : files) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const RMGcodeAnalysisResult r = RMGcodeAnalysis().analyze(&file);
        QVERIFY2(r.isValid() && r.warnings.isEmpty(), qPrintable(name));
        QVERIFY2(r.printTime > 60 && r.filamentLength > 100 && r.layers.size() > 2,
                 qPrintable(name));
        RMGcodeBox box;
        for (int i = 0; i < r.layers.size(); ++i) {
            bool complete = false;
            const QVector<RMGcodeSegment> s =
                RMGcodeAnalysis::readLayer(&file, r, i, 1000000, &complete);
            QVERIFY(complete);
            for (const RMGcodeSegment& segment : s) {
                if (!segment.extruding)
                    continue;
                for (const float* p : {segment.from, segment.to}) {
                    const double point[3] = {p[0], p[1], p[2]};
                    box.add(point);
                }
            }
        }
        for (int a = 0; a < 3; ++a) {
            QVERIFY2(std::fabs(box.min[a] - r.printingArea.min[a]) < 1e-3, qPrintable(name));
            QVERIFY2(std::fabs(box.max[a] - r.printingArea.max[a]) < 1e-3, qPrintable(name));
        }
    }
}

QTEST_GUILESS_MAIN(GcodeAnalysisTest)
#include "GcodeAnalysisTest.moc"
