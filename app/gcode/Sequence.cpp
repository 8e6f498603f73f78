#include "Sequence.h"

#include "GcodeWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

double dist_to_line(const QPointF& p, const QPointF& a, const QPointF& b)
{
    const QPointF ab = b - a;
    const double length2 = QPointF::dotProduct(ab, ab);
    if (length2 == 0)
        return std::sqrt(QPointF::dotProduct(p - a, p - a));
    const double t = QPointF::dotProduct(p - a, ab) / length2;
    const QPointF d = p - (a + t * ab);
    return std::sqrt(d.x() * d.x() + d.y() * d.y());
}

namespace {

bool sameFeed(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

int signOf(double v)
{
    return (v > 0) - (v < 0);
}

// M commands that neither move the head nor change coordinates or the
// extruder's position: temperatures, fans, acceleration and speed limits,
// progress and messages, steppers, waits, settings storage. Any other M
// command makes the position unknown, which costs at most a merge.
constexpr int harmlessM[] = {
    17,  18,  73,  75,  76,  77,  78,  84,  85,  104, 105, 106, 107, 108, 109, 110, 111, 114, 115,
    117, 118, 119, 140, 141, 150, 155, 190, 191, 201, 202, 203, 204, 205, 207, 208, 209, 220, 221,
    260, 280, 300, 301, 302, 304, 355, 400, 486, 500, 501, 502, 503, 569, 572, 593, 862, 900, 907};

bool isHarmlessM(int code)
{
    return std::binary_search(std::begin(harmlessM), std::end(harmlessM), code);
}

} // namespace

Sequence::Sequence() : feed(std::nan(""))
{
    std::fill(std::begin(pos), std::end(pos), 0.0);
    // X, Y and Z are wherever the previous job left the head. The extruder
    // counts from 0, as the firmware does after a reset; every slicer resets it
    // before it extrudes anyway.
    std::fill(std::begin(known), std::end(known), false);
    known[AxisE] = true;
    points.reserve(MaxRun);
}

Sequence::Move Sequence::describe(const GcodeLine& line) const
{
    Move m;
    m.line = &line;
    static constexpr GcodeLine::Word wordOf[] = {GcodeLine::X, GcodeLine::Y, GcodeLine::Z};
    for (int a = AxisX; a <= AxisZ; ++a) {
        if (!line.has(wordOf[a])) {
            m.end[a] = pos[a];
            m.endKnown[a] = known[a];
        } else if (relativePositioning) {
            m.end[a] = pos[a] + line.value(wordOf[a]);
            m.endKnown[a] = known[a];
        } else {
            m.end[a] = line.value(wordOf[a]);
            m.endKnown[a] = true;
        }
    }
    bool deltaKnown = true;
    if (!line.has(GcodeLine::E)) {
        m.end[AxisE] = pos[AxisE];
        m.endKnown[AxisE] = known[AxisE];
        m.deltaE = 0;
    } else if (extrusion == Relative) {
        m.deltaE = line.value(GcodeLine::E);
        m.end[AxisE] = pos[AxisE] + m.deltaE;
        m.endKnown[AxisE] = known[AxisE];
    } else if (extrusion == Absolute) {
        m.end[AxisE] = line.value(GcodeLine::E);
        m.endKnown[AxisE] = true;
        m.deltaE = m.end[AxisE] - pos[AxisE];
        deltaKnown = known[AxisE];
    } else {
        m.end[AxisE] = pos[AxisE];
        m.endKnown[AxisE] = false;
        m.deltaE = 0;
        deltaKnown = false;
    }
    m.feed = line.has(GcodeLine::F) ? line.value(GcodeLine::F) : feed;
    m.kind = signOf(m.deltaE);

    const bool startKnown = known[AxisX] && known[AxisY] && known[AxisZ];
    const bool heightChanges = m.end[AxisZ] != pos[AxisZ];
    m.mergeable = !relativePositioning && startKnown && m.endKnown[AxisX] && m.endKnown[AxisY] &&
                  deltaKnown && !heightChanges;
    m.stationary = m.end[AxisX] == pos[AxisX] && m.end[AxisY] == pos[AxisY];
    m.null = m.mergeable && m.stationary && m.deltaE == 0;
    return m;
}

bool Sequence::fits(const Move& m) const
{
    if (!sameFeed(m.feed, runFeed) || runMoves >= MaxRun)
        return false;
    // A move that cannot be merged may still take over a run that only set
    // the feed rate: its words are absolute like the run's, and nothing of the
    // toolpath is dropped.
    if (!m.mergeable)
        return onlyNull && !relativePositioning;
    if (onlyNull || m.null)
        return true;
    if (m.kind != kind || m.stationary != stationary)
        return false;
    return stationary || collinear(QPointF(m.end[AxisX], m.end[AxisY]));
}

bool Sequence::collinear(const QPointF& b) const
{
    const QPointF ab = b - anchor;
    const double length2 = QPointF::dotProduct(ab, ab);
    if (length2 == 0)
        return false; // back at the anchor: the run went out and returned
    // dist_to_line(p, anchor, b) <= Tolerance, squared and multiplied out so
    // that the test costs no division per point; a point exactly Tolerance
    // away still passes.
    const double limit = Tolerance * Tolerance * length2;
    double previous = 0;
    for (const QPointF& p : points) {
        const QPointF ap = p - anchor;
        const double t = QPointF::dotProduct(ap, ab);
        if (t < previous || t > length2)
            return false; // the run would go back or overshoot its end
        const double cross = ab.x() * ap.y() - ab.y() * ap.x();
        if (cross * cross > limit)
            return false;
        previous = t;
    }
    return true;
}

void Sequence::start(const Move& m)
{
    started = true;
    anchor = QPointF(pos[AxisX], pos[AxisY]);
    points.clear();
    runMoves = 0;
    onlyNull = true;
    kind = 0;
    stationary = false;
    runFeed = m.feed;
    for (GcodeValue& w : merged.words)
        w.present = false;
    merged.g = 1;
    eSum.clear();
    eWords = 0;
    append(m);
}

void Sequence::append(const Move& m)
{
    const GcodeLine& line = *m.line;
    for (int w : {GcodeLine::X, GcodeLine::Y, GcodeLine::Z, GcodeLine::F})
        if (line.words[w].present)
            merged.words[w] = line.words[w];
    if (line.has(GcodeLine::E)) {
        merged.words[GcodeLine::E] = line.words[GcodeLine::E];
        if (extrusion == Relative)
            eSum.add(line.words[GcodeLine::E]);
        ++eWords;
    }
    if (!m.null) {
        if (onlyNull) {
            onlyNull = false;
            kind = m.kind;
            stationary = m.stationary;
        }
        if (!m.stationary)
            points.append(QPointF(m.end[AxisX], m.end[AxisY]));
    }
    ++runMoves;
}

void Sequence::apply(const Move& m)
{
    for (int a = 0; a < AxisCount; ++a) {
        pos[a] = m.end[a];
        known[a] = m.endKnown[a];
    }
    feed = m.feed;
}

void Sequence::add(const GcodeLine& line, GcodeWriter& out)
{
    if (line.g == 92) {
        write(out);
        writeLine(line, out);
        if (line.has(GcodeLine::X) || line.has(GcodeLine::Y) || line.has(GcodeLine::Z) ||
            line.has(GcodeLine::E))
            setPositions(line);
        else
            forget(true, true); // see observe()
        return;
    }
    ++readMoves;
    const Move m = describe(line);
    if (started && fits(m)) {
        append(m);
        apply(m);
        if (!m.mergeable)
            write(out);
        return;
    }
    write(out);
    if (m.mergeable) {
        start(m);
    } else {
        writeLine(line, out);
        ++writtenMoves;
    }
    apply(m);
}

void Sequence::write(GcodeWriter& out)
{
    if (!started)
        return;
    started = false;
    // In relative extrusion the merged move feeds what the run fed, exactly;
    // with one E word that word says it already, in the file's own spelling.
    if (extrusion == Relative && eWords > 1)
        eSum.store(&merged.words[GcodeLine::E]);
    writeLine(merged, out);
    ++writtenMoves;
}

void Sequence::writeLine(const GcodeLine& line, GcodeWriter& out)
{
    out.commit(line.format(out.reserve(GcodeLine::MaxFormatted)));
}

void Sequence::setPositions(const GcodeLine& line)
{
    static constexpr GcodeLine::Word wordOf[] = {GcodeLine::X, GcodeLine::Y, GcodeLine::Z,
                                                 GcodeLine::E};
    for (int a = 0; a < AxisCount; ++a) {
        if (line.has(wordOf[a])) {
            pos[a] = line.value(wordOf[a]);
            known[a] = true;
        }
    }
}

void Sequence::forget(bool positions, bool extruder)
{
    if (positions)
        known[AxisX] = known[AxisY] = known[AxisZ] = false;
    if (extruder)
        known[AxisE] = false;
}

void Sequence::observe(const char* begin, const char* end)
{
    // First the command (after a line number) and whether the line is one we
    // can read; then, below, its arguments. However many words a line has:
    // a cap on them once left an M83 with many words unread.
    GcodeWordReader reader(begin, end);
    GcodeWord w;
    GcodeWord command;
    int count = 0;
    int first = 0;
    bool exponent = false;
    bool twoCommands = false;
    while (reader.next(&w)) {
        const char l = w.upperLetter();
        if (count == 0 && l == 'N')
            first = 1; // line number
        if (count == first)
            command = w;
        else if (count > first)
            twoCommands |= l == 'G' || l == 'M' || l == 'T' || l == 'N';
        exponent |= std::find(w.begin, w.end, 'e') != w.end;
        ++count;
    }
    if (reader.stop() == GcodeWordReader::Junk) {
        // Not G-code as we know it (host commands, binary junk).
        forget(true, true);
        return;
    }
    if (first == count)
        return; // comment only
    if (exponent) {
        // "X1e1" is X10 to one firmware, X1 to another, X1 and an extruder
        // word e1 to a third.
        forget(true, true);
        feed = std::nan("");
        return;
    }
    if (twoCommands) {
        forget(true, true); // too clever for us
        return;
    }
    // Calls f(letter, word) for each word after the command.
    auto forEachArgument = [&](auto f) {
        GcodeWordReader again(begin, end);
        GcodeWord argument;
        for (int i = 0; again.next(&argument); ++i)
            if (i > first)
                f(argument.upperLetter(), argument);
    };

    int code = 0;
    const char* q = command.begin;
    while (q != command.end && *q >= '0' && *q <= '9')
        code = std::min(code * 10 + (*q++ - '0'), 100000);
    const bool plainCode = q != command.begin && (q == command.end || *q == '.');
    static constexpr char axisLetter[] = {'X', 'Y', 'Z', 'E'};

    if (command.upperLetter() == 'G' && plainCode && q == command.end) {
        switch (code) {
        case 0:
        case 1:
        case 2:
        case 3: // moves and arcs: the end point, by the same rules
            forEachArgument([&](char letter, const GcodeWord& word) {
                double v;
                const bool valid = word.number(&v);
                if (letter == 'F') {
                    feed = valid ? v : std::nan("");
                    return;
                }
                for (int a = 0; a < AxisCount; ++a) {
                    if (letter != axisLetter[a])
                        continue;
                    const bool relative = a == AxisE ? extrusion == Relative : relativePositioning;
                    if (!valid || (a == AxisE && extrusion == Unknown))
                        known[a] = false;
                    else if (relative)
                        pos[a] += v;
                    else {
                        pos[a] = v;
                        known[a] = true;
                    }
                }
            });
            return;
        case 4:  // dwell
        case 17: // plane selection
        case 18:
        case 19:
            return;
        case 10: // firmware retraction: the extruder moves behind our back
        case 11:
            forget(count > first + 1, true); // with words: it may move the head too
            return;
        case 28: // homing and probing leave the head somewhere; not the extruder
        case 29:
        case 30:
            forget(true, false);
            return;
        case 90: // firmwares switch the extruder along with the axes, unless M83
            relativePositioning = false;
            extrusion = m83 ? Unknown : Absolute;
            return;
        case 91:
            relativePositioning = true;
            extrusion = m83 ? Unknown : Relative;
            return;
        case 92: {
            bool axisWord = false;
            forEachArgument([&](char letter, const GcodeWord& word) {
                for (int a = 0; a < AxisCount; ++a) {
                    if (letter != axisLetter[a])
                        continue;
                    double v;
                    known[a] = word.number(&v);
                    if (known[a])
                        pos[a] = v;
                    axisWord = true;
                }
            });
            // Without axis words one firmware sets nothing, another every
            // axis to 0.
            if (!axisWord)
                forget(true, true);
            return;
        }
        default: // homing, probing, units, work offsets, parking...
            forget(true, true);
            return;
        }
    }
    if (command.upperLetter() == 'M' && plainCode) {
        if (code == 82) {
            // In relative positioning one firmware keeps the extruder
            // relative (G91 holds for it too), another makes it absolute.
            m83 = false;
            extrusion = relativePositioning ? Unknown : Absolute;
            return;
        }
        if (code == 83) {
            m83 = true;
            extrusion = Relative;
            return;
        }
        if (isHarmlessM(code))
            return;
    }
    forget(true, true);
}

void Sequence::print() const
{
    std::printf("Sequence %s, %d moves, feed %g, kind %d%s%s, anchor %g %g\n",
                started ? "started" : "idle", runMoves, runFeed, kind,
                stationary ? ", stationary" : "", onlyNull ? ", feed only" : "", anchor.x(),
                anchor.y());
    for (const QPointF& p : points)
        std::printf("  point %g %g\n", p.x(), p.y());
    std::printf("  machine X %g%s Y %g%s Z %g%s E %g%s F %g, %s positioning, %s extrusion\n",
                pos[AxisX], known[AxisX] ? "" : "?", pos[AxisY], known[AxisY] ? "" : "?",
                pos[AxisZ], known[AxisZ] ? "" : "?", pos[AxisE], known[AxisE] ? "" : "?", feed,
                relativePositioning ? "relative" : "absolute",
                extrusion == Relative   ? "relative"
                : extrusion == Absolute ? "absolute"
                                        : "unknown");
    merged.print();
}
