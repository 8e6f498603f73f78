#include "GcodeWords.h"

#include <charconv>
#include <cstdint>

namespace {

// Powers of ten that a double holds exactly: dividing an integer below 2^53 by
// one of them is correctly rounded, which makes the common short decimal a
// single division instead of a general conversion.
constexpr double exactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

} // namespace

namespace GcodeNumber {

bool parse(const char* begin, const char* end, double* out)
{
    // One scan: the common number is a short plain decimal, whose digits make
    // an exact integer that one division by an exact power of ten turns into
    // the correctly rounded double.
    const char* p = begin;
    const bool negative = p != end && *p == '-';
    const bool plus = p != end && *p == '+';
    p += negative || plus;
    std::uint64_t mantissa = 0;
    const char* const intBegin = p;
    while (p != end && unsigned(*p - '0') < 10u)
        mantissa = mantissa * 10 + unsigned(*p++ - '0');
    const int intLength = int(p - intBegin);
    int fracLength = 0;
    if (p != end && *p == '.') {
        const char* const fracBegin = ++p;
        while (p != end && unsigned(*p - '0') < 10u)
            mantissa = mantissa * 10 + unsigned(*p++ - '0');
        fracLength = int(p - fracBegin);
    }
    if (intLength + fracLength == 0)
        return false;

    // Beyond 1e12 and below 1e-12 no printer has coordinates: a line with
    // such a number is copied as it stands.
    double value;
    if (p == end && intLength + fracLength <= 15) {
        // The range test on the integers spares waiting for the division.
        if ((fracLength < 4 && mantissa >= exactPowersOfTen[12 + fracLength]) ||
            (fracLength > 12 && mantissa != 0 && mantissa < exactPowersOfTen[fracLength - 12]))
            return false;
        value = double(mantissa) / exactPowersOfTen[fracLength];
    } else {
        // A long number, an exponent or junk: the library's correctly rounded
        // conversion, in fixed notation. It takes neither a '+' nor junk, nor
        // an exponent: firmwares read "X1e1" as X10, as X1, or as X1 and an
        // extruder word e1, and an upper-case E after a number is the
        // extruder's word glued on (X20E1 is X20 E1, not X200).
        const auto result =
            std::from_chars(begin + (negative || plus), end, value, std::chars_format::fixed);
        if (result.ec != std::errc() || result.ptr != end || !(value < 1e12) ||
            (value != 0 && value < 1e-12))
            return false;
    }
    *out = negative ? -value : value;
    return true;
}

} // namespace GcodeNumber
