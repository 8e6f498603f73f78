#pragma once

#include <QByteArray>

// The words of one line of G-code, read the way a printer's firmware reads
// them. The one tokenizer of the program: the optimizer's move lines
// (GcodeLine::parse) and the lines it copies (Sequence::observe) are read
// with it, and so should any other reader of G-code, so that they never
// disagree on what a line says.
//
//   GcodeWordReader reader(line); // a QByteArray, or a begin/end span
//   GcodeWord w;
//   while (reader.next(&w)) {
//       double v;
//       if (w.upperLetter() == 'X' && w.number(&v))
//           ...
//   }
//   if (reader.stop() == GcodeWordReader::Junk)
//       ...; // not G-code as we know it: trust nothing the line did
//
// Nothing is allocated or copied: a word points into the line, which must
// outlive it and is not changed. Give the reader a trimmed line without its
// line feed (a line feed or carriage return inside is junk).
//
// How a line reads:
// - A word is a letter, either case, and the number text after it: the
//   longest run of digits, '.', '+' and '-', then a lower-case exponent ('e'
//   and a digit, or 'e', a sign and a digit) with its digits. An upper-case
//   'E' after a number starts the next word, the extruder's: firmwares read
//   "X20E1" as X20 E1. The text may be empty (a letter alone) or no number at
//   all ("1-2", "."): the reader splits, GcodeNumber::parse judges. It
//   refuses an exponent, on which firmwares differ ("X1e1" is X10 to one, X1
//   to another, X1 and an extruder word to a third).
// - Spaces and tabs separate words but are not needed: "G1X5Y5" is three
//   words. A word that follows the previous one (or a comment in
//   parentheses) without a space or tab between them is `glued`.
// - ';' starts the comment, '*' the checksum: reading stops there.
// - "(...)" is a comment inside the line and is skipped (an unclosed one runs
//   to the end); hasInlineComment() tells that one was seen.
// - Any other byte (a control character, ':', '#', a byte of a non-ASCII
//   character...) stops reading as Junk. The words before it were read, but
//   firmwares differ on such lines: treat the whole line as unknown.
struct GcodeWord
{
    char letter = 0;             // as written
    bool glued = false;          // no space or tab before it, after a word or comment
    const char* begin = nullptr; // the number's text, from after the letter...
    const char* end = nullptr;   // ...to its end; empty for a letter alone

    char upperLetter() const { return letter >= 'a' ? char(letter - 'a' + 'A') : letter; }
    bool isUpper() const { return letter <= 'Z'; }
    int length() const { return int(end - begin); }
    // The number as a plain decimal (GcodeNumber::parse).
    bool number(double* value) const;
};

class GcodeWordReader
{
public:
    enum Stop {
        Reading,  // next() has not returned false yet
        End,      // the end of the line
        Comment,  // at a ';'
        Checksum, // at a '*'
        Junk,     // at a byte that is no part of G-code
    };

    GcodeWordReader(const char* begin, const char* end) : p(begin), e(end) {}
    // Reads `line` in place: it must outlive the reader and its words.
    explicit GcodeWordReader(const QByteArray& line)
        : GcodeWordReader(line.constData(), line.constData() + line.size())
    {}

    // The next word; false once reading has stopped (see stop()).
    bool next(GcodeWord* word);

    Stop stop() const { return state; }
    // Where reading is: after the last word, or at the byte that stopped it.
    const char* position() const { return p; }
    bool hasInlineComment() const { return inlineComment; }

private:
    static bool isLetter(char c) { return unsigned((c | 0x20) - 'a') < 26u; }
    static bool isDigit(char c) { return unsigned(c - '0') < 10u; }
    static bool isNumberChar(char c) { return isDigit(c) || c == '.' || c == '-' || c == '+'; }

    const char* p;
    const char* const e;
    Stop state = Reading;
    bool afterWord = false; // the last thing read was a word or comment, not a separator
    bool inlineComment = false;
};

inline bool GcodeWordReader::next(GcodeWord* word)
{
    for (;;) {
        if (p == e) {
            state = End;
            return false;
        }
        const char c = *p;
        if (isLetter(c))
            break;
        if (c == ' ' || c == '\t') {
            afterWord = false;
            ++p;
        } else if (c == '(') {
            while (p != e && *p != ')')
                ++p;
            if (p != e)
                ++p;
            inlineComment = true;
            afterWord = true;
        } else {
            state = c == ';' ? Comment : c == '*' ? Checksum : Junk;
            return false;
        }
    }
    word->letter = *p;
    word->glued = afterWord;
    word->begin = ++p;
    while (p != e && isNumberChar(*p))
        ++p;
    // A lower-case exponent, as strtod reads it ("E7e-05").
    if (e - p >= 2 && *p == 'e' &&
        (isDigit(p[1]) || ((p[1] == '-' || p[1] == '+') && e - p >= 3 && isDigit(p[2])))) {
        p += 2;
        while (p != e && isDigit(*p))
            ++p;
    }
    word->end = p;
    afterWord = true;
    return true;
}

namespace GcodeNumber {

// Parses the whole of [begin, end) as a plain decimal number in the C locale,
// whatever the process's locale: an optional sign, digits with an optional
// point. Returns false for anything else, including an empty text, an
// exponent (firmwares differ on "1e1"), infinities, NaN and magnitudes from
// 1e12 up or below 1e-12 (other than 0).
bool parse(const char* begin, const char* end, double* value);

} // namespace GcodeNumber

inline bool GcodeWord::number(double* value) const
{
    return GcodeNumber::parse(begin, end, value);
}
