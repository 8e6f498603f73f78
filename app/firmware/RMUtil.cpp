#include "RMUtil.h"

#include <QRegularExpression>

#include <algorithm>
#include <climits>

namespace {

// Built once, on first use, and shared by both helpers (thread-safe since
// C++11 static initialisation).
const QRegularExpression& versionPattern()
{
    static const QRegularExpression pattern(QStringLiteral("([0-9]+)\\.([0-9]+)\\.([0-9]+)"));
    return pattern;
}

int part(const QRegularExpressionMatch& m, int group)
{
    bool ok = false;
    const int value = m.captured(group).toInt(&ok);
    return ok ? value : 0;
}

} // namespace

bool RMUtil::isProdVersion(const QString& version)
{
    const QRegularExpressionMatch m = versionPattern().match(version);
    return m.capturedLength(0) == version.length();
}

int RMUtil::compareVersion(const QString& a, const QString& b)
{
    const QRegularExpressionMatch ma = versionPattern().match(a);
    const QRegularExpressionMatch mb = versionPattern().match(b);
    for (int group = 1; group <= 3; ++group) {
        // Subtracting as 64-bit and clamping keeps the sign right for parts
        // near the 32-bit limits.
        const long long diff = static_cast<long long>(part(mb, group)) - part(ma, group);
        if (diff != 0)
            return diff > 0 ? static_cast<int>(std::min<long long>(diff, INT_MAX))
                            : static_cast<int>(std::max<long long>(diff, INT_MIN));
    }
    return 0;
}
