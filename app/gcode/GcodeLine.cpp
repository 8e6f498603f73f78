#include "GcodeLine.h"

#include <QTextStream>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

bool GcodeValue::read(const char* begin, const char* end)
{
    const int length = int(end - begin);
    if (length > MaxInput || !GcodeNumber::parse(begin, end, &value))
        return false;
    std::memcpy(text, begin, size_t(length));
    textLength = quint8(length);
    present = true;
    return true;
}

void GcodeSum::add(const GcodeValue& v)
{
    Q_ASSERT(terms < MaxTerms);
    ++terms;
    // The text is a plain decimal (GcodeNumber::parse took it): a sign,
    // digits and at most one point.
    const char* p = v.text;
    const char* const end = v.text + v.textLength;
    const bool negative = *p == '-';
    p += negative || *p == '+';
    Int m = 0;
    int d = 0;
    bool fraction = false;
    for (; p != end; ++p) {
        if (*p == '.') {
            fraction = true;
            continue;
        }
        m = m * 10 + (*p - '0');
        d += fraction;
    }
    for (; decimals < d; ++decimals)
        mantissa *= 10;
    for (; d < decimals; ++d)
        m *= 10;
    mantissa += negative ? -m : m;
}

void GcodeSum::store(GcodeValue* v) const
{
    // The digits, last first, with at least one before the point.
    char digits[GcodeValue::MaxText];
    int count = 0;
    Int m = mantissa < 0 ? -mantissa : mantissa;
    int fraction = decimals;
    // Trailing zeros of the fraction are dropped, and with them the point.
    while (fraction > 0 && m % 10 == 0) {
        m /= 10;
        --fraction;
    }
    do {
        digits[count++] = char('0' + int(m % 10));
        m /= 10;
    } while (m != 0 || count <= fraction);

    char* out = v->text;
    if (mantissa < 0)
        *out++ = '-';
    while (count > 0) {
        if (count == fraction)
            *out++ = '.';
        *out++ = digits[--count];
    }
    v->textLength = quint8(out - v->text);
    v->present = true;
    std::from_chars(v->text, out, v->value);
}

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
        return !words[X].present && words[X].read(begin, end);
    case 'Y':
        return !words[Y].present && words[Y].read(begin, end);
    case 'Z':
        return !words[Z].present && words[Z].read(begin, end);
    case 'E':
        return !words[E].present && words[E].read(begin, end);
    case 'F':
        return !words[F].present && words[F].read(begin, end);
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
    for (int i = 0; i < WordCount; ++i) {
        if (words[i].present)
            std::printf(" %c%.*s", letters[i], int(words[i].textLength), words[i].text);
        else
            std::printf(" %c(absent)%g", letters[i], words[i].value);
    }
    std::printf("\n");
}
