// The printer logs dialog: which days it lists, how it follows the day's log
// as it grows, and what it does with files that shrank, vanished or hold more
// than it shows.
#include <Logging.h>
#include <LogsDialog.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

class LogsDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void listsTheRotatedDaysThenToday_data();
    void listsTheRotatedDaysThenToday();
    void growingLogIsAppendedWithoutReplacing();
    void shrunkLogIsShownFromScratch();
    void hiddenDialogReadsNothing();
    void textEndsAtTheFirstNul();
    void dayWithoutItsFileShowsNothing();
    void hugeLogShowsItsEndAndIsFollowedWithoutRedraw();
    void copiesTheTextAndCloses();

private:
    QString path(const QString& name) const { return dir.filePath(name); }
    void write(const QString& name, const QByteArray& bytes,
               QIODevice::OpenMode mode = QIODevice::WriteOnly);
    static QPlainTextEdit* view(const LogsDialog& d) { return d.findChild<QPlainTextEdit*>(); }
    static QComboBox* days(const LogsDialog& d) { return d.findChild<QComboBox*>("comboBox"); }

    QDir dir;
};

void LogsDialogTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    dir.setPath(Logging::logDirectory());
    QVERIFY(!dir.path().isEmpty());
}

void LogsDialogTest::init()
{
    dir.removeRecursively();
    QVERIFY(QDir().mkpath(dir.path()));
}

void LogsDialogTest::write(const QString& name, const QByteArray& bytes, QIODevice::OpenMode mode)
{
    QFile file(path(name));
    QVERIFY(file.open(mode));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

void LogsDialogTest::listsTheRotatedDaysThenToday_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QStringList>("shown"); // the file each entry shows

    const auto day = [](int y, int m, int d) {
        return QLocale::system().toString(QDate(y, m, d), QLocale::ShortFormat);
    };
    QTest::newRow("no rotated logs")
        << QStringList{} << QStringList{"Today"} << QStringList{"RMPrinter.log"};
    QTest::newRow("by date, not by name")
        << QStringList{"RMPrinter-2026-12-01.log", "RMPrinter-2025-12-31.log",
                       "RMPrinter-2026-11-30.log", "RMConfig-2026-11-29.log"}
        << QStringList{day(2025, 12, 31), day(2026, 11, 30), day(2026, 12, 1), "Today"}
        << QStringList{"RMPrinter-2025-12-31.log", "RMPrinter-2026-11-30.log",
                       "RMPrinter-2026-12-01.log", "RMPrinter.log"};
    // A name whose date does not read is filed under no date: first, unnamed.
    QTest::newRow("unparsable date")
        << QStringList{"RMPrinter-2026-12-01.log", "RMPrinter-backup.log"}
        << QStringList{"", day(2026, 12, 1), "Today"}
        << QStringList{"RMPrinter-backup.log", "RMPrinter-2026-12-01.log", "RMPrinter.log"};
}

void LogsDialogTest::listsTheRotatedDaysThenToday()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, labels);
    QFETCH(QStringList, shown);

    for (const QString& name : files)
        write(name, name.toUtf8() + "\n");
    write("RMPrinter.log", "RMPrinter.log\n");

    LogsDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString("Printer Logs"));
    QComboBox* combo = days(dialog);
    QStringList listed;
    for (int i = 0; i < combo->count(); ++i)
        listed << combo->itemText(i);
    QCOMPARE(listed, labels);
    QCOMPARE(combo->currentIndex(), combo->count() - 1);

    dialog.show();
    for (int i = 0; i < combo->count(); ++i) {
        combo->setCurrentIndex(i);
        QCOMPARE(view(dialog)->toPlainText(), shown.at(i) + "\n");
    }
}

void LogsDialogTest::growingLogIsAppendedWithoutReplacing()
{
    QByteArray text;
    for (int i = 0; i < 200; ++i)
        text += "echo:line " + QByteArray::number(i) + "\r\n\r\n";
    write("RMPrinter.log", text);
    LogsDialog dialog;
    dialog.resize(600, 300);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QPlainTextEdit* edit = view(dialog);
    QVERIFY(edit->toPlainText().contains("echo:line 199"));
    // Opened at its latest lines.
    QVERIFY(edit->verticalScrollBar()->maximum() > 0);
    QCOMPARE(edit->verticalScrollBar()->value(), edit->verticalScrollBar()->maximum());

    // The reader scrolled back to the top: a new line leaves them there.
    edit->verticalScrollBar()->setValue(0);
    QSignalSpy changes(edit->document(), &QTextDocument::contentsChange);
    write("RMPrinter.log", "T:180.0 /210.0\n\n", QIODevice::Append);
    dialog.refresh();
    // Added at the end, nothing removed: the view's line ends (the file has
    // CR LF) do not make it look like a new file.
    QVERIFY(!changes.isEmpty());
    for (const QList<QVariant>& change : qAsConst(changes))
        QCOMPARE(change.at(1).toInt(), 0);
    QVERIFY(edit->toPlainText().endsWith("T:180.0 /210.0\n\n"));
    QCOMPARE(edit->verticalScrollBar()->value(), 0);

    // A reader at the end keeps seeing the end.
    edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
    write("RMPrinter.log", "ok\n\n", QIODevice::Append);
    dialog.refresh();
    QCOMPARE(edit->verticalScrollBar()->value(), edit->verticalScrollBar()->maximum());

    // Nothing new: nothing changes.
    changes.clear();
    dialog.refresh();
    QCOMPARE(changes.count(), 0);
}

