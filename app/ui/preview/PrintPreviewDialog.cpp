#include "PrintPreviewDialog.h"
#include "ui_PrintPreviewDialog.h"

#include "LayerView.h"

#include <OptimizerLogging.h>
#include <RMGcodeAnalysis.h>
#include <RMOptimizeTask.h>
#include <RMOptimizedFile.h>
#include <RMSettings.h>

#include <QBuffer>
#include <QDialogButtonBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QImage>
#include <QImageReader>
#include <QLocale>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryFile>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <cmath>

#ifdef Q_OS_LINUX
#include <pthread.h>
#endif

namespace {

// A slicer's largest thumbnail is a few hundred pixels a side; an image that
// announces more is not decoded (a few bytes of PNG can announce gigapixels).
constexpr int MaxThumbnailSide = 2048;
const QSize ThumbnailBox(240, 170);
// Floating-point noise in a file's coordinates, mm.
constexpr double Slack = 0.001;

void nameThread()
{
    static const QString name = QStringLiteral("zelk-preview");
    QThread::currentThread()->setObjectName(name);
#ifdef Q_OS_LINUX
    pthread_setname_np(pthread_self(), "zelk-preview");
#endif
}

struct Analysed
{
    QSharedPointer<const RMGcodeAnalysisResult> result;
    QImage thumbnail;
};

struct LayerRead
{
    int index = -1;
    QVector<RMGcodeSegment> segments;
    QVector<RMGcodeSegment> below;
    bool complete = false;
};

QString number(double v, int decimals = 1)
{
    return QLocale().toString(v, 'f', decimals);
}

QString duration(double seconds)
{
    const qint64 s = std::isfinite(seconds) ? std::llround(std::max(0.0, seconds)) : 0;
    const qint64 h = s / 3600, m = s / 60 % 60, rest = s % 60;
    if (h > 0)
        return PrintPreviewDialog::tr("%1 h %2 min").arg(h).arg(m);
    if (m > 0)
        return PrintPreviewDialog::tr("%1 min %2 s").arg(m).arg(rest);
    return PrintPreviewDialog::tr("%1 s").arg(rest);
}

QString volumeText(const RMBuildVolume& v)
{
    return PrintPreviewDialog::tr("%1 × %2 × %3 mm")
        .arg(QLocale().toString(v.width, 'g', 6), QLocale().toString(v.depth, 'g', 6),
             QLocale().toString(v.height, 'g', 6)); // 220, or 180.5
}

// Whether what is extruded lies inside the build volume, which starts at the
// origin of the printer's coordinates; `problem` when it does not.
QString fitText(const RMGcodeBox& box, const RMBuildVolume& volume, bool* problem)
{
    *problem = false;
    if (!volume.isValid())
        return PrintPreviewDialog::tr("Not checked: the printer's build volume is not set.");
    if (box.empty)
        return PrintPreviewDialog::tr("Nothing is extruded.");
    const double limit[3] = {volume.width, volume.depth, volume.height};
    // The height counts from the plate, where the print stands.
    const double size[3] = {box.width(), box.depth(), box.max[2]};
    static const char axes[] = "XYZ";
    bool larger = false;
    QStringList outside;
    for (int i = 0; i < 3; ++i) {
        larger = larger || size[i] > limit[i] + Slack;
        if (box.min[i] < -Slack || box.max[i] > limit[i] + Slack)
            outside << PrintPreviewDialog::tr("%1 from %2 to %3 mm")
                           .arg(QLatin1Char(axes[i]))
                           .arg(number(box.min[i]), number(box.max[i]));
    }
    *problem = larger || !outside.isEmpty();
    if (larger)
        return PrintPreviewDialog::tr("No: %1 × %2 × %3 mm is larger than the build volume, %4.")
            .arg(number(size[0]), number(size[1]), number(size[2]), volumeText(volume));
    if (!outside.isEmpty())
        return PrintPreviewDialog::tr(
                   "No: it reaches outside the build volume, %1 from the origin (%2).")
            .arg(volumeText(volume), outside.join(QStringLiteral("; ")));
    return PrintPreviewDialog::tr("Yes, in the build volume of %1.").arg(volumeText(volume));
}

QImage decodeThumbnail(const QString& path, const RMGcodeAnalysisResult& result)
{
    const int index = RMGcodeAnalysis::largestThumbnail(result);
    if (index < 0)
        return QImage();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    QByteArray bytes = RMGcodeAnalysis::readThumbnail(&file, result.thumbnails.at(index));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MaxThumbnailSide || size.height() > MaxThumbnailSide)
        return QImage();
    return reader.read();
}

