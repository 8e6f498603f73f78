// The print preview on its own (no printer): what it shows of a file, the
// build-volume check, the layer view against the analysis' own reading, and a
// 100 MB file that must neither freeze the GUI thread nor hold up a Cancel.
#include "ModalScript.h"
#include "TestGcode.h"

#include <LayerView.h>
#include <PrintPreviewDialog.h>
#include <RMGcodeAnalysis.h>
#include <RMOptimizeTask.h>
#include <RMSettings.h>

#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <functional>
#include <memory>

#include <unistd.h>

using zelktest::ModalScript;

namespace {

bool sameSegments(const QVector<RMGcodeSegment>& a, const QVector<RMGcodeSegment>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (std::memcmp(a.at(i).from, b.at(i).from, sizeof(a.at(i).from)) != 0 ||
            std::memcmp(a.at(i).to, b.at(i).to, sizeof(a.at(i).to)) != 0 ||
            a.at(i).extruding != b.at(i).extruding)
            return false;
    return true;
}

// A square outline from (20, 20) to (40, 40), `layers` layers 0.2 mm apart,
// reached by travel from home.
QByteArray squareGcode(int layers)
{
    QByteArray g = "G21\nG90\nM83\nG28\n";
    for (int layer = 1; layer <= layers; ++layer)
        g += "G1 Z" + QByteArray::number(0.2 * layer, 'f', 1) +
             "\nG0 X20 Y20\nG1 X40 Y20 E1\nG1 X40 Y40 E1\nG1 X20 Y40 E1\nG1 X20 Y20 E1\n";
    return g;
}

QStringList leftovers()
{
    return QDir::temp().entryList({"zelk-*.gcode"});
}

} // namespace

class PrintPreviewDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void showsWhatTheFilePrints();
    void fitCheck_data();
    void fitCheck();
    void buildVolumeIsEnteredInThePreview();
    void sliderShowsEachLayer();
    void largeFile();

private:
    QString write(const QString& name, const QByteArray& content);
    static QString text(const QDialog& d, const char* label)
    {
        return d.findChild<QLabel*>(label)->text();
    }
    static bool idle(const PrintPreviewDialog& d) { return !d.isAnalyzing() && !d.isOptimizing(); }

    QTemporaryDir home;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<RMSettings> settings;
};

void PrintPreviewDialogTest::initTestCase()
{
    QVERIFY(home.isValid());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
}

void PrintPreviewDialogTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    settings = std::make_unique<RMSettings>();
    settings->setBuildVolume(RMBuildVolume());
    QVERIFY(leftovers().isEmpty());
}

