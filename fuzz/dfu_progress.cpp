// The program's reader of a running flash's output (RMDFUUpdate): the
// percentage in each chunk dfu-util prints, the ring that keeps its last
// bytes, and the verdict drawn from them when dfu-util ends.
//
// Input: one byte of choices, then the output.
//   bits 0-6: chunk size - 1 (how the output arrives from the pipe)
//   bit 7:    dfu-util's exit code is 0 (else 74, as when the printer left)
#include "FuzzSupport.h"

#include <RMDFUUpdate_p.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    using zelkfuzz::check;
    zelkfuzz::Input in(data, size);
    const uint8_t choices = in.byte();
    const size_t chunkSize = (choices & 0x7f) + 1;
    const int exitCode = (choices & 0x80) ? 0 : 74;

    RMOutputTail tail;
    std::string everything;
    while (in.remaining() > 0) {
        const std::string piece = in.take(chunkSize);
        const QByteArray chunk(piece.data(), int(piece.size()));
        const int percent = RMDFUUpdatePrivate::progressIn(chunk);
        check(percent >= -1, "a chunk's percentage is -1 or a number");
        tail.append(chunk);
        everything += piece;
    }
    const std::string expected =
        everything.substr(everything.size() > size_t(RMOutputTail::CAPACITY)
                              ? everything.size() - size_t(RMOutputTail::CAPACITY)
                              : 0);
    const QByteArray kept = tail.contents();
    check(kept == QByteArray(expected.data(), int(expected.size())),
          "the tail holds the last bytes of the output, in order");

    const bool success = RMDFUUpdatePrivate::succeeded(exitCode, QProcess::NormalExit, kept);
    check(!(exitCode == 0) || success, "a clean exit is a success");
    check(RMDFUUpdatePrivate::succeeded(0, QProcess::NormalExit, kept),
          "a clean exit is a success whatever was printed");
    return 0;
}