// The user's answer to "Build volume...": a volume, none (the check is off),
// or no change.
enum class VolumeAnswer { Keep, Set, Clear };

VolumeAnswer askBuildVolume(QWidget* parent, RMBuildVolume* volume)
{
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("buildVolumeDialog"));
    dialog.setWindowTitle(PrintPreviewDialog::tr("Build Volume"));
    dialog.setStyleSheet(QStringLiteral("QPushButton { min-width: 100px; min-height: 32px; }"));
    auto* form = new QFormLayout(&dialog);
    auto* intro = new QLabel(
        PrintPreviewDialog::tr("The space the printer prints in, from the origin of its "
                               "coordinates. Files are checked against it before they are "
                               "sent."));
    intro->setWordWrap(true);
    form->addRow(intro);
    // A common small printer's, until the user has said.
    const RMBuildVolume shown = volume->isValid() ? *volume : RMBuildVolume{220, 220, 250};
    const std::pair<const char*, double> sizes[] = {
        {"width", shown.width}, {"depth", shown.depth}, {"height", shown.height}};
    const char* const captions[] = {QT_TRANSLATE_NOOP("PrintPreviewDialog", "Width (X)"),
                                    QT_TRANSLATE_NOOP("PrintPreviewDialog", "Depth (Y)"),
                                    QT_TRANSLATE_NOOP("PrintPreviewDialog", "Height (Z)")};
    QDoubleSpinBox* boxes[3];
    for (int i = 0; i < 3; ++i) {
        boxes[i] = new QDoubleSpinBox;
        boxes[i]->setObjectName(QLatin1String(sizes[i].first) + QLatin1String("Box"));
        boxes[i]->setRange(1, 10000);
        boxes[i]->setDecimals(1);
        boxes[i]->setSuffix(PrintPreviewDialog::tr(" mm"));
        boxes[i]->setValue(sizes[i].second);
        form->addRow(PrintPreviewDialog::tr(captions[i]), boxes[i]);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QPushButton* clear =
        buttons->addButton(PrintPreviewDialog::tr("Do Not Check"), QDialogButtonBox::ResetRole);
    clear->setObjectName(QStringLiteral("clearButton"));
    form->addRow(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    constexpr int Cleared = 2;
    QObject::connect(clear, &QPushButton::clicked, &dialog, [&dialog] { dialog.done(Cleared); });

    const int answer = dialog.exec();
    if (answer == Cleared) {
        *volume = RMBuildVolume();
        return VolumeAnswer::Clear;
    }
    if (answer != QDialog::Accepted)
        return VolumeAnswer::Keep;
    *volume = RMBuildVolume{boxes[0]->value(), boxes[1]->value(), boxes[2]->value()};
    return VolumeAnswer::Set;
}

} // namespace

class PrintPreviewDialogPrivate
{
    Q_DECLARE_PUBLIC(PrintPreviewDialog)

public:
    PrintPreviewDialogPrivate(PrintPreviewDialog* dialog, const QString& file, bool optimized,
                              RMSettings* store)
        : q_ptr(dialog), path(file), optimize(optimized), settings(store)
    {
        // The analysis and the optimizer side by side; the layer reads begin
        // once the analysis is done.
        pool.setMaxThreadCount(2);
    }

    void startAnalysis();
    void analysisEnded();
    void startOptimizer();
    void optimizerEnded();
    void optimizeFailed(const QString& reason);
    void showLayer(int index);
    void readLayer(int index);
    void layerEnded();
    QString layerText(int index, bool complete) const;
    void showFit();
    void cancelWork();

