#pragma once

#include <QByteArray>

#include <cstdint>

// The words of one line of G-code, read the way a printer's firmware reads
// them. The one tokenizer of the program: the optimizer's move lines
// (GcodeLine::parse), the lines it copies (Sequence::observe) and the
// analysis's commands (GcodeCommand::read) are read with it, and so should
// any other reader of G-code, so that they never disagree on what a line
// says.
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
//   firmwares differ on such lines: treat the whole line as unknown. A reader
//   that estimates rather than rewrites (the analysis) may step over such
//   bytes instead (SkipJunk).
// - A command line's first word, after an optional line number (N), is its
//   command: command() reads it, GcodeWord::code() tells its number.
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
    // The number of a command word ("G1" 1, "M104" 104, "G29.1" 29 with
    // subcode 1; -1 without one): up to 9 digits, then optionally a point
    // and up to 9 digits. False for any other text, which is no command a
    // firmware runs: none ("G"), a sign, an exponent, a second point.
    bool code(int* number, int* subcode) const;
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
    enum JunkRule {
        StopAtJunk, // stop() says Junk: the line is no G-code as we know it
        SkipJunk,   // step over the byte as over a blank, and read on
    };

    GcodeWordReader(const char* begin, const char* end, JunkRule junk = StopAtJunk)
        : p(begin), e(end), skipJunk(junk == SkipJunk)
    {}
    // Reads `line` in place: it must outlive the reader and its words.
    explicit GcodeWordReader(const QByteArray& line, JunkRule junk = StopAtJunk)
        : GcodeWordReader(line.constData(), line.constData() + line.size(), junk)
    {}

    // The next word; false once reading has stopped (see stop()).
    bool next(GcodeWord* word);
    // The same, and what word->number() says of it, reading the number's
    // text once: for a reader that wants every word's number.
    bool next(GcodeWord* word, bool* isNumber, double* value);
    // The first word, or the second after a line number (N): the line's
    // command when it has one (GcodeWord::code()). Read it first; next() then
    // reads the arguments. False for a line without such a word.
    bool command(GcodeWord* word)
    {
        return next(word) && (word->upperLetter() != 'N' || next(word));
    }

    Stop stop() const { return state; }
    // Where reading is: after the last word, or at the byte that stopped it.
    const char* position() const { return p; }
    bool hasInlineComment() const { return inlineComment; }

private:
    static bool isLetter(char c) { return unsigned((c | 0x20) - 'a') < 26u; }
    // Up to a word's letter, which it reads; false where reading stops.
    bool letter(GcodeWord* word);

    const char* p;
    const char* const e;
    const bool skipJunk;
    Stop state = Reading;
    bool afterWord = false; // the last thing read was a word or comment, not a separator
    bool inlineComment = false;
};

