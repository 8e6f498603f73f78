#include "RMOptimizeTask.h"

#include "GcodeLine.h"
#include "GcodeWriter.h"
#include "OptimizerLogging.h"
#include "Sequence.h"

#include <QElapsedTimer>
#include <QFileDevice>
#include <QIODevice>
#include <QString>

#include <atomic>
#include <cstring>
#include <vector>

Q_LOGGING_CATEGORY(Optimizer, "RMOptimizeTask")

namespace {

constexpr char Header[] = "; Optimized with Corvane optimizer (c++)\n";
constexpr size_t ChunkSize = 256 * 1024;

inline bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// "G0 ", "G1 " or "G92 ": the lines the run logic reads. G28, G1X5, g1 x5,
// G01 X5 and a bare G92 are copied as they stand (and still followed).
inline bool isMoveLine(const char* p, size_t n)
{
    if (n < 3 || p[0] != 'G')
        return false;
    if ((p[1] == '0' || p[1] == '1') && p[2] == ' ')
        return true;
    return n >= 4 && p[1] == '9' && p[2] == '2' && p[3] == ' ';
}

} // namespace

class RMOptimizeTaskPrivate
{
    Q_DECLARE_PUBLIC(RMOptimizeTask)
public:
    RMOptimizeTaskPrivate(RMOptimizeTask* task, QIODevice* in, QIODevice* out)
        : q_ptr(task), input(in), output(out)
    {}

    void setError(RMOptimizeTask::Error e, const QString& text);
    void run();
    void line(const char* begin, const char* end);
    void trimmedLine(const char* begin, const char* end);

    RMOptimizeTask* const q_ptr;
    QIODevice* const input;
    QIODevice* const output;

    RMOptimizeTask::Error error = RMOptimizeTask::NoError;
    QString errorString;
    qint64 bytesRead = 0;
    qint64 bytesWritten = 0;
    qint64 movesRead = 0;
    qint64 movesWritten = 0;

    // Pass state, alive during optimize() only.
    Sequence* sequence = nullptr;
    GcodeWriter* writer = nullptr;
    GcodeLine move;
    qint64 verbatimMoves = 0; // G0/G1 lines copied as they stand

    // Set by cancel() on any thread, read by the pass once per input block.
    std::atomic<bool> cancelled{false};
};

void RMOptimizeTaskPrivate::setError(RMOptimizeTask::Error e, const QString& text)
{
    Q_Q(RMOptimizeTask);
    if (error != RMOptimizeTask::NoError)
        return; // the first failure is the cause; later ones follow from it
    error = e;
    errorString = text;
    if (e == RMOptimizeTask::Cancelled)
        qCInfo(Optimizer).noquote() << text; // the user's choice, nothing wrong
    else
        qCWarning(Optimizer).noquote() << text;
    emit q->errorOccurred(e);
}

void RMOptimizeTaskPrivate::trimmedLine(const char* begin, const char* end)
{
    const size_t n = size_t(end - begin);
    bool verbatimMove = false;
    if (isMoveLine(begin, n)) {
        if (move.parse(begin, end)) {
            sequence->add(move, *writer);
            return;
        }
        verbatimMove = begin[1] != '9';
    }
    sequence->write(*writer);
    writer->appendLine(begin, int(n));
    sequence->observe(begin, end);
    verbatimMoves += verbatimMove;
}

void RMOptimizeTaskPrivate::line(const char* begin, const char* end)
{
    // The common line is short ASCII: scan it once for a NUL (where the text
    // ends) or a byte that needs the UTF-8 decoder.
    const char* p = begin;
    // Eight bytes at a time: a byte is 0 or has its top bit set.
    constexpr quint64 ones = 0x0101010101010101ull;
    constexpr quint64 tops = 0x8080808080808080ull;
    while (end - p >= 8) {
        quint64 w;
        std::memcpy(&w, p, 8);
        if ((w | ((w - ones) & ~w)) & tops)
            break;
        p += 8;
    }
    while (p != end && static_cast<unsigned char>(*p) - 1u < 0x7fu)
        ++p;
    if (p != end && *p != 0) {
        const char* nul = static_cast<const char*>(std::memchr(p, 0, size_t(end - p)));
        const QByteArray text = QString::fromUtf8(begin, int((nul ? nul : end) - begin))
                                    .trimmed()
                                    .toUtf8(); // invalid sequences become U+FFFD
        if (!text.isEmpty())
            trimmedLine(text.constData(), text.constData() + text.size());
        return;
    }
    end = p;
    while (begin != end && isSpace(*begin))
        ++begin;
    while (end != begin && isSpace(end[-1]))
        --end;
    if (begin != end)
        trimmedLine(begin, end);
}

