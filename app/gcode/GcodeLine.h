#pragma once

#include "GcodeWords.h"

#include <QStringRef>
#include <QVector>

class QTextStream;

// One number of a move line. When the text it was read from is already in the
// output format (plain decimal, at most 7 significant digits, no trailing
// zeros) the text is kept, so that writing the number back is a
// copy: formatting a double costs more than the rest of a line's work.
struct GcodeValue
{
    static constexpr int MaxText = 14;

    double value = 0;
    bool present = false;
    quint8 textLength = 0; // 0: no kept text, format the value
    char text[MaxText] = {};

    void set(double v)
    {
        value = v;
        present = true;
        textLength = 0;
    }
};

// One parsed G0, G1 or G92 line: its G number and the X, Y, Z, E and F words
// that stood on it. Other words and the comment are not kept.
class GcodeLine
{
public:
    enum Word { X, Y, Z, E, F, WordCount };
    // "G" with a 10-digit number, then five words of " F" and a number each,
    // then the line feed.
    static constexpr int MaxFormatted = 11 + WordCount * (2 + 24) + 1;

    int g = 0;
    GcodeValue words[WordCount];

    bool has(Word w) const { return words[w].present; }
    double value(Word w) const { return words[w].value; }

    // Fills the line from its words (the G word first). Clears the five
    // presence flags; a word that is absent keeps its previous value. Returns
    // false for a line that cannot be rewritten without changing what it
    // does: a number that is not a plain decimal (or is not finite), a second
    // command word (G, M, T, N) or a lower-case letter, which some firmware
    // reads as an axis. Other upper-case words (S, P, ...) are dropped.
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

// parse(begin, end, double*) (GcodeWords.h) into a value, keeping the text in
// `out` when it is already in the output format.
bool parse(const char* begin, const char* end, GcodeValue* out);
// Writes `v` with 7 significant digits like printf's "%.7g" in the C locale,
// but always in plain decimal notation; returns the end (at most 24 bytes).
char* format(char* out, double v);
// Writes a value: its kept text or its formatted number.
char* write(char* out, const GcodeValue& v);

} // namespace GcodeNumber
