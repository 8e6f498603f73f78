// The G-code line parser (GcodeWordReader, GcodeLine::parse and set,
// GcodeNumber): one line of a user's file. The words read lie in the line, in
// order. A line it accepts must format into the buffer the format
// promises, and what it writes must read back as the same line: the
// optimizer writes merged moves with this formatter, and a number that reads
// back differently would move the print head somewhere else.
//
// Input: the line.
#include "FuzzSupport.h"

#include <GcodeLine.h>

#include <QString>
#include <QVector>

#include <cmath>
#include <cstring>
#include <memory>

namespace {

using zelkfuzz::check;

// Formats into a buffer of exactly MaxFormatted bytes on the heap, where a
// write past the promise is seen.
std::string formatted(const GcodeLine& line)
{
    std::unique_ptr<char[]> buffer(new char[GcodeLine::MaxFormatted]);
    const int n = line.format(buffer.get());
    check(n > 0 && n <= GcodeLine::MaxFormatted, "a line formats within MaxFormatted bytes");
    check(buffer[size_t(n - 1)] == '\n', "a formatted line ends with its line feed");
    return std::string(buffer.get(), size_t(n));
}

// Written numbers reread: the same text, unless the seven digits carried the
// value out of the range the parser takes (|v| from 1e12), which a printer
// reads all the same.
void rereads(const GcodeLine& line)
{
    const std::string text = formatted(line);
    GcodeLine again;
    if (!again.parse(text.data(), text.data() + text.size() - 1)) {
        bool large = false;
        for (int w = 0; w < GcodeLine::WordCount; ++w)
            large =
                large || (line.words[w].present && std::fabs(line.words[w].value) >= 9.9999995e11);
        check(large, "a formatted line parses again");
        return;
    }
    check(again.g == (line.g == 0 ? 1 : line.g), "the G number reads back (G0 as G1)");
    for (int w = 0; w < GcodeLine::WordCount; ++w)
        check(again.words[w].present == line.words[w].present, "the same words read back");
    check(formatted(again) == text, "a formatted line reads back as itself");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    const char* begin = reinterpret_cast<const char*>(data);
    const char* end = begin + size;

    GcodeWordReader reader(begin, end);
    GcodeWord word;
    const char* after = begin;
    while (reader.next(&word)) {
        check(word.begin > after && word.begin[-1] == word.letter && word.begin <= word.end &&
                  word.end <= end,
              "a word lies in the line, after the previous one");
        after = word.end;
    }
    check((reader.stop() == GcodeWordReader::End) == (reader.position() == end),
          "reading stops at the end of the line or at what stopped it");

    GcodeLine line;
    if (line.parse(begin, end)) {
        for (int w = 0; w < GcodeLine::WordCount; ++w)
            check(!line.words[w].present || std::isfinite(line.words[w].value),
                  "a parsed number is finite");
        rereads(line);
    }

    // One number: whatever parses formats into 24 bytes and reads back.
    GcodeValue value;
    if (GcodeNumber::parse(begin, end, &value)) {
        char out[32];
        std::memset(out, 0, sizeof out);
        char* e = GcodeNumber::write(out, value);
        check(e - out <= 24, "a number writes in at most 24 bytes");
        GcodeValue again;
        if (GcodeNumber::parse(out, e, &again)) {
            char out2[32];
            char* e2 = GcodeNumber::write(out2, again);
            check(std::string(out, e) == std::string(out2, e2), "a written number reads back");
        } else {
            check(std::fabs(value.value) >= 9.9999995e11, "a written number parses again");
        }
    }

    // The same line through the word-list entry point.
    const QString text = QString::fromUtf8(begin, int(size));
    GcodeLine words;
    if (words.set(text.splitRef(QLatin1Char(' '), Qt::SkipEmptyParts)))
        rereads(words);
    return 0;
}