void RMOptimizeTaskPrivate::run()
{
    Q_Q(RMOptimizeTask);
    GcodeWriter out(output);
    Sequence runs;
    writer = &out;
    sequence = &runs;
    out.append(Header, int(sizeof(Header) - 1));

    qint64 counter = 0;
    qint64 reported = 0;
    // An input that is not open counts as being at its end.
    if (input && input->isOpen() && input->isReadable()) {
        std::vector<char> buffer(ChunkSize);
        size_t begin = 0;
        size_t filled = 0;
        bool atEnd = false;
        while (error == RMOptimizeTask::NoError) {
            for (;;) {
                char* const from = buffer.data() + begin;
                const char* nl = static_cast<const char*>(std::memchr(from, '\n', filled - begin));
                if (!nl)
                    break;
                line(from, nl);
                const size_t length = size_t(nl - from) + 1;
                begin += length;
                counter += qint64(length);
                // Bytes of blank lines count towards the next report.
                if (counter - reported >= RMOptimizeTask::ProgressStep) {
                    reported = counter;
                    emit q->progress(counter);
                }
            }
            if (out.hasFailed())
                break;
            if (cancelled) {
                setError(RMOptimizeTask::Cancelled,
                         RMOptimizeTask::tr("The optimization was cancelled."));
                break;
            }
            if (atEnd) {
                if (begin != filled) { // a last line without line feed
                    line(buffer.data() + begin, buffer.data() + filled);
                    counter += qint64(filled - begin);
                }
                break;
            }
            std::memmove(buffer.data(), buffer.data() + begin, filled - begin);
            filled -= begin;
            begin = 0;
            if (filled == buffer.size()) {
                if (buffer.size() > size_t(RMOptimizeTask::MaxLineLength)) {
                    setError(RMOptimizeTask::LineTooLong,
                             RMOptimizeTask::tr("A line after byte %1 of the G-code is longer "
                                                "than %2 bytes.")
                                 .arg(counter)
                                 .arg(RMOptimizeTask::MaxLineLength));
                    break;
                }
                buffer.resize(
                    std::min(buffer.size() * 2, size_t(RMOptimizeTask::MaxLineLength) + 1));
            }
            const qint64 n = input->read(buffer.data() + filled, qint64(buffer.size() - filled));
            if (n < 0) {
                setError(
                    RMOptimizeTask::ReadError,
                    RMOptimizeTask::tr("Could not read the G-code: %1").arg(input->errorString()));
                break;
            }
            // A pipe or socket may have nothing yet without being at its end.
            if (n == 0 && !(input->isSequential() && input->waitForReadyRead(-1)))
                atEnd = true;
            filled += size_t(n);
        }
    }
    if (error == RMOptimizeTask::NoError)
        runs.write(out);
    out.flush();
    // A file device buffers too: its failures show when it flushes.
    auto* file = qobject_cast<QFileDevice*>(output);
    if (out.hasFailed() || (file && !file->flush()))
        setError(RMOptimizeTask::WriteError,
                 RMOptimizeTask::tr("Could not write the optimized G-code: %1")
                     .arg(output ? output->errorString() : QStringLiteral("no output")));

    bytesRead = counter;
    bytesWritten = out.bytesWritten();
    movesRead = runs.movesRead() + verbatimMoves;
    movesWritten = runs.movesWritten() + verbatimMoves;
    writer = nullptr;
    sequence = nullptr;
    if (counter != reported)
        emit q->progress(counter);
}

RMOptimizeTask::RMOptimizeTask(QIODevice* input, QIODevice* output, QObject* parent)
    : QObject(parent), d_ptr(new RMOptimizeTaskPrivate(this, input, output))
{
    // The signals cross threads: the pass runs on a pool thread.
    qRegisterMetaType<RMOptimizeTask::Error>();
}

RMOptimizeTask::~RMOptimizeTask() = default;

void RMOptimizeTask::optimize()
{
    Q_D(RMOptimizeTask);
    QElapsedTimer timer;
    timer.start();
    d->error = NoError;
    d->errorString.clear();
    d->verbatimMoves = 0;
    d->run();
    qCDebug(Optimizer).nospace() << "Optimized gcode file in " << timer.elapsed() << "ms";
}

void RMOptimizeTask::cancel()
{
    Q_D(RMOptimizeTask);
    d->cancelled = true;
}

RMOptimizeTask::Error RMOptimizeTask::error() const
{
    Q_D(const RMOptimizeTask);
    return d->error;
}

QString RMOptimizeTask::errorString() const
{
    Q_D(const RMOptimizeTask);
    return d->errorString;
}

qint64 RMOptimizeTask::bytesRead() const
{
    Q_D(const RMOptimizeTask);
    return d->bytesRead;
}

qint64 RMOptimizeTask::bytesWritten() const
{
    Q_D(const RMOptimizeTask);
    return d->bytesWritten;
}

qint64 RMOptimizeTask::movesRead() const
{
    Q_D(const RMOptimizeTask);
    return d->movesRead;
}

qint64 RMOptimizeTask::movesWritten() const
{
    Q_D(const RMOptimizeTask);
    return d->movesWritten;
}
