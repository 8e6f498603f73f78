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
#include <QPair>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCodec>
#include <QTextCursor>
#include <QTextDecoder>
#include <QTextDocument>

#include <memory>

#include <sys/stat.h>

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
    // What the view shows: the file, the file itself (a rotated log is
    // replaced by a new file under the same name), how far it was read, and
    // the last bytes read, which must still be there at the next look for
    // the rest to be news.
    QString shownPath;
    QPair<quint64, quint64> shownFile{0, 0}; // device, inode
    qint64 readTo = 0;
    QByteArray lastRead;
    // Carries a character split between two reads over to the next.
    std::unique_ptr<QTextDecoder> decoder;
    bool endedAtNul = false; // the text ends at the first NUL byte

    QString readFrom(QFile& file, qint64 from);
    bool isUnchangedUpTo(QFile& file) const;
    // Shows `path` from scratch: its end if `file` is open, else nothing.
    void show(const QString& path, QFile* file);
    void append(const QString& text);
    void trim();
};

namespace {

// Bytes kept to recognise the file already read: a log is only ever
// appended to, so these are found again unless it was rewritten.
constexpr int RECOGNISED_BYTES = 256;
// The view is cut back to MAX_SHOWN_BYTES once it holds this much more, so
// that trimming its front is rare and in large steps.
constexpr int TRIM_SLACK = 1024 * 1024;

QPair<quint64, quint64> identity(const QFile& file)
{
    struct stat st;
    if (::fstat(file.handle(), &st) != 0)
        return {0, 0};
    return {quint64(st.st_dev), quint64(st.st_ino)};
}

} // namespace

// Reads `file` from `from` to its end: the text that follows what is shown.
QString LogsDialogPrivate::readFrom(QFile& file, qint64 from)
{
    file.seek(from);
    QByteArray bytes = file.read(file.size() - from);
    readTo = from + bytes.size();
    lastRead = (lastRead + bytes).right(RECOGNISED_BYTES);
    if (endedAtNul)
        return QString();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) {
        bytes.truncate(nul);
        endedAtNul = true;
    }
    return decoder->toUnicode(bytes);
}

bool LogsDialogPrivate::isUnchangedUpTo(QFile& file) const
{
    if (file.size() < readTo)
        return false; // shrank: started afresh
    file.seek(readTo - lastRead.size());
    return file.read(lastRead.size()) == lastRead;
}

void LogsDialogPrivate::show(const QString& path, QFile* file)
{
    shownPath = path;
    shownFile = file ? identity(*file) : qMakePair<quint64, quint64>(0, 0);
    readTo = 0;
    lastRead.clear();
    endedAtNul = false;
    decoder.reset(QTextCodec::codecForName("UTF-8")->makeDecoder());
    ui.plainTextEdit->setPlainText(
        file ? readFrom(*file, qMax<qint64>(0, file->size() - LogsDialog::MAX_SHOWN_BYTES))
             : QString());
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
    // A reader at the end keeps reading the end; one who scrolled back
    // stays where they are.
    bar->setValue(following ? bar->maximum() : position);
    trim();
}

// Keeps the view's text near MAX_SHOWN_BYTES however long the dialog
// follows the log: whole lines go from its front, and a reader who scrolled
// back keeps the lines they were reading in view.
void LogsDialogPrivate::trim()
{
    QTextDocument* document = ui.plainTextEdit->document();
    const int excess = document->characterCount() - int(LogsDialog::MAX_SHOWN_BYTES);
    if (excess <= TRIM_SLACK)
        return;
    const QTextBlock first = document->findBlock(excess);
    const QTextBlock kept =
        first.position() == excess || !first.next().isValid() ? first : first.next();
    // The scroll bar counts lines: those that go are the kept block's first.
    const int removedLines = kept.firstLineNumber();
    QScrollBar* bar = ui.plainTextEdit->verticalScrollBar();
    const bool following = bar->value() == bar->maximum();
    const int position = bar->value();
    QTextCursor front(document);
    front.setPosition(kept.position(), QTextCursor::KeepAnchor);
    front.removeSelectedText();
    bar->setValue(following ? bar->maximum() : qMax(0, position - removedLines));
}

LogsDialog::LogsDialog(QWidget* parent) : QDialog(parent), d_ptr(new LogsDialogPrivate)
{
    Q_D(LogsDialog);
    d->ui.setupUi(this);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    // Read-only, and every appended block would stay on the undo stack.
    d->ui.plainTextEdit->document()->setUndoRedoEnabled(false);

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
            d->show(path, nullptr);
        return;
    }
    // Only what was added since the last look is read and appended: reading
    // the whole file and redrawing the view took a third of a second for
    // every block the printer sent once the log had grown past the cap, and
    // threw the reader to the end.
    if (path == d->shownPath && identity(file) == d->shownFile &&
        file.size() - d->readTo <= MAX_SHOWN_BYTES && d->isUnchangedUpTo(file)) {
        if (file.size() > d->readTo) {
            const QString added = d->readFrom(file, d->readTo);
            if (!added.isEmpty())
                d->append(added);
        }
        return;
    }
    // Another day, or a file that shrank, was replaced or grew by more than
    // is shown at once: from scratch.
    d->show(path, &file);
}
