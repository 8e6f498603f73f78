// zelkctl logs [--day YYYY-MM-DD] [--follow]: the printer log, what the
// printer said while the desktop program or zelkctl talked to it.
#include "Console.h"
#include "Subcommand.h"

#include <Logging.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <chrono>
#include <thread>

#include <sys/stat.h>

namespace zelkctl {

namespace {

constexpr int FollowLines = 10;
// The tail shown by --follow comes from at most this much of the log's end.
constexpr qint64 TailBytes = 64 * 1024;
constexpr auto FollowInterval = std::chrono::milliseconds(250);

// The current log, which the desktop program renames at its first start on
// a later day to "RMPrinter-<the day it was last written>.log".
QString currentLog(const QDir& dir)
{
    return dir.filePath(QStringLiteral("RMPrinter.log"));
}

// The files that hold a day's log, oldest first: the rotated one, and the
// current one if it was last written that day (rotation would give it that
// day's name; it may be appended to a rotated log of the same day).
QStringList logsOf(const QDir& dir, const QDate& day)
{
    QStringList files;
    const QString rotated =
        dir.filePath(QStringLiteral("RMPrinter-%1.log").arg(day.toString(Qt::ISODate)));
    if (QFileInfo(rotated).isFile())
        files << rotated;
    const QFileInfo current(currentLog(dir));
    if (current.isFile() && current.lastModified().date() == day)
        files << current.filePath();
    return files;
}

void copy(QFile& from)
{
    char buffer[64 * 1024];
    for (qint64 n; (n = from.read(buffer, sizeof buffer)) > 0;)
        std::fwrite(buffer, 1, static_cast<size_t>(n), stdout);
    std::fflush(stdout);
}

// Identifies the file behind a name: a rotation puts a new one there.
quint64 fileId(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return (quint64(st.st_dev) << 32) ^ quint64(st.st_ino);
}

int follow(const QDir& dir)
{
    Interrupt::install();
    const QString path = currentLog(dir);
    QFile file(path);
    quint64 id = 0;
    if (file.open(QIODevice::ReadOnly)) {
        id = fileId(path);
        // The last lines first, as a start.
        const qint64 size = file.size();
        const qint64 from = qMax<qint64>(0, size - TailBytes);
        file.seek(from);
        const QByteArray tail = file.read(size - from);
        int i = tail.size() - 1;
        if (i >= 0 && tail.at(i) == '\n')
            --i; // the last line's end
        for (int lines = 0; i >= 0; --i)
            if (tail.at(i) == '\n' && ++lines == FollowLines)
                break;
        const int start = i + 1;
        std::fwrite(tail.constData() + start, 1, static_cast<size_t>(tail.size() - start), stdout);
        std::fflush(stdout);
        file.seek(size);
    }
    while (!Interrupt::signal()) {
        std::this_thread::sleep_for(FollowInterval);
        const quint64 now = fileId(path);
        if (now != id || (file.isOpen() && QFileInfo(path).size() < file.pos())) {
            // Rotated away, or started afresh: the new file from its start.
            file.close();
            id = 0;
            if (now == 0 || !file.open(QIODevice::ReadOnly))
                continue;
            id = now;
        }
        if (file.isOpen())
            copy(file);
    }
    return Success;
}

} // namespace

int runLogs(const Invocation& invocation)
{
    const QDate today = QDate::currentDate();
    QDate day = today;
    if (invocation.values.contains(QStringLiteral("--day"))) {
        static const QRegularExpression form(QStringLiteral("^[0-9]{4}-[0-9]{2}-[0-9]{2}$"));
        const QString text = invocation.value("--day");
        day = form.match(text).hasMatch() ? QDate::fromString(text, Qt::ISODate) : QDate();
        if (!day.isValid())
            return invocation.fail(
                UsageError, QStringLiteral("bad --day '%1': want a date as YYYY-MM-DD").arg(text));
    }
    const QString directory = Logging::logDirectory();
    if (directory.isEmpty())
        return invocation.fail(FileError, QStringLiteral("no data location for the log"));
    const QDir dir(directory);
    if (invocation.has("--follow")) {
        if (day != today)
            return invocation.fail(UsageError,
                                   QStringLiteral("--follow follows today's log; --day %1 is "
                                                  "another day's")
                                       .arg(day.toString(Qt::ISODate)));
        return follow(dir);
    }
    const QStringList files = logsOf(dir, day);
    if (files.isEmpty())
        return invocation.fail(
            FileError, QStringLiteral("no printer log for %1 in %2")
                           .arg(day.toString(Qt::ISODate), QDir::toNativeSeparators(directory)));
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return invocation.fail(
                FileError, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        copy(file);
    }
    return Success;
}

} // namespace zelkctl