QString PrintPreviewDialogTest::write(const QString& name, const QByteArray& content)
{
    QFile file(dir->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QString();
    return file.fileName();
}

void PrintPreviewDialogTest::showsWhatTheFilePrints()
{
    const QString path = write("holder.gcode", zelktest::previewGcode());
    RMBuildVolume volume{200, 200, 200};
    settings->setBuildVolume(volume);
    const auto preview = std::make_unique<PrintPreviewDialog>(path, true, settings.get());
    preview->show();
    QTRY_VERIFY_WITH_TIMEOUT(idle(*preview), 20000);
    const RMGcodeAnalysisResult& r = preview->analysis();
    QVERIFY(r.isValid());

    QVERIFY(!preview->findChild<QLabel*>("thumbnailLabel")->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY2(text(*preview, "timeLabel").endsWith("(slicer says 29 min 51 s)"),
             qPrintable(text(*preview, "timeLabel")));
    QCOMPARE(text(*preview, "heatingLabel"),
             QString("hot end 210 °C, bed 60 °C; 2 heating waits, not in the print time"));
    QVERIFY2(text(*preview, "filamentLabel").endsWith("g (slicer says 1.85 m)"),
             qPrintable(text(*preview, "filamentLabel")));
    QCOMPARE(text(*preview, "sizeLabel"), QString("100.0 × 109.8 × 12.0 mm"));
    QVERIFY(text(*preview, "fitLabel").startsWith("Yes"));
    QCOMPARE(text(*preview, "warningsLabel"), QString());
    // Moves before and after, as the optimizer counted them.
    const QRegularExpression moves("^(\\d+) moves before, (\\d+) after \\(\\d+% fewer\\)$");
    const QRegularExpressionMatch m = moves.match(text(*preview, "optimizeLabel"));
    QVERIFY2(m.hasMatch(), qPrintable(text(*preview, "optimizeLabel")));
    QVERIFY(m.captured(2).toInt() < m.captured(1).toInt());
    // The first layer with filament, with the purge line.
    QTRY_COMPARE(preview->shownLayer(), r.firstExtrudingLayer);
    QCOMPARE(text(*preview, "layerLabel"), QString("Layer 1 of 60, at 0.30 mm"));
}

void PrintPreviewDialogTest::fitCheck_data()
{
    // The print: a 20 mm square outline from (20, 20) to (40, 40), 2 mm high.
    QTest::addColumn<double>("width"); // 0: no build volume set
    QTest::addColumn<double>("depth");
    QTest::addColumn<double>("height");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("problem");

    QTest::newRow("no volume") << 0.0 << 0.0 << 0.0
                               << "Not checked: the printer's build volume is not set." << false;
    QTest::newRow("fits") << 50.0 << 50.0 << 10.0 << "Yes, in the build volume of 50 × 50 × 10 mm."
                          << false;
    QTest::newRow("just fits") << 40.0 << 40.0 << 2.0
                               << "Yes, in the build volume of 40 × 40 × 2 mm." << false;
    QTest::newRow("too narrow") << 15.0 << 50.0 << 10.0
                                << "No: 20.0 × 20.0 × 2.0 mm is larger than the build volume, "
                                   "15 × 50 × 10 mm."
                                << true;
    QTest::newRow("too low") << 50.0 << 50.0 << 1.5
                             << "No: 20.0 × 20.0 × 2.0 mm is larger than the build volume, "
                                "50 × 50 × 1.5 mm."
                             << true;
    QTest::newRow("off the plate") << 30.0 << 35.0 << 10.0
                                   << "No: it reaches outside the build volume, 30 × 35 × 10 mm "
                                      "from the origin (X from 20.0 to 40.0 mm; Y from 20.0 to "
                                      "40.0 mm)."
                                   << true;
}

void PrintPreviewDialogTest::fitCheck()
{
    QFETCH(double, width);
    QFETCH(double, depth);
    QFETCH(double, height);
    QFETCH(QString, expected);
    QFETCH(bool, problem);

    settings->setBuildVolume(RMBuildVolume{width, depth, height});
    const QString path = write("square.gcode", squareGcode(10));
    PrintPreviewDialog preview(path, false, settings.get());
    QTRY_VERIFY(idle(preview));
    auto* fit = preview.findChild<QLabel*>("fitLabel");
    QCOMPARE(fit->text(), expected);
    QCOMPARE(fit->property("problem").toBool(), problem);
}

void PrintPreviewDialogTest::buildVolumeIsEnteredInThePreview()
{
    const QString path = write("square.gcode", squareGcode(10));
    PrintPreviewDialog preview(path, false, settings.get());
    preview.show();
    QTRY_VERIFY(idle(preview));
    // Runs the entry dialog with `answer`.
    const auto enter = [&](std::function<void(QDialog*)> answer) {
        ModalScript script;
        script.when(
            "the entry dialog",
            [] {
                auto* d = zelktest::activeModal<QDialog>();
                return d && d->objectName() == "buildVolumeDialog";
            },
            [answer] { answer(zelktest::activeModal<QDialog>()); });
        script.start();
        preview.findChild<QPushButton*>("buildVolumeButton")->click();
        QVERIFY2(script.finished(), qPrintable(script.stuckAt()));
    };

    enter([](QDialog* d) {
        d->findChild<QDoubleSpinBox*>("widthBox")->setValue(15);
        d->findChild<QDoubleSpinBox*>("depthBox")->setValue(50);
        d->findChild<QDoubleSpinBox*>("heightBox")->setValue(10);
        d->accept();
    });
    QCOMPARE(settings->value("build_volume").toString(), QString("15x50x10"));
    QVERIFY(text(preview, "fitLabel").startsWith("No: 20.0 × 20.0 × 2.0 mm is larger"));
    enter([](QDialog* d) { d->findChild<QPushButton*>("clearButton")->click(); });
    QVERIFY(!settings->contains("build_volume"));
    QVERIFY(text(preview, "fitLabel").startsWith("Not checked"));
}

void PrintPreviewDialogTest::sliderShowsEachLayer()
{
    const int layers = 6;
    const QString path = write("holder.gcode", zelktest::previewGcode(layers, false));
    PrintPreviewDialog preview(path, false, settings.get());
    preview.show();
    QTRY_VERIFY(idle(preview));
    const RMGcodeAnalysisResult& r = preview.analysis();
    QCOMPARE(r.layers.size(), layers);
    auto* slider = preview.findChild<QSlider*>("layerSlider");
    auto* view = preview.findChild<LayerView*>();
    QCOMPARE(slider->maximum(), layers - 1);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));

    // Backwards and in a jump, so that every read follows a different one.
    for (int i : {5, 4, 3, 0, 2, 1}) {
        slider->setValue(i);
        QTRY_COMPARE(preview.shownLayer(), i);
        bool complete = false;
        const QVector<RMGcodeSegment> own =
            RMGcodeAnalysis::readLayer(&file, r, i, PrintPreviewDialog::MaxSegments, &complete);
        QVERIFY(complete);
        QVERIFY(!own.isEmpty());
        QVERIFY(sameSegments(view->segments(), own));
        QVERIFY(sameSegments(view->below(), i > 0 ? RMGcodeAnalysis::readLayer(&file, r, i - 1)
                                                  : QVector<RMGcodeSegment>()));
        // The first layer's height is its purge line's.
        QCOMPARE(
            text(preview, "layerLabel"),
            QString("Layer %1 of 6, at %2 mm").arg(i + 1).arg(i ? 0.2 * (i + 1) : 0.3, 0, 'f', 2));
    }
    // A slider dragged across many layers while one is read: the last wins.
    for (int i = 0; i < layers; ++i)
        slider->setValue(i);
    slider->setValue(2);
    QTRY_COMPARE(preview.shownLayer(), 2);
    QTest::qWait(50);
    QCOMPARE(preview.shownLayer(), 2);
}

