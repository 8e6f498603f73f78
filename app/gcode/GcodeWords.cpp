#include "GcodeWords.h"

#include <charconv>

namespace GcodeNumber {

bool parseGeneral(const char* begin, const char* end, double* out)
{
    // In fixed notation. It takes neither a '+' nor junk, nor an exponent:
    // firmwares read "X1e1" as X10, as X1, or as X1 and an extruder word e1,
    // and an upper-case E after a number is the extruder's word glued on
    // (X20E1 is X20 E1, not X200).
    const bool negative = begin != end && *begin == '-';
    const bool plus = begin != end && *begin == '+';
    double value;
    const auto result =
        std::from_chars(begin + (negative || plus), end, value, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr != end || !(value < 1e12) ||
        (value != 0 && value < 1e-12))
        return false;
    *out = negative ? -value : value;
    return true;
}

} // namespace GcodeNumber
