#include "Logging.h"
#include "Logging_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextStream>
#include <QVector>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

const char PrinterCategory[] = "RMPrinterLog";
const QLatin1String ApplicationLogName("RMConfig");
const QLatin1String PrinterLogName("RMPrinter");
const QLatin1String Mask("********");

// A message kept by the boot handler. The context's texts are copied: a
// category object made at run time need not outlive the buffer.
struct BootRecord
{
    QDateTime time;
    QtMsgType type = QtDebugMsg;
    int line = 0;
    QByteArray file;
    QByteArray function;
    QByteArray category;
    QString text;
};

// One log file: opened in append mode on the first message that goes to it and
// kept open. An open that fails is tried again with the next message, so that
// a log directory that appears later is still used.
class LogFile
{
public:
    QTextStream* open(const QString& directory, const QString& baseName)
    {
        if (m_file.isOpen())
            return &m_stream;
        if (directory.isEmpty())
            return nullptr;
        QDir().mkpath(directory);
        m_file.setFileName(directory + QLatin1Char('/') + baseName + QStringLiteral(".log"));
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append))
            return nullptr;
        m_stream.setDevice(&m_file);
        return &m_stream;
    }

    void flush()
    {
        if (!m_file.isOpen())
            return;
        m_stream.flush();
        m_file.flush();
    }

    void close()
    {
        if (!m_file.isOpen())
            return;
        m_stream.flush();
        m_stream.setDevice(nullptr);
        m_file.close();
    }

private:
    QFile m_file;
    QTextStream m_stream; // declared after the file: destroyed (and flushed) first
};

struct LoggingState
{
    // Guards the boot buffer, both files and their streams. Held for a whole
    // handler call, so that a line is formatted, written and flushed before
    // the next one starts: lines from different threads never interleave.
    // Not recursive; a message raised while it is held on the same thread
    // goes straight to the previous handler (see inHandler).
    QMutex mutex;
    QVector<BootRecord> boot;
    LogFile application;
    LogFile printer;
    QString directory; // set by setLogDirectory(); empty: the data location's
};

Q_GLOBAL_STATIC(LoggingState, state)

// The log folder; the caller holds the mutex.
QString directoryLocked(const LoggingState& s)
{
    if (!s.directory.isEmpty())
        return s.directory;
    const QString base = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return base.isEmpty() ? QString() : base + QStringLiteral("/log");
}

// The handler that was installed before ours (Qt's default one, which writes
// to the console). Kept outside the state object so that messages raised
// during static destruction, after the state is gone, still have somewhere to
// go.
std::atomic<QtMessageHandler> previousHandler{nullptr};

// Set while this thread runs one of our handlers with the mutex held.
thread_local bool inHandler = false;

class HandlerScope
{
public:
    HandlerScope() { inHandler = true; }
    ~HandlerScope() { inHandler = false; }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;
};

void passOn(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (QtMessageHandler previous = previousHandler.load())
        previous(type, context, message);
}

const char* nullIfEmpty(const QByteArray& text)
{
    return text.isNull() ? nullptr : text.constData();
}

// Writes the boot buffer to the application log and empties it. Caller holds
// the mutex.
void flushBootLocked(LoggingState& s)
{
    if (s.boot.isEmpty())
        return;
    QTextStream* out = s.application.open(directoryLocked(s), ApplicationLogName);
    for (const BootRecord& record : qAsConst(s.boot)) {
        const QMessageLogContext context(nullIfEmpty(record.file), record.line,
                                         nullIfEmpty(record.function),
                                         nullIfEmpty(record.category));
        Logging::writeLine(out, record.time, record.type, context, record.text,
                           previousHandler.load());
    }
    s.application.flush();
    s.boot.clear();
    s.boot.squeeze();
}

void bootHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (state.isDestroyed() || inHandler) {
        passOn(type, context, message);
        return;
    }
    BootRecord record;
    record.time = QDateTime::currentDateTime();
    record.type = type;
    record.line = context.line;
    record.file = QByteArray(context.file);
    record.function = QByteArray(context.function);
    record.category = QByteArray(context.category);
    record.text = message;

    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    HandlerScope scope;
    s.boot.append(record);
    // Qt aborts the process as soon as a fatal message's handler returns; what
    // was kept would die with it, and with it the reason for the abort.
    if (type == QtFatalMsg)
        flushBootLocked(s);
}

void fileHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (state.isDestroyed() || inHandler) {
        passOn(type, context, message);
        return;
    }
    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    HandlerScope scope;

    if (context.category && std::strcmp(context.category, PrinterCategory) == 0) {
        // The printer's own text: verbatim, an empty line after each chunk,
        // and not on the console.
        if (QTextStream* out = s.printer.open(directoryLocked(s), PrinterLogName)) {
            *out << message << "\n\n";
            s.printer.flush();
        }
        return;
    }

    Logging::writeLine(s.application.open(directoryLocked(s), ApplicationLogName),
                       QDateTime::currentDateTime(), type, context, message,
                       previousHandler.load());
    if (type != QtDebugMsg)
        s.application.flush();
}

bool isOurs(QtMessageHandler handler)
{
    return handler == bootHandler || handler == fileHandler;
}

bool startsString(const QString& text, int at, bool debugQuoted)
{
    return debugQuoted ? text.midRef(at).startsWith(QLatin1String("\\\""))
                       : text.at(at) == QLatin1Char('"');
}

// End of the string that starts at from (just after its closing quote); the
// end of the text when it is not closed.
int endOfString(const QString& text, int from, bool debugQuoted)
{
    const int n = text.size();
    if (!debugQuoted) {
        for (int i = from + 1; i < n; ++i) {
            if (text.at(i) == QLatin1Char('\\'))
                ++i;
            else if (text.at(i) == QLatin1Char('"'))
                return i + 1;
        }
        return n;
    }
    for (int i = from + 2; i < n; ++i) {
        if (text.at(i) != QLatin1Char('\\') || i + 1 >= n)
            continue;
        const QChar next = text.at(i + 1);
        if (next == QLatin1Char('"'))
            return i + 2;
        i += 1;
        if (next == QLatin1Char('\\')) {
            // A JSON escape: the unit after it belongs to the value, even
            // when it is an (escaped) quote.
            if (i + 1 < n && text.at(i + 1) == QLatin1Char('\\'))
                i += 2;
            else
                i += 1;
        }
    }
    return n;
}

// End of the value that starts at from: a JSON string or an array. -1 for any
// other kind of value. An unterminated value runs to the end of the text, so
// that a secret cut short by a truncated message is still hidden.
// In the debug stream's quoted form an original quote reads \" and an original
// backslash \\, so there a value is \" ... \" and \\ escapes the next unit.
int endOfValue(const QString& text, int from, bool debugQuoted)
{
    const int n = text.size();
    if (from >= n)
        return -1;
    if (text.at(from) == QLatin1Char('[')) {
        // The bracket that closes the array, not the first one: a bracket
        // inside one of its strings (or a nested array) ended the value
        // early, and the rest of the secret went to the log.
        int depth = 0;
        for (int i = from; i < n;) {
            if (startsString(text, i, debugQuoted)) {
                i = endOfString(text, i, debugQuoted);
                continue;
            }
            if (text.at(i) == QLatin1Char('['))
                ++depth;
            else if (text.at(i) == QLatin1Char(']') && --depth == 0)
                return i + 1;
            ++i;
        }
        return n;
    }
    if (!startsString(text, from, debugQuoted))
        return -1;
    return endOfString(text, from, debugQuoted);
}

void rotateOne(QDir& directory, const QString& prefix, const QDate& today)
{
    const QString current = directory.filePath(prefix + QStringLiteral(".log"));
    const QFileInfo info(current);
    if (info.exists()) {
        const QDate written = info.lastModified().date();
        // QFile::rename never replaces an existing file: if that day's log is
        // already there, the current log stays and is appended to.
        if (written.isValid() && written != today)
            QFile::rename(current, directory.filePath(prefix + QLatin1Char('-') +
                                                      written.toString(Qt::ISODate) +
                                                      QStringLiteral(".log")));
    }

    const QStringList rotated =
        directory.entryList({prefix + QStringLiteral("-*.log")}, QDir::Files | QDir::CaseSensitive);
    for (const QString& name : rotated) {
        const QDate date = QDate::fromString(name.mid(prefix.size() + 1, 10), Qt::ISODate);
        if (date.isValid() && date.daysTo(today) >= 8)
            directory.remove(name);
    }
}

} // namespace

