#include "LogsDialog.h"

#include "ui_LogsDialog.h"

#include <Logging.h>

#include <QClipboard>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QMap>
#include <QScrollBar>
#include <QTextCursor>

namespace {

const QString PrinterLog = QStringLiteral("RMPrinter.log");
// "RMPrinter-" before the date that rotation puts into the name.
constexpr int DATE_OFFSET = 10;
constexpr int DATE_LENGTH = 10;

} // namespace

class LogsDialogPrivate
{
public:
    Ui::LogsDialog ui;
    // What the view shows: the file it came from and the text exactly as
    // read, so that growth is recognised whatever the view makes of line
    // ends.
    QString shownPath;
    QString shownText;

    void show(const QString& path, const QString& text);
    void append(const QString& text);
};

void LogsDialogPrivate::show(const QString& path, const QString& text)
{
    shownPath = path;
    shownText = text;
    ui.plainTextEdit->setPlainText(text);
    // The latest lines are what a reader opens the log for.
    QScrollBar* bar = ui.plainTextEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void LogsDialogPrivate::append(const QString& text)
{
    QScrollBar* bar = ui.plainTextEdit->verticalScrollBar();
    const bool following = bar->value() == bar->maximum();
    const int position = bar->value();
    QTextCursor end(ui.plainTextEdit->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    shownText += text;
    // A reader at the end keeps reading the end; one who scrolled back
    // stays where they are.
    bar->setValue(following ? bar->maximum() : position);
}

LogsDialog::LogsDialog(QWidget* parent) : QDialog(parent), d_ptr(new LogsDialogPrivate)
{
    Q_D(LogsDialog);
    d->ui.setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    const QDir directory(Logging::logDirectory());
    QMap<QDate, QFileInfo> days;
    const QFileInfoList rotated =
        directory.entryInfoList({QStringLiteral("RMPrinter-*.log")}, QDir::NoFilter, QDir::NoSort);
    for (const QFileInfo& file : rotated) {
        const QDate day =
            QDate::fromString(file.fileName().mid(DATE_OFFSET, DATE_LENGTH), Qt::ISODate);
        days.insert(day, file);
    }

    QComboBox* const combo = d->ui.comboBox;
    combo->clear();
    const QLocale locale = QLocale::system();
    for (auto it = days.cbegin(); it != days.cend(); ++it)
        combo->addItem(locale.toString(it.key(), QLocale::ShortFormat), QVariant::fromValue(*it));
    combo->addItem(tr("Today"), QVariant::fromValue(QFileInfo(directory.filePath(PrinterLog))));
    combo->setCurrentIndex(combo->count() - 1);

    connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &LogsDialog::refresh);
    connect(d->ui.clipboardButton, &QPushButton::clicked, this,
            [d] { QGuiApplication::clipboard()->setText(d->ui.plainTextEdit->toPlainText()); });
    connect(d->ui.closeButton, &QPushButton::clicked, this, &QDialog::accept);
}

LogsDialog::~LogsDialog() = default;

void LogsDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    refresh();
}

void LogsDialog::refresh()
{
    Q_D(LogsDialog);
    if (!isVisible())
        return;
    const QString path = d->ui.comboBox->currentData().value<QFileInfo>().absoluteFilePath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Another day's text must not stand under this day's label; the
        // same day keeps what it showed.
        if (path != d->shownPath)
            d->show(path, QString());
        return;
    }
    const qint64 size = file.size();
    if (size > MAX_SHOWN_BYTES)
        file.seek(size - MAX_SHOWN_BYTES);
    QByteArray bytes = file.read(MAX_SHOWN_BYTES);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString text = QString::fromUtf8(bytes);

    if (path == d->shownPath && text.startsWith(d->shownText)) {
        if (text.size() > d->shownText.size())
            d->append(text.mid(d->shownText.size()));
        return;
    }
    // Another day, or a file that shrank or was replaced: from scratch.
    d->show(path, text);
}
