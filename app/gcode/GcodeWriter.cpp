#include "GcodeWriter.h"

#include <QIODevice>

#include <cstring>

namespace {
constexpr size_t BufferSize = 64 * 1024;
}

GcodeWriter::GcodeWriter(QIODevice* d) : device(d), buffer(BufferSize) {}

void GcodeWriter::makeRoom(int n)
{
    flush();
    if (buffer.size() < size_t(n))
        buffer.resize(size_t(n));
}

void GcodeWriter::append(const char* data, int n)
{
    std::memcpy(reserve(n), data, size_t(n));
    commit(n);
}

void GcodeWriter::appendLine(const char* data, int n)
{
    char* p = reserve(n + 1);
    std::memcpy(p, data, size_t(n));
    p[n] = '\n';
    commit(n + 1);
}

bool GcodeWriter::flush()
{
    if (failed)
        used = 0; // nowhere to go: drop, but keep the buffer's room
    if (used == 0)
        return !failed;
    qint64 done = 0;
    // A device may take part of the bytes; only a refusal is a failure.
    while (done < qint64(used)) {
        const qint64 n = device ? device->write(buffer.data() + done, qint64(used) - done) : -1;
        if (n <= 0) {
            failed = true;
            break;
        }
        done += n;
    }
    written += done;
    used = 0;
    return !failed;
}
