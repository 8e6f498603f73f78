// The G-code optimizer pass (RMOptimizeTask) over a user's file. Whatever the
// file holds, the pass must end, and its output must print the same object:
// checked by replaying both texts the way a printer reads them
// (tests/app/gcode/GcodeReplay.h, which shares no code with the optimizer).
//
// Input: the G-code text.
#include "FuzzSupport.h"

#include <GcodeReplay.h>
#include <Optimize.h>

#include <QLoggingCategory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    static const bool filtered = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("RMOptimizeTask.debug=false"));
        return true;
    }();
    (void)filtered;

    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    const QByteArray output = optimizeText(input);
    const gcodereplay::Report report = gcodereplay::check(input, output);
    if (!report.failures.isEmpty())
        zelkfuzz::fail("the optimized file prints another object:\n" +
                       report.failures.join(QLatin1Char('\n')).toStdString());
    zelkfuzz::check(report.outputMoves <= report.inputMoves,
                    "the optimized file has no more moves than the input");
    return 0;
}