namespace GcodeNumber {

// Parses the whole of [begin, end) as a plain decimal number in the C locale,
// whatever the process's locale: an optional sign, digits with an optional
// point. Returns false for anything else, including an empty text, an
// exponent (firmwares differ on "1e1"), infinities, NaN and magnitudes from
// 1e12 up or below 1e-12 (other than 0).
inline bool parse(const char* begin, const char* end, double* value);

// Where the number text that starts at `p` ends, as the reader cuts a word's
// text: digits, '.', '+' and '-', then a lower-case exponent. With parse(),
// it reads a number that other text follows, as in a slicer's comment
// ("4913.4mm").
inline const char* textEnd(const char* p, const char* end)
{
    while (p != end && (unsigned(*p - '0') < 10u || *p == '.' || *p == '-' || *p == '+'))
        ++p;
    // A lower-case exponent, as strtod reads it ("E7e-05").
    if (end - p >= 2 && *p == 'e' &&
        (unsigned(p[1] - '0') < 10u ||
         ((p[1] == '-' || p[1] == '+') && end - p >= 3 && unsigned(p[2] - '0') < 10u))) {
        p += 2;
        while (p != end && unsigned(*p - '0') < 10u)
            ++p;
    }
    return p;
}

// What parse() is made of, in the open so that the reader can read a word's
// text and its number in one pass.

// A sign, digits, a point and digits, from `p`: where they stop.
struct Decimal
{
    const char* end = nullptr;
    std::uint64_t mantissa = 0; // the digits as one integer; exact up to 19 of them
    int digits = 0;             // before and after the point
    int decimals = 0;           // after the point
    bool negative = false;
};

inline Decimal scanDecimal(const char* p, const char* end)
{
    Decimal d;
    if (p != end && (*p == '-' || *p == '+'))
        d.negative = *p++ == '-';
    // In locals: the compiler keeps them in registers through the loops.
    std::uint64_t mantissa = 0;
    const char* const first = p;
    for (; p != end && unsigned(*p - '0') < 10u; ++p)
        mantissa = mantissa * 10 + unsigned(*p - '0');
    int decimals = 0;
    if (p != end && *p == '.') {
        const char* const fraction = ++p;
        for (; p != end && unsigned(*p - '0') < 10u; ++p)
            mantissa = mantissa * 10 + unsigned(*p - '0');
        decimals = int(p - fraction);
        d.digits = int(p - first) - 1;
    } else {
        d.digits = int(p - first);
    }
    d.mantissa = mantissa;
    d.decimals = decimals;
    d.end = p;
    return d;
}

// The library's correctly rounded conversion: long numbers, and texts that
// are no plain decimal (which it refuses).
bool parseGeneral(const char* begin, const char* end, double* value);

// parse() of [begin, end), of which scanDecimal(begin, end) gave `d`.
inline bool parse(const char* begin, const char* end, const Decimal& d, double* value)
{
    // Powers of ten that a double holds exactly: dividing an integer below
    // 2^53 by one of them is correctly rounded, which makes the common short
    // decimal a single division instead of a general conversion.
    static constexpr double exactPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                  1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    // No digits, more than 15 (beyond what a double holds exactly), or text
    // after the decimal: the rare cases, in one test.
    if (unsigned(d.digits - 1) >= 15u || d.end != end)
        return d.digits != 0 && parseGeneral(begin, end, value);
    // Below 10^15, exact as a double; the signed conversion is the short one.
    const double mantissa = double(std::int64_t(d.mantissa));
    // Beyond 1e12 and below 1e-12 no printer has coordinates: a line with
    // such a number is copied as it stands. The range test on the digits
    // spares waiting for the division; only more than 12 digits before or
    // after the point can fail it.
    if (((d.digits - d.decimals > 12) | (d.decimals > 12)) &&
        ((d.decimals < 4 && mantissa >= exactPowersOfTen[12 + d.decimals]) ||
         (d.decimals > 12 && mantissa != 0 && mantissa < exactPowersOfTen[d.decimals - 12])))
        return false;
    const double v = mantissa / exactPowersOfTen[d.decimals];
    *value = d.negative ? -v : v;
    return true;
}

inline bool parse(const char* begin, const char* end, double* value)
{
    return parse(begin, end, scanDecimal(begin, end), value);
}

} // namespace GcodeNumber

inline bool GcodeWordReader::letter(GcodeWord* word)
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
        } else if (skipJunk && c != ';' && c != '*') {
            afterWord = false;
            ++p;
        } else {
            state = c == ';' ? Comment : c == '*' ? Checksum : Junk;
            return false;
        }
    }
    word->letter = *p;
    word->glued = afterWord;
    word->begin = ++p;
    afterWord = true;
    return true;
}

inline bool GcodeWordReader::next(GcodeWord* word)
{
    if (!letter(word))
        return false;
    p = GcodeNumber::textEnd(p, e);
    word->end = p;
    return true;
}

inline bool GcodeWordReader::next(GcodeWord* word, bool* isNumber, double* value)
{
    if (!letter(word))
        return false;
    const GcodeNumber::Decimal d = GcodeNumber::scanDecimal(p, e);
    // The decimal starts the word's text, which most often ends with it: a
    // blank, a letter but 'e' or the line's end follows.
    p = d.end;
    if (p != e && (unsigned(*p - '+') < 15u || *p == 'e'))
        p = GcodeNumber::textEnd(p, e);
    word->end = p;
    *isNumber = GcodeNumber::parse(word->begin, p, d, value);
    return true;
}

inline bool GcodeWord::number(double* value) const
{
    return GcodeNumber::parse(begin, end, value);
}

inline bool GcodeWord::code(int* number, int* subcode) const
{
    const char* p = begin;
    int n = 0;
    for (; p != end && unsigned(*p - '0') < 10u && p - begin < 9; ++p)
        n = n * 10 + (*p - '0');
    if (p == begin)
        return false;
    int sub = -1;
    if (p != end && *p == '.') {
        const char* const first = ++p;
        for (; p != end && unsigned(*p - '0') < 10u && p - first < 9; ++p)
            sub = (p == first ? 0 : sub * 10) + (*p - '0');
    }
    if (p != end)
        return false;
    *number = n;
    *subcode = sub;
    return true;
}
