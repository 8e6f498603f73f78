#pragma once

#include <QDialog>
#include <QScopedPointer>

class LogsDialogPrivate;

// The printer's log files, one day at a time: the rotated days found when the
// dialog is built, in date order, then "Today", the file the printer writes
// into now. While shown it follows that file: refresh() after each block the
// printer sent reads only what is new and appends it without disturbing the
// view, however long the file is.
class LogsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LogsDialog(QWidget* parent = nullptr);
    ~LogsDialog() override;

    // This much of a file is shown when it is opened: its end. The printer
    // decides how much it writes, and the whole text lives in the view; while
    // the dialog follows the log, lines from the view's front go once it
    // holds a mebibyte more.
    static constexpr qint64 MAX_SHOWN_BYTES = 8 * 1024 * 1024;

public slots:
    // Reads the selected day again; nothing while the dialog is hidden.
    void refresh();

protected:
    void showEvent(QShowEvent* event) override;

private:
    Q_DISABLE_COPY(LogsDialog)
    Q_DECLARE_PRIVATE(LogsDialog)
    QScopedPointer<LogsDialogPrivate> d_ptr;
};
