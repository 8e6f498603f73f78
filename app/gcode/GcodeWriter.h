#pragma once

#include <QtGlobal>

#include <vector>

class QIODevice;

// Buffered byte output of the optimizer. Everything it writes is UTF-8 already
// (move lines are ASCII; other lines are re-encoded when they are not ASCII),
// so it skips a text stream's round trip through UTF-16, which costs a quarter
// of the pass.
class GcodeWriter
{
public:
    explicit GcodeWriter(QIODevice* device);
    GcodeWriter(const GcodeWriter&) = delete;
    GcodeWriter& operator=(const GcodeWriter&) = delete;

    // Room for `n` more bytes; commit() what was used.
    char* reserve(int n)
    {
        if (Q_UNLIKELY(buffer.size() - used < size_t(n)))
            makeRoom(n);
        return buffer.data() + used;
    }
    void commit(int n) { used += size_t(n); }
    void append(const char* data, int n);
    void appendLine(const char* data, int n);

    // Hands the buffered bytes to the device. False once the device refused
    // bytes; the device's error string says why.
    bool flush();
    bool hasFailed() const { return failed; }
    qint64 bytesWritten() const { return written + qint64(used); }

private:
    void makeRoom(int n);

    QIODevice* device;
    std::vector<char> buffer;
    size_t used = 0;
    qint64 written = 0;
    bool failed = false;
};