// ~100 MB (a first layer of ~50 MB, more pieces than a layer view draws,
// then 50 layers of ~1 MB): read, optimized and drawn while the GUI thread
// stays live; Print while the optimizer runs waits for it; Cancel stops both
// passes at once.
void PrintPreviewDialogTest::largeFile()
{
    QByteArray block;
    for (int i = 0; block.size() < 1024 * 1024; ++i)
        block += "G1 X" + QByteArray::number(20 + i % 100) + " Y" + QByteArray::number(20 + i % 7) +
                 " E0.05 F3000\n";
    const QString path = dir->filePath("large.gcode");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("M83\n;LAYER_CHANGE\nG1 Z0.2\n");
        for (int i = 0; i < 50; ++i)
            file.write(block);
        for (int layer = 2; layer <= 51; ++layer)
            file.write(";LAYER_CHANGE\nG1 Z" + QByteArray::number(0.2 * layer, 'f', 1) + "\n" +
                       block);
    }

    // The longest the GUI thread went without running its event loop, the
    // time it waited for a CPU left out (the machine may be busy): from the
    // kernel's count of its run-queue wait, the second number of schedstat.
    QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(gettid()));
    const auto queued = [&schedstat] {
        schedstat.open(QIODevice::ReadOnly);
        const QList<QByteArray> fields = schedstat.readAll().split(' ');
        schedstat.close();
        return fields.size() > 1 ? fields[1].toLongLong() / 1000000 : 0;
    };
    QElapsedTimer clock;
    qint64 last = 0, lastQueued = 0, longest = 0;
    QTimer beat;
    beat.setInterval(5);
    connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed(), nowQueued = queued();
        longest = std::max(longest, now - last - (nowQueued - lastQueued));
        last = now;
        lastQueued = nowQueued;
    });

    {
        PrintPreviewDialog preview(path, true, settings.get());
        preview.show();
        clock.start();
        lastQueued = queued();
        beat.start();
        QTRY_VERIFY_WITH_TIMEOUT(idle(preview) && preview.shownLayer() == 0, 120000);
        QVERIFY(text(preview, "layerLabel").endsWith("(its first 100000 moves)"));
        QCOMPARE(preview.findChild<LayerView*>()->segments().size(),
                 PrintPreviewDialog::MaxSegments);
        preview.findChild<QSlider*>("layerSlider")->setValue(30);
        QTRY_COMPARE(preview.shownLayer(), 30);
        beat.stop();
        qInfo("analysed, optimized and drawn in %lld ms; the GUI thread's longest stall %lld ms",
              clock.elapsed(), longest);
        // Generous: the analysis alone takes half a second or more, which a
        // frozen (or waiting) GUI thread would not answer in.
        QVERIFY2(longest < 250, qPrintable(QString::number(longest)));
    }
    QVERIFY(leftovers().isEmpty());

    // Opens a preview and waits until both passes are under way.
    const auto running = [&](std::unique_ptr<PrintPreviewDialog>& preview) {
        preview = std::make_unique<PrintPreviewDialog>(path, true, settings.get());
        preview->show();
        auto* bar = preview->findChild<QProgressBar*>("progressBar");
        QTRY_VERIFY_WITH_TIMEOUT(bar->value() > 0, 20000);
        QVERIFY(preview->isAnalyzing() && preview->isOptimizing());
    };

    // Print while the optimizer runs: the copy is handed over once it is
    // complete, and is the caller's from then on.
    std::unique_ptr<PrintPreviewDialog> preview;
    running(preview);
    auto* print = preview->findChild<QPushButton*>("printButton");
    print->click();
    QVERIFY(preview->isVisible() && !print->isEnabled());
    QVERIFY(text(*preview, "optimizeLabel").endsWith("The file is sent when this is done."));
    QTRY_COMPARE_WITH_TIMEOUT(preview->result(), int(QDialog::Accepted), 60000);
    std::unique_ptr<QTemporaryFile> copy = preview->takeOptimizedFile();
    preview.reset();
    QVERIFY(copy && copy->open());
    QVERIFY(copy->readLine().startsWith("; Optimized with Corvane optimizer"));
    QVERIFY(copy->size() > 1000000);
    copy.reset();
    QVERIFY(leftovers().isEmpty());

    // Cancel soon after the start: both passes stop at once (a pass left to
    // run to its end held the closing dialog 0.5 s here), nothing is left.
    running(preview);
    QTest::ignoreMessage(QtInfoMsg, "The optimization was cancelled.");
    QElapsedTimer closing;
    closing.start();
    preview->findChild<QPushButton*>("cancelButton")->click();
    QCOMPARE(preview->result(), int(QDialog::Rejected));
    QVERIFY(!preview->takeOptimizedFile());
    preview.reset();
    qInfo("closed in %lld ms", closing.elapsed());
    QVERIFY2(closing.elapsed() < 300, qPrintable(QString::number(closing.elapsed())));
    QVERIFY(leftovers().isEmpty());
}

QTEST_MAIN(PrintPreviewDialogTest)
#include "PrintPreviewDialogTest.moc"