    PrintPreviewDialog* const q_ptr;
    Ui::PrintPreviewDialog ui;
    const QString path;
    const bool optimize;
    RMSettings* const settings;

    QThreadPool pool;

    RMGcodeAnalysis analysis;
    QFutureWatcher<QSharedPointer<Analysed>> analysisWatcher;
    bool analyzing = false;
    // Read on the GUI thread and by the layer reads; never changed once made.
    // Shared rather than copied: a copy of its lists is a deep one when
    // they are not sharable.
    QSharedPointer<const RMGcodeAnalysisResult> result;

    // The optimizer's pass and its files (they belong to the pass while it
    // runs); the optimized copy once the pass has handed it over.
    std::unique_ptr<RMOptimizedFile> step;
    std::unique_ptr<QTemporaryFile> output;
    QFutureWatcher<void> optimizeWatcher;
    bool optimizing = false;
    bool optimizeError = false;
    bool printWhenOptimized = false;

    // One read at a time; a slider that moves on meanwhile leaves the
    // layer it wants last in `wantedLayer`, read when this one ends.
    // Shared, not copied, on its way out of the future: a read may hold
    // hundreds of thousands of pieces.
    QFutureWatcher<QSharedPointer<LayerRead>> layerWatcher;
    bool readingLayer = false;
    int wantedLayer = -1;
    int shown = -1;
};

void PrintPreviewDialogPrivate::startAnalysis()
{
    Q_Q(PrintPreviewDialog);
    QObject::connect(
        &analysis, &RMGcodeAnalysis::progress, q,
        [this](qint64 processed, qint64 total) {
            ui.progressBar->setValue(total > 0 ? int(processed * 100 / total) : 0);
        },
        Qt::QueuedConnection);
    QObject::connect(&analysisWatcher, &QFutureWatcher<QSharedPointer<Analysed>>::finished, q,
                     [this] { analysisEnded(); });
    QObject::connect(&layerWatcher, &QFutureWatcher<QSharedPointer<LayerRead>>::finished, q,
                     [this] { layerEnded(); });
    analyzing = true;
    RMGcodeAnalysis* const a = &analysis;
    const QString file = path;
    analysisWatcher.setFuture(QtConcurrent::run(&pool, [a, file] {
        nameThread();
        auto out = QSharedPointer<Analysed>::create();
        out->result = QSharedPointer<RMGcodeAnalysisResult>::create(a->analyzeFile(file));
        if (out->result->isValid())
            out->thumbnail = decodeThumbnail(file, *out->result);
        return out;
    }));
}

