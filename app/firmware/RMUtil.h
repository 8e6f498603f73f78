#pragma once

#include <QString>

// Helpers on dotted version strings such as the printer's firmware version.
// Pure functions; safe from any thread.
class RMUtil
{
public:
    // True when the string is exactly three dot-separated decimal numbers
    // (1.2.3; not 1.2.3-beta). The empty string counts as one.
    static bool isProdVersion(const QString& version);
    // Compares the first dotted triple of each string: positive when b is
    // newer than a, negative when older, 0 when equal. A missing triple, or a
    // part that does not fit 32 bits, counts as 0.
    static int compareVersion(const QString& a, const QString& b);
};
