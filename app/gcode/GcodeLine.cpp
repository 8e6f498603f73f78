#include "GcodeLine.h"

#include <QTextStream>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace GcodeNumber {

bool parse(const char* begin, const char* end, GcodeValue* out)
{
    double value;
    if (!parse(begin, end, &value))
        return false;
    out->set(value);

    // Keep the text when it is what format() would write: no '+', no
    // exponent, no leading zero but the one before the point, no trailing
    // zero after it, at most 7 significant digits.
    const int length = int(end - begin);
    const char* const intBegin = begin + (*begin == '-');
    const char* p = intBegin;
    while (p != end && unsigned(*p - '0') < 10u)
        ++p;
    const int intLength = int(p - intBegin);
    const bool point = p != end && *p == '.';
    const char* const fracBegin = p + point;
    p = fracBegin;
    while (p != end && unsigned(*p - '0') < 10u)
        ++p;
    const int fracLength = int(p - fracBegin);
    if (p != end || *begin == '+' || intLength == 0 || length > GcodeValue::MaxText ||
        (intLength > 1 && *intBegin == '0') || (point && (fracLength == 0 || end[-1] == '0')))
        return true;
    int significant = intLength + fracLength;
    if (*intBegin == '0') { // "0" or "0.000ddd"
        significant = fracLength;
        // The leading zeros of the fraction, after the point if there is one:
        // a bare "0" has none, and starting past the point would read beyond
        // the number (and the buffer, when it ends the text).
        for (const char* d = intBegin + (point ? 2 : 1); d != end && *d == '0'; ++d)
            --significant;
    }
    if (significant > 7)
        return true;
    std::memcpy(out->text, begin, size_t(length));
    out->textLength = quint8(length);
    return true;
}

char* format(char* out, double v)
{
    // printf's "%.7g" in the C locale (the standard defines to_chars so),
    // except that G-code has no exponent notation: "%g" would write 0.00007 as
    // 7e-05, which a firmware that reads plain decimals takes for 7.
    char g[32];
    char* const end = std::to_chars(g, g + sizeof g, v, std::chars_format::general, 7).ptr;
    char* const e = std::find(g, end, 'e');
    if (e == end || std::fabs(v) >= 1e15 || std::fabs(v) < 1e-12) {
        std::memcpy(out, g, size_t(end - g));
        return out + (end - g);
    }
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
    char digits[8];
    int count = 0;
    const char* p = g;
    if (*p == '-')
        *out++ = *p++;
    for (; p != e; ++p)
        if (*p != '.')
            digits[count++] = *p;
    if (exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = -1; i > exponent; --i)
            *out++ = '0';
        std::memcpy(out, digits, size_t(count));
        return out + count;
    }
    std::memcpy(out, digits, size_t(count));
    out += count;
    for (int i = count - 1; i < exponent; ++i)
        *out++ = '0';
    return out;
}

char* write(char* out, const GcodeValue& v)
{
    if (v.textLength) {
        std::memcpy(out, v.text, v.textLength);
        return out + v.textLength;
    }
    return format(out, v.value);
}

} // namespace GcodeNumber

inline bool GcodeLine::setWord(char letter, const char* begin, const char* end)
{
    switch (letter) {
    case 'G': {
        double number;
        // A number beyond int cannot be converted (and is no G code).
        if (!GcodeNumber::parse(begin, end, &number) || !(std::fabs(number) < 2147483648.0))
            return false;
        g = int(number); // truncates towards zero
        return true;
    }
    // A word given twice ("E10 E1") is read one way by one firmware and the
    // other way by another: the line is copied as it stands.
    case 'X':
        return !words[X].present && GcodeNumber::parse(begin, end, &words[X]);
    case 'Y':
        return !words[Y].present && GcodeNumber::parse(begin, end, &words[Y]);
    case 'Z':
        return !words[Z].present && GcodeNumber::parse(begin, end, &words[Z]);
    case 'E':
        return !words[E].present && GcodeNumber::parse(begin, end, &words[E]);
    case 'F':
        return !words[F].present && GcodeNumber::parse(begin, end, &words[F]);
    case 'M':
    case 'T':
    case 'N':
        return false;
    default: {
        // Lower case and anything that is not a letter: the firmware may read
        // it in a way this line would no longer say.
        if (letter < 'A' || letter > 'Z')
            return false;
        // Another letter's word is left out of the rewritten line, which is
        // sound only for a word: the letter alone or with a number. Anything
        // else ("WIDTH:0.36", a note that lost its semicolon) is text we
        // cannot speak for, and the line is copied as it stands.
        double ignored;
        return begin == end || GcodeNumber::parse(begin, end, &ignored);
    }
    }
}

bool GcodeLine::parse(const char* begin, const char* end)
{
    for (GcodeValue& w : words)
        w.present = false;
    GcodeWordReader reader(begin, end);
    GcodeWord w;
    bool first = true;
    while (reader.next(&w)) {
        // Words run together ("X20E1") or a second command: read one way by
        // one firmware and another way by another. Only the first word may
        // be the command.
        if (w.glued || (w.letter == 'G' && !first) || !setWord(w.letter, w.begin, w.end))
            return false;
        first = false;
    }
    // A checksum, a comment in parentheses or junk: text this line would no
    // longer carry once rewritten.
    return (reader.stop() == GcodeWordReader::End || reader.stop() == GcodeWordReader::Comment) &&
           !reader.hasInlineComment();
}

bool GcodeLine::set(const QVector<QStringRef>& list)
{
    for (GcodeValue& w : words)
        w.present = false;
    bool first = true;
    for (const QStringRef& word : list) {
        const QByteArray bytes = word.trimmed().toUtf8();
        if (bytes.isEmpty())
            continue;
        if ((bytes[0] == 'G' && !first) ||
            !setWord(bytes[0], bytes.constData() + 1, bytes.constData() + bytes.size()))
            return false;
        first = false;
    }
    return true;
}

int GcodeLine::format(char* buffer) const
{
    char* p = buffer;
    *p++ = 'G';
    p = std::to_chars(p, p + 11, g == 0 ? 1 : g).ptr;
    static constexpr Word order[] = {F, X, Y, Z, E};
    static constexpr char letters[] = {'F', 'X', 'Y', 'Z', 'E'};
    for (int i = 0; i < WordCount; ++i) {
        const GcodeValue& v = words[order[i]];
        if (!v.present)
            continue;
        *p++ = ' ';
        *p++ = letters[i];
        p = GcodeNumber::write(p, v);
    }
    *p++ = '\n';
    return int(p - buffer);
}

void GcodeLine::write(QTextStream& out) const
{
    char buffer[MaxFormatted];
    out << QLatin1String(buffer, format(buffer));
}

void GcodeLine::print() const
{
    std::printf("GcodeLine G%d", g);
    static constexpr char letters[] = {'X', 'Y', 'Z', 'E', 'F'};
    for (int i = 0; i < WordCount; ++i)
        std::printf(" %c%s%g", letters[i], words[i].present ? "" : "(absent)", words[i].value);
    std::printf("\n");
}
