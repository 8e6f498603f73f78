// The G-code analysis (RMGcodeAnalysis) over a user's file, then every layer
// read back alone and every thumbnail decoded. Whatever the file holds, the
// pass must end with figures that are numbers (no infinity, no NaN), layers
// that begin in order inside the file, and layers that, read back from their
// own offsets and states, lay filament exactly where the pass found it: the
// preview draws what the read-back gives.
//
// Input: the G-code text.
#include "FuzzSupport.h"

#include <RMGcodeAnalysis.h>

#include <QBuffer>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace {

using zelkfuzz::check;

// Layers read back per input at most: each costs a pass over its bytes.
constexpr int MaxLayersRead = 200;

bool isNumber(double v)
{
    return std::isfinite(v);
}

bool near(double a, double b)
{
    return std::fabs(a - b) <= 1e-3 + 1e-5 * std::max(std::fabs(a), std::fabs(b));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zelkfuzz::quiet();
    QByteArray text(reinterpret_cast<const char*>(data), int(size));
    QBuffer file(&text);
    file.open(QIODevice::ReadOnly);
    const RMGcodeAnalysisResult r = RMGcodeAnalysis().analyze(&file);

    check(r.isValid(), "a file in memory is read to its end");
    check(r.bytes == qint64(size), "every byte is counted");
    check(isNumber(r.printTime) && r.printTime >= 0 && isNumber(r.dwellTime) && r.dwellTime >= 0 &&
              r.dwellTime <= r.printTime + 1e-6,
          "the print time is a number, the dwell part of it");
    check(isNumber(r.filamentLength) && isNumber(r.filamentVolume) && isNumber(r.filamentWeight),
          "the filament figures are numbers");
    for (const RMGcodeBox* b : {&r.printingArea, &r.travelArea})
        for (int a = 0; a < 3; ++a)
            check(isNumber(b->min[a]) && isNumber(b->max[a]) && b->min[a] <= b->max[a],
                  "a box is made of numbers, its minimum below its maximum");
    check(r.layers.isEmpty() == (r.moves == 0), "layers exactly when there are moves");
    check((r.firstExtrudingLayer < 0) == (r.lastExtrudingLayer < 0) &&
              r.firstExtrudingLayer <= r.lastExtrudingLayer &&
              r.lastExtrudingLayer < r.layers.size(),
          "the extruding layers are layers");
    check(r.printingArea.empty == (r.firstExtrudingLayer < 0),
          "a printing area exactly when a layer extrudes");
    for (int i = 0; i < r.layers.size(); ++i) {
        check(r.layers.at(i).offset >= 0 && r.layers.at(i).offset <= r.bytes,
              "a layer begins inside the file");
        check(i == 0 || r.layers.at(i).offset > r.layers.at(i - 1).offset,
              "layers begin in the file's order");
        check(isNumber(r.layers.at(i).z), "a layer's height is a number");
    }

    // Read back, the layers lay filament where the pass saw it laid.
    if (r.layers.size() <= MaxLayersRead) {
        RMGcodeBox box;
        bool all = true;
        for (int i = 0; i < r.layers.size(); ++i) {
            bool complete = false;
            const QVector<RMGcodeSegment> segments =
                RMGcodeAnalysis::readLayer(&file, r, i, 200000, &complete);
            all = all && complete;
            for (const RMGcodeSegment& s : segments) {
                if (!s.extruding)
                    continue;
                const double from[3] = {s.from[0], s.from[1], s.from[2]};
                const double to[3] = {s.to[0], s.to[1], s.to[2]};
                box.add(from);
                box.add(to);
            }
        }
        if (all) {
            check(box.empty == r.printingArea.empty, "the read-back extrudes where the pass did");
            for (int a = 0; a < 3 && !box.empty; ++a)
                check(near(box.min[a], r.printingArea.min[a]) &&
                          near(box.max[a], r.printingArea.max[a]),
                      "the read-back's extrusion spans the pass's printing area");
        }
    }

    for (const RMGcodeThumbnail& t : r.thumbnails) {
        check(t.offset <= t.end && t.end <= r.bytes, "a thumbnail lies inside the file");
        RMGcodeAnalysis::readThumbnail(&file, t);
    }
    const QByteArray json = QJsonDocument(RMGcodeAnalysis::toJson(r)).toJson();
    check(!QJsonDocument::fromJson(json).isNull(), "the JSON reads back");
    QJsonDocument(RMGcodeAnalysis::octoPrintAnalysis(r)).toJson();
    return 0;
}