void LogsDialogTest::shrunkLogIsShownFromScratch()
{
    write("RMPrinter.log", "echo:first day\n\n");
    LogsDialog dialog;
    dialog.show();
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:first day\n\n"));
    write("RMPrinter.log", "echo:new\n\n");
    QSignalSpy changes(view(dialog)->document(), &QTextDocument::contentsChange);
    dialog.refresh();
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:new\n\n"));
    QVERIFY(!changes.isEmpty());
}

void LogsDialogTest::hiddenDialogReadsNothing()
{
    write("RMPrinter.log", "echo:one\n\n");
    LogsDialog dialog;
    dialog.refresh();
    QCOMPARE(view(dialog)->toPlainText(), QString());
    dialog.show();
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:one\n\n"));
    dialog.hide();
    write("RMPrinter.log", "echo:two\n\n", QIODevice::Append);
    dialog.refresh();
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:one\n\n"));
    // Shown again, it catches up.
    dialog.show();
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:one\n\necho:two\n\n"));
}

void LogsDialogTest::textEndsAtTheFirstNul()
{
    write("RMPrinter.log", QByteArray("echo:before\n\0after\n", 20));
    LogsDialog dialog;
    dialog.show();
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:before\n"));
}

void LogsDialogTest::dayWithoutItsFileShowsNothing()
{
    write("RMPrinter-2026-12-01.log", "echo:that day\n\n");
    LogsDialog dialog;
    dialog.show();
    QComboBox* combo = days(dialog);
    QCOMPARE(combo->count(), 2);
    // No printer text yet today: the view must not keep another day's text
    // under the label "Today".
    combo->setCurrentIndex(0);
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:that day\n\n"));
    combo->setCurrentIndex(1);
    QCOMPARE(view(dialog)->toPlainText(), QString());
    // The day's file appears: it is followed from then on.
    write("RMPrinter.log", "echo:today\n\n");
    dialog.refresh();
    QCOMPARE(view(dialog)->toPlainText(), QString("echo:today\n\n"));
}

void LogsDialogTest::hugeLogShowsItsEndAndIsFollowedWithoutRedraw()
{
    // Numbered lines of 100 bytes, more than the dialog shows.
    const auto line = [](qint64 i) { return QByteArray::number(i).leftJustified(99, '.') + '\n'; };
    const qint64 lines = LogsDialog::MAX_SHOWN_BYTES / 100 + 1000;
    QByteArray text;
    text.reserve(int(lines * 100 + 100));
    for (qint64 i = 0; i < lines; ++i)
        text += line(i);
    text += "echo:last\n";
    write("RMPrinter.log", text);
    LogsDialog dialog;
    dialog.resize(600, 300);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QPlainTextEdit* edit = view(dialog);
    const QString shown = edit->toPlainText();
    QCOMPARE(qint64(shown.size()), LogsDialog::MAX_SHOWN_BYTES);
    QVERIFY(shown.endsWith("echo:last\n"));

    // The reader scrolled back; the printer sends a block. It was the whole
    // end of the file again, redrawn, with the reader thrown to the end.
    QScrollBar* bar = edit->verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    const int position = bar->value();
    const QString reading = edit->cursorForPosition(QPoint(0, 0)).block().text();
    QSignalSpy changes(edit->document(), &QTextDocument::contentsChange);
    write("RMPrinter.log", "echo:more\n", QIODevice::Append);
    dialog.refresh();
    QCOMPARE(changes.count(), 1);
    QCOMPARE(changes.first().at(1).toInt(), 0); // nothing removed
    QCOMPARE(changes.first().at(2).toInt(), 10);
    QVERIFY(edit->toPlainText().endsWith("echo:last\necho:more\n"));
    QCOMPARE(bar->value(), position);

    // Followed for long, the view drops lines from its front: not those the
    // reader is on.
    QByteArray more;
    for (qint64 i = lines; i < lines + 12000; ++i)
        more += line(i);
    write("RMPrinter.log", more, QIODevice::Append);
    dialog.refresh();
    const QString followed = edit->toPlainText();
    QVERIFY(qint64(followed.size()) <= LogsDialog::MAX_SHOWN_BYTES);
    QVERIFY(qint64(followed.size()) > LogsDialog::MAX_SHOWN_BYTES - 100); // whole lines went
    QVERIFY(followed.endsWith(QString::fromLatin1(line(lines + 11999))));
    QCOMPARE(edit->cursorForPosition(QPoint(0, 0)).block().text(), reading);
}

void LogsDialogTest::copiesTheTextAndCloses()
{
    write("RMPrinter.log", "echo:copy me\n\n");
    LogsDialog dialog;
    dialog.show();
    QApplication::clipboard()->clear();
    dialog.findChild<QPushButton*>("clipboardButton")->click();
    QCOMPARE(QApplication::clipboard()->text(), QString("echo:copy me\n\n"));
    dialog.findChild<QPushButton*>("closeButton")->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

QTEST_MAIN(LogsDialogTest)
#include "LogsDialogTest.moc"