void PrintPreviewDialogPrivate::analysisEnded()
{
    Q_Q(PrintPreviewDialog);
    analyzing = false;
    const QSharedPointer<Analysed> out = analysisWatcher.result();
    result = out->result;
    ui.progressPanel->hide();
    if (result->error == RMGcodeAnalysisResult::Cancelled)
        return;
    if (!result->isValid()) {
        ui.warningsLabel->setText(
            PrintPreviewDialog::tr("The file cannot be read: %1").arg(result->errorString));
        ui.printButton->setEnabled(false);
        return;
    }
    const RMGcodeAnalysisResult& r = *result;

    if (!out->thumbnail.isNull()) {
        QPixmap thumbnail = QPixmap::fromImage(out->thumbnail);
        if (thumbnail.width() > ThumbnailBox.width() || thumbnail.height() > ThumbnailBox.height())
            thumbnail =
                thumbnail.scaled(ThumbnailBox, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        ui.thumbnailLabel->setPixmap(thumbnail);
        ui.thumbnailLabel->show();
    }

    QString time = duration(r.printTime);
    if (r.slicerPrintTime >= 0)
        time = PrintPreviewDialog::tr("%1 (slicer says %2)").arg(time, duration(r.slicerPrintTime));
    ui.timeLabel->setText(time);

    QStringList heating;
    if (r.hotendTemperature > 0)
        heating << PrintPreviewDialog::tr("hot end %1 °C").arg(number(r.hotendTemperature, 0));
    if (r.bedTemperature > 0)
        heating << PrintPreviewDialog::tr("bed %1 °C").arg(number(r.bedTemperature, 0));
    QString heatingText = heating.join(QStringLiteral(", "));
    if (r.heatingWaits > 0) {
        const QString waits = PrintPreviewDialog::tr("%n heating waits, not in the print time",
                                                     nullptr, r.heatingWaits);
        heatingText = heatingText.isEmpty() ? waits : heatingText + QStringLiteral("; ") + waits;
    }
    ui.heatingLabel->setText(heatingText.isEmpty() ? PrintPreviewDialog::tr("none") : heatingText);

    QString filament = PrintPreviewDialog::tr("%1 m, %2 g")
                           .arg(number(r.filamentLength / 1000, 2), number(r.filamentWeight));
    if (r.slicerFilamentLength >= 0)
        filament = PrintPreviewDialog::tr("%1 (slicer says %2 m)")
                       .arg(filament, number(r.slicerFilamentLength / 1000, 2));
    ui.filamentLabel->setText(filament);

    const RMGcodeBox& box = r.printingArea;
    ui.sizeLabel->setText(
        box.empty ? PrintPreviewDialog::tr("nothing is extruded")
                  : PrintPreviewDialog::tr("%1 × %2 × %3 mm")
                        .arg(number(box.width()), number(box.depth()), number(box.max[2])));
    showFit();

    QStringList warnings;
    for (const QString& w : r.warnings)
        warnings << QStringLiteral("• ") + w;
    ui.warningsLabel->setText(warnings.join(QLatin1Char('\n')));

    // One view for all layers, framed on what is printed (or, without
    // extrusion, where the head goes), with a little room around it.
    const RMGcodeBox& framed = box.empty ? r.travelArea : box;
    if (!framed.empty) {
        const double pad = std::max(2.0, 0.03 * std::max(framed.width(), framed.depth()));
        ui.layerView->setArea(
            QRectF(QPointF(framed.min[0], framed.min[1]), QPointF(framed.max[0], framed.max[1]))
                .adjusted(-pad, -pad, pad, pad));
    }
    if (r.layers.isEmpty()) {
        ui.layerLabel->setText(PrintPreviewDialog::tr("No layers to show."));
        return;
    }
    // The first layer with filament: where the print meets the plate.
    const int first = std::max(0, r.firstExtrudingLayer);
    QSlider* slider = ui.layerSlider;
    {
        const QSignalBlocker quiet(slider);
        slider->setRange(0, r.layers.size() - 1);
        slider->setValue(first);
    }
    slider->setEnabled(r.layers.size() > 1);
    QObject::connect(slider, &QSlider::valueChanged, q, [this](int index) { showLayer(index); });
    showLayer(first);
}

void PrintPreviewDialogPrivate::showFit()
{
    const RMBuildVolume volume = settings ? settings->buildVolume() : RMBuildVolume();
    const QSizeF plate = volume.isValid() ? QSizeF(volume.width, volume.depth) : QSizeF();
    ui.layerView->setPlate(plate);
    if (!result || !result->isValid())
        return;
    bool problem = false;
    ui.fitLabel->setText(fitText(result->printingArea, volume, &problem));
    // A print that does not fit is shown on all of the plate, so that the
    // part outside shows.
    ui.layerView->setPlate(plate, problem);
    ui.fitLabel->setProperty("problem", problem);
    // The style sheet reads the property when the label is polished.
    ui.fitLabel->style()->unpolish(ui.fitLabel);
    ui.fitLabel->style()->polish(ui.fitLabel);
}

QString PrintPreviewDialogPrivate::layerText(int index, bool complete) const
{
    const QString z = number(result->layers.at(index).z, 2);
    if (!complete)
        return PrintPreviewDialog::tr("Layer %1 of %2, at %3 mm (its first %4 moves)")
            .arg(index + 1)
            .arg(result->layers.size())
            .arg(z)
            .arg(PrintPreviewDialog::MaxSegments);
    return PrintPreviewDialog::tr("Layer %1 of %2, at %3 mm")
        .arg(index + 1)
        .arg(result->layers.size())
        .arg(z);
}

void PrintPreviewDialogPrivate::showLayer(int index)
{
    wantedLayer = index;
    ui.layerLabel->setText(layerText(index, true));
    if (!readingLayer)
        readLayer(index);
}

void PrintPreviewDialogPrivate::readLayer(int index)
{
    readingLayer = true;
    const QSharedPointer<const RMGcodeAnalysisResult> r = result;
    const QString file = path;
    layerWatcher.setFuture(QtConcurrent::run(&pool, [r, file, index] {
        nameThread();
        auto out = QSharedPointer<LayerRead>::create();
        out->index = index;
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return out;
        out->segments = RMGcodeAnalysis::readLayer(&f, *r, index, PrintPreviewDialog::MaxSegments,
                                                   &out->complete);
        if (index > 0)
            out->below =
                RMGcodeAnalysis::readLayer(&f, *r, index - 1, PrintPreviewDialog::MaxSegments);
        return out;
    }));
}

void PrintPreviewDialogPrivate::layerEnded()
{
    readingLayer = false;
    const QSharedPointer<LayerRead> out = layerWatcher.result();
    if (out->index != wantedLayer) {
        readLayer(wantedLayer);
        return;
    }
    ui.layerView->setLayer(std::move(out->segments), std::move(out->below));
    ui.layerLabel->setText(layerText(out->index, out->complete));
    shown = out->index;
}

void PrintPreviewDialogPrivate::startOptimizer()
{
    Q_Q(PrintPreviewDialog);
    ui.optimizeLabel->setText(PrintPreviewDialog::tr("Optimizing... %1%").arg(0));
    step = std::make_unique<RMOptimizedFile>(path);
    switch (step->failure()) {
    case RMOptimizedFile::InputUnreadable:
        optimizeFailed(PrintPreviewDialog::tr("The file %1 could not be opened: %2")
                           .arg(QDir::toNativeSeparators(path), step->errorString()));
        return;
    case RMOptimizedFile::OutputUncreatable:
        optimizeFailed(PrintPreviewDialog::tr("The optimized file could not be created: %1")
                           .arg(step->errorString()));
        return;
    default:
        break;
    }
    RMOptimizeTask* const t = step->task();
    const qint64 size = step->inputSize();
    QObject::connect(
        t, &RMOptimizeTask::progress, q,
        [this, size](qint64 processed) {
            if (!optimizing)
                return;
            const int percent =
                size > 0 ? int(qBound<qint64>(0, processed * 100 / size, 100)) : 100;
            QString text = PrintPreviewDialog::tr("Optimizing... %1%").arg(percent);
            if (printWhenOptimized)
                text += QLatin1Char(' ') +
                        PrintPreviewDialog::tr("The file is sent when this is done.");
            ui.optimizeLabel->setText(text);
        },
        Qt::QueuedConnection);
    QObject::connect(&optimizeWatcher, &QFutureWatcher<void>::finished, q,
                     [this] { optimizerEnded(); });
    optimizing = true;
    optimizeWatcher.setFuture(QtConcurrent::run(&pool, [t] {
        nameThread();
        t->optimize();
    }));
}

void PrintPreviewDialogPrivate::optimizerEnded()
{
    Q_Q(PrintPreviewDialog);
    optimizing = false;
    RMOptimizeTask* const task = step->task();
    if (task->error() == RMOptimizeTask::Cancelled)
        return; // the dialog is closing
    output = step->finish();
    if (!output) {
        qCWarning(Optimizer) << "Optimizing" << path << "failed:" << step->errorString();
        optimizeFailed(step->errorString());
        return;
    }
    const qint64 before = task->movesRead();
    const qint64 after = task->movesWritten();
    const QString text =
        before > 0 && after < before
            ? PrintPreviewDialog::tr("%1 moves before, %2 after (%3% fewer)")
                  .arg(before)
                  .arg(after)
                  .arg(number(100.0 * double(before - after) / double(before), 0))
            : PrintPreviewDialog::tr("%1 moves before, %2 after").arg(before).arg(after);
    ui.optimizeLabel->setText(text);
    if (printWhenOptimized)
        q->QDialog::accept();
}

void PrintPreviewDialogPrivate::optimizeFailed(const QString& reason)
{
    optimizeError = true;
    printWhenOptimized = false;
    ui.optimizeLabel->setText(
        PrintPreviewDialog::tr("The file could not be optimized, so it cannot be sent optimized. "
                               "Untick Optimize in the window to send it as it is.\n\n%1")
            .arg(reason));
    ui.optimizeLabel->setProperty("problem", true);
    ui.optimizeLabel->style()->unpolish(ui.optimizeLabel);
    ui.optimizeLabel->style()->polish(ui.optimizeLabel);
    ui.printButton->setEnabled(false);
}

void PrintPreviewDialogPrivate::cancelWork()
{
    analysis.cancel();
    if (step && step->task())
        step->task()->cancel();
}

PrintPreviewDialog::PrintPreviewDialog(const QString& path, bool optimize, RMSettings* settings,
                                       QWidget* parent)
    : QDialog(parent), d_ptr(new PrintPreviewDialogPrivate(this, path, optimize, settings))
{
    Q_D(PrintPreviewDialog);
    d->ui.setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    const QFileInfo info(path);
    d->ui.fileLabel->setText(info.fileName());
    d->ui.fileLabel->setToolTip(QDir::toNativeSeparators(path));
    d->ui.thumbnailLabel->hide();
    d->ui.optimizeCaption->setVisible(optimize);
    d->ui.optimizeLabel->setVisible(optimize);
    connect(d->ui.cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(d->ui.printButton, &QPushButton::clicked, this, &PrintPreviewDialog::accept);
    connect(d->ui.buildVolumeButton, &QPushButton::clicked, this, [this] {
        Q_D(PrintPreviewDialog);
        if (!d->settings)
            return;
        RMBuildVolume volume = d->settings->buildVolume();
        if (askBuildVolume(this, &volume) != VolumeAnswer::Keep)
            d->settings->setBuildVolume(volume);
    });
    if (settings)
        connect(settings, &RMSettings::buildVolumeChanged, this, [this] {
            Q_D(PrintPreviewDialog);
            d->showFit();
        });
    d->showFit();

    d->startAnalysis();
    if (optimize)
        d->startOptimizer();
}

PrintPreviewDialog::~PrintPreviewDialog()
{
    Q_D(PrintPreviewDialog);
    // Every task holds pointers into the private object: none outlives it.
    d->cancelWork();
    d->pool.waitForDone();
}

std::unique_ptr<QTemporaryFile> PrintPreviewDialog::takeOptimizedFile()
{
    Q_D(PrintPreviewDialog);
    if (!d->optimize || d->optimizing || d->optimizeError)
        return nullptr;
    return std::move(d->output);
}

bool PrintPreviewDialog::isAnalyzing() const
{
    Q_D(const PrintPreviewDialog);
    return d->analyzing;
}

bool PrintPreviewDialog::isOptimizing() const
{
    Q_D(const PrintPreviewDialog);
    return d->optimizing;
}

const RMGcodeAnalysisResult& PrintPreviewDialog::analysis() const
{
    Q_D(const PrintPreviewDialog);
    static const RMGcodeAnalysisResult none;
    return d->result ? *d->result : none;
}

int PrintPreviewDialog::shownLayer() const
{
    Q_D(const PrintPreviewDialog);
    return d->shown;
}

void PrintPreviewDialog::accept()
{
    Q_D(PrintPreviewDialog);
    if (d->optimize && d->optimizeError)
        return; // nothing fit to send: Print is disabled
    if (d->optimize && d->optimizing) {
        d->printWhenOptimized = true;
        d->ui.printButton->setEnabled(false);
        d->ui.optimizeLabel->setText(d->ui.optimizeLabel->text() + QLatin1Char(' ') +
                                     PrintPreviewDialog::tr("The file is sent when this is done."));
        return;
    }
    QDialog::accept();
}

void PrintPreviewDialog::done(int result)
{
    Q_D(PrintPreviewDialog);
    // Whatever still runs is of no use once the dialog closes: after Print
    // only the analysis and the layer can be running, and the optimizer has
    // ended (cancelling it then changes nothing).
    d->cancelWork();
    QDialog::done(result);
}
