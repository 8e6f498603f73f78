#pragma once

#include <QDialog>
#include <QScopedPointer>

#include <memory>

class PrintPreviewDialogPrivate;
class QTemporaryFile;
class RMSettings;
struct RMGcodeAnalysisResult;

// What a G-code file will print, shown before it is sent: one layer at a time
// from above (a slider picks it), the slicer's thumbnail, the print time, the
// filament, the size and whether it fits the printer's build volume (a
// setting the user enters here), heating waits, what is odd about the file,
// and, when it is to be optimized, the moves before and after. Print or
// Cancel; nothing is sent by the dialog itself.
//
// Threads: the analysis, the optimizer and the reading of the layer shown run
// on the dialog's own pool ("zelk-preview"), never on the GUI thread; their
// results come back through future watchers. Closing the dialog (Cancel,
// Escape, the window's close box) cancels them; the destructor waits for
// them and removes the optimized copy unless it was taken.
class PrintPreviewDialog : public QDialog
{
    Q_OBJECT
    Q_PROPERTY(bool analyzing READ isAnalyzing)
    Q_PROPERTY(bool optimizing READ isOptimizing)
    Q_PROPERTY(int shownLayer READ shownLayer)

public:
    // The optimizer runs into a temporary file as soon as the dialog is made,
    // so that the moves it saves show and Print sends at once.
    PrintPreviewDialog(const QString& path, bool optimize, RMSettings* settings,
                       QWidget* parent = nullptr);
    ~PrintPreviewDialog() override;

    // After Print: the optimized copy to send (closed, removed when the
    // caller lets it go), or null when the file is sent as chosen.
    std::unique_ptr<QTemporaryFile> takeOptimizedFile();

    bool isAnalyzing() const;
    bool isOptimizing() const;
    // The analysis, once it has ended (empty before).
    const RMGcodeAnalysisResult& analysis() const;
    // The layer drawn now, -1 while none is.
    int shownLayer() const;

    // Layers drawn are cut at this many pieces of path each: a layer of a
    // million moves would take seconds to draw and hold tens of megabytes.
    static constexpr int MaxSegments = 100000;

public slots:
    // Print: at once, or, while the optimizer still runs, when it is done.
    void accept() override;

protected:
    void done(int result) override;

private:
    Q_DISABLE_COPY(PrintPreviewDialog)
    Q_DECLARE_PRIVATE(PrintPreviewDialog)
    QScopedPointer<PrintPreviewDialogPrivate> d_ptr;
};
