#pragma once

#include <QDialog>
#include <QScopedPointer>

class LogsDialogPrivate;

// The printer's log files, one day at a time: the rotated days found when the
// dialog is built, in date order, then "Today", the file the printer writes
// into now. While shown it follows that file: refresh() after each block the
// printer sent appends what is new without disturbing the view.
class LogsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LogsDialog(QWidget* parent = nullptr);
    ~LogsDialog() override;

    // At most this much of a file is shown: its end. The printer decides how
    // much it writes, and the whole text lives in the view.
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
