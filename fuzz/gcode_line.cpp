// The G-code line parser (GcodeWordReader, GcodeLine::parse and set,
// GcodeNumber, GcodeSum): one line of a user's file. The words read lie in the
// line, in order. A line it accepts must format into the buffer the format
// promises and read back as the same line: the optimizer writes merged moves
// with this formatter, and a number that reads back differently would move
// the print head somewhere else. Sums of its numbers, as a run in relative
// extrusion makes them, are exact, in plain decimals.
//
// Input: the line.
#include "FuzzSupport.h"

#include <GcodeLine.h>

#include <QString>
#include <QVector>

#include <algorithm>
#include <charconv>
#include <cmath>
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

void rereads(const GcodeLine& line)
{
    const std::string text = formatted(line);
    GcodeLine again;
    check(again.parse(text.data(), text.data() + text.size() - 1), "a formatted line parses again");
    check(again.g == (line.g == 0 ? 1 : line.g), "the G number reads back (G0 as G1)");
    for (int w = 0; w < GcodeLine::WordCount; ++w)
        check(again.words[w].present == line.words[w].present &&
                  (!line.words[w].present || again.words[w].value == line.words[w].value),
              "the same words read back with the same values");
    check(formatted(again) == text, "a formatted line reads back as itself");
}

int decimalsOf(const char* begin, const char* end)
{
    const char* point = std::find(begin, end, '.');
    return point == end ? 0 : int(end - point - 1);
}

// `count` terms, cycling through the words present.
void sums(const GcodeLine& line, int count)
{
    GcodeSum sum;
    sum.clear();
    double approximate = 0, magnitude = 0;
    int decimals = 0, terms = 0;
    for (int i = 0; terms < count; ++i) {
        const GcodeValue& v = line.words[i % GcodeLine::WordCount];
        if (!v.present)
            continue;
        sum.add(v);
        approximate += v.value;
        magnitude += std::fabs(v.value);
        decimals = std::max(decimals, decimalsOf(v.text, v.text + v.textLength));
        ++terms;
    }
    GcodeValue result;
    sum.store(&result);
    const char* const begin = result.text;
    const char* const end = begin + result.textLength;
    const bool point = std::find(begin, end, '.') != end;
    check(result.textLength > 0 && result.textLength <= GcodeValue::MaxText &&
              decimalsOf(begin, end) <= decimals && end[-1] != '.' && !(point && end[-1] == '0'),
          "a sum fits, with no more decimals than its terms and no trailing zeros");
    double value = 0; // fixed notation: no exponent, no "inf"
    const auto read = std::from_chars(begin, end, value, std::chars_format::fixed);
    check(read.ec == std::errc() && read.ptr == end && value == result.value &&
              std::fabs(value - approximate) <= 1e-12 * (1 + magnitude) * count,
          "a sum is a plain decimal, the sum of its terms");
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
        if (line.has(GcodeLine::X) || line.has(GcodeLine::Y) || line.has(GcodeLine::Z) ||
            line.has(GcodeLine::E) || line.has(GcodeLine::F)) {
            sums(line, 5);
            sums(line, GcodeSum::MaxTerms);
        }
    }

    // One number: whatever it reads it writes as it stood.
    GcodeValue value;
    if (value.read(begin, end)) {
        char out[GcodeValue::MaxText];
        char* e = GcodeNumber::write(out, value);
        check(std::string(out, e) == std::string(begin, end), "a number is written as it stood");
    }

    // The same line through the word-list entry point.
    const QString text = QString::fromUtf8(begin, int(size));
    GcodeLine words;
    if (words.set(text.splitRef(QLatin1Char(' '), Qt::SkipEmptyParts)))
        rereads(words);
    return 0;
}