namespace Logging {

QString logDirectory()
{
    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    HandlerScope scope; // a message raised meanwhile must not wait for the mutex
    return directoryLocked(s);
}

void setupBoot()
{
    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    const QtMessageHandler replaced = qInstallMessageHandler(bootHandler);
    if (!isOurs(replaced))
        previousHandler.store(replaced);
}

void flushBoot()
{
    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    HandlerScope scope;
    flushBootLocked(s);
}

void setLogDirectory(const QString& directory)
{
    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    s.directory = directory;
}

void rotateLogs()
{
    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    HandlerScope scope;
    const QString directory = directoryLocked(s);
    // A program that runs for days rotates while its logs are open: the
    // next message opens the new file instead of appending to the renamed one.
    s.application.close();
    s.printer.close();
    rotateLogsIn(directory, QDate::currentDate());
}

void setupFile()
{
    const QString directory = logDirectory();
    if (!directory.isEmpty())
        QDir().mkpath(directory);

    LoggingState& s = *state;
    // Held across the switch and the flush: a message from another thread
    // waits for it, so the kept messages come first in the file.
    QMutexLocker lock(&s.mutex);
    HandlerScope scope;
    const QtMessageHandler replaced = qInstallMessageHandler(fileHandler);
    if (replaced == bootHandler)
        flushBootLocked(s);
    else if (!isOurs(replaced))
        previousHandler.store(replaced);
}

void unsetup()
{
    qInstallMessageHandler(nullptr);
    LoggingState& s = *state;
    QMutexLocker lock(&s.mutex);
    HandlerScope scope;
    // Kept messages of a run that never reached setupFile() or flushBoot()
    // would otherwise be dropped here.
    flushBootLocked(s);
    s.application.close();
    s.printer.close();
}

QString maskSecrets(const QString& text)
{
    if (!text.contains(QLatin1String("key"), Qt::CaseInsensitive) &&
        !text.contains(QLatin1String("password"), Qt::CaseInsensitive))
        return text;

    // The end of a member name ending in key or password, its closing quote
    // (\" in the debug stream's quoted form), the colon and any blanks.
    static const QRegularExpression member(QStringLiteral("(key|password)(\\\\?)\"\\s*:\\s*"),
                                           QRegularExpression::CaseInsensitiveOption);
    QString masked;
    int copied = 0;
    QRegularExpressionMatchIterator it = member.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const bool debugQuoted = match.capturedLength(2) > 0;
        const int end = endOfValue(text, match.capturedEnd(), debugQuoted);
        if (end < 0)
            continue;
        if (match.capturedStart() < copied) {
            // A member inside a value masked already, as text that is not
            // well-formed JSON can place one: its own value goes as well,
            // however far it runs past the masked one.
            copied = std::max(copied, end);
            continue;
        }
        masked += text.midRef(copied, match.capturedStart() - copied);
        masked += match.captured(1);
        masked += debugQuoted ? QLatin1String("\\\":\\\"") : QLatin1String("\":\"");
        masked += Mask;
        masked += debugQuoted ? QLatin1String("\\\"") : QLatin1String("\"");
        copied = end;
    }
    if (copied == 0)
        return text;
    masked += text.midRef(copied);
    return masked;
}

void writeLine(QTextStream* out, const QDateTime& time, QtMsgType type,
               const QMessageLogContext& context, const QString& message, QtMessageHandler previous)
{
    const QString text = maskSecrets(message);
    const char* label = nullptr;
    switch (type) {
    case QtDebugMsg:
        label = " Debug: ";
        break;
    case QtInfoMsg:
        label = " Info: ";
        break;
    case QtWarningMsg:
        label = " Warning: ";
        break;
    case QtCriticalMsg:
        label = " Critical: ";
        break;
    case QtFatalMsg:
        label = " Fatal: ";
        break;
    }
    if (out && label) {
        *out << time.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss:zzz")) << " - "
             << QLatin1String(context.category ? context.category : "default")
             << QLatin1String(label) << text << '\n';
    }
    if (previous)
        previous(type, context, text);
}

void rotateLogsIn(const QString& directory, const QDate& today)
{
    if (directory.isEmpty())
        return;
    QDir dir(directory);
    if (!dir.exists())
        return;
    rotateOne(dir, ApplicationLogName, today);
    rotateOne(dir, PrinterLogName, today);
}

} // namespace Logging
