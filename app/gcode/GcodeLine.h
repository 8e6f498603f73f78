#pragma once

#include "GcodeWords.h"

#include <QStringRef>
#include <QVector>

#include <cstring>

class QTextStream;

// One number of a move line and the text it was written in. The optimizer
// writes every number as its line wrote it: formatting the double again (to a
// fixed number of significant digits) made an absolute E coarse late in a
// long print, where E runs into the thousands.
struct GcodeValue
{
    // The longest number text a move line may carry and still be rewritten; a
    // line with a longer one is copied as it stands.
    static constexpr int MaxInput = 24;
    // The longest text held: a sum of GcodeSum::MaxTerms inputs (up to 15
    // integer digits, 23 decimals, a sign and a point).
    static constexpr int MaxText = 40;

    double value = 0;
    bool present = false;
    quint8 textLength = 0;
    char text[MaxText] = {};

    // Parses [begin, end) with GcodeNumber::parse and keeps its text. Returns
    // false, leaving the value as it was, for a text that is no plain
    // decimal or is longer than MaxInput.
    bool read(const char* begin, const char* end);
};

// The exact sum of numbers as their texts spell them: what a run of moves in
// relative extrusion feeds. Summed in doubles and formatted, 0.1 + 0.2 needs
// rounding to come out as 0.3, and any fixed rounding is too coarse for
// someone.
class GcodeSum
{
public:
    static constexpr int MaxTerms = 256;

    void clear()
    {
        mantissa = 0;
        decimals = 0;
        terms = 0;
    }
    // `v` must hold a text read by GcodeValue::read; at most MaxTerms of them.
    void add(const GcodeValue& v);
    // The sum into `v`, present: written with the largest number of decimals
    // among its terms, trailing zeros (and a trailing point) dropped, never
    // in exponent form; 0 without a sign.
    void store(GcodeValue* v) const;

private:
    // Up to MaxTerms terms below 1e12 with up to 23 decimals: below 1e38.
    __extension__ typedef __int128 Int;

    Int mantissa = 0; // the sum times 10^decimals
    int decimals = 0;
    int terms = 0;
};

// One parsed G0, G1 or G92 line: its G number and the X, Y, Z, E and F words
// that stood on it. Other words and the comment are not kept.
class GcodeLine
{
public:
    enum Word { X, Y, Z, E, F, WordCount };
    // "G" with a 10-digit number, then five words of " F" and a number each,
    // then the line feed.
    static constexpr int MaxFormatted = 11 + WordCount * (2 + GcodeValue::MaxText) + 1;

    int g = 0;
    GcodeValue words[WordCount];

    bool has(Word w) const { return words[w].present; }
    double value(Word w) const { return words[w].value; }

    // Fills the line from its words (the G word first). Clears the five
    // presence flags; a word that is absent keeps its previous value. Returns
    // false for a line that cannot be rewritten without changing what it
    // does: a number that is not a plain decimal (or is not finite, or is
    // longer than GcodeValue::MaxInput), a word given twice, a second command
    // word (G, M, T, N) or a lower-case letter, which some firmware reads as
    // an axis. Other upper-case words (S, P, ...) are dropped.
    bool set(const QVector<QStringRef>& words);
    // The same from bytes: the trimmed line, read with GcodeWordReader. Words
    // must be separated by spaces or tabs; a ';' comment is dropped, a
    // checksum or a comment in parentheses refuses the line.
    bool parse(const char* begin, const char* end);

    // Writes "G<n>" (G0 as G1) and the words present, in the order F X Y Z E,
    // then a line feed. Returns the number of bytes written to `buffer`, which
    // must hold MaxFormatted bytes.
    int format(char* buffer) const;
    void write(QTextStream& out) const;

    // Dumps the line to standard output, for debugging.
    void print() const;

private:
    bool setWord(char letter, const char* begin, const char* end);
};

namespace GcodeNumber {

// Writes a value's text; returns the end.
inline char* write(char* out, const GcodeValue& v)
{
    std::memcpy(out, v.text, v.textLength);
    return out + v.textLength;
}

} // namespace GcodeNumber
