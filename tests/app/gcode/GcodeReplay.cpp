#include "GcodeReplay.h"

#include <QList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

namespace gcodereplay {

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const QByteArray Header = "; Optimized with Corvane optimizer (c++)";

struct Word
{
    char letter;
    QString text;
    bool valid;
    double value;
};

struct ParsedLine
{
    QString text; // trimmed
    QVector<Word> words;
    bool junk = false;
};

ParsedLine parse(const QString& trimmed, const Reading& reading)
{
    ParsedLine p;
    p.text = trimmed;
    const int n = trimmed.size();
    int i = 0;
    while (i < n) {
        const QChar c = trimmed.at(i);
        if (c == QLatin1Char(';') || c == QLatin1Char('*'))
            break;
        if (c.isSpace()) {
            ++i;
        } else if (c == QLatin1Char('(')) {
            while (i < n && trimmed.at(i) != QLatin1Char(')'))
                ++i;
            ++i;
        } else if (c.isLetter() && c.unicode() < 128) {
            int j = i + 1;
            while (j < n &&
                   (trimmed.at(j).isDigit() || trimmed.at(j) == QLatin1Char('.') ||
                    trimmed.at(j) == QLatin1Char('-') || trimmed.at(j) == QLatin1Char('+')))
                ++j;
            // strtod's lower-case exponent ("E7e-05")
            if (reading.exponents && j + 1 < n && trimmed.at(j) == QLatin1Char('e') &&
                (trimmed.at(j + 1).isDigit() || (j + 2 < n &&
                                                 (trimmed.at(j + 1) == QLatin1Char('-') ||
                                                  trimmed.at(j + 1) == QLatin1Char('+')) &&
                                                 trimmed.at(j + 2).isDigit()))) {
                j += 2;
                while (j < n && trimmed.at(j).isDigit())
                    ++j;
            }
            Word w;
            w.letter = char(c.toUpper().unicode());
            w.text = trimmed.mid(i + 1, j - i - 1);
            w.value = w.text.toDouble(&w.valid);
            w.valid = w.valid && std::isfinite(w.value);
            p.words.append(w);
            i = j;
        } else {
            p.junk = true;
            break;
        }
    }
    return p;
}

bool close(double a, double b, double tolerance)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::fabs(a - b) <= tolerance;
}

// Size of a number for a tolerance; an unknown one counts as 0.
double magnitude(double v)
{
    return std::isnan(v) ? 0.0 : std::fabs(v);
}

// The floating-point noise of sums and differences of numbers of v's size.
// The optimizer writes every number as its line wrote it and sums decimals
// exactly: nothing larger may differ, so a number rounded to fewer digits
// than its input had shows.
double noise(double v)
{
    return 1e-12 * (1 + magnitude(v));
}

struct Machine
{
    double pos[3] = {NaN, NaN, NaN};
    double e = 0; // the firmware's extruder counts from 0
    double feed = NaN;
    bool relativePositioning = false;
    bool extruderRelative = false; // as G90, G91, M82 and M83 set it
    bool m83 = false;              // the last of M82 and M83 was M83
    const Reading* reading = nullptr;

    bool relativeExtrusion() const
    {
        return reading->g90SetsExtruder ? extruderRelative : relativePositioning || m83;
    }

    void forgetPositions() { pos[0] = pos[1] = pos[2] = NaN; }

    bool feedsNothing = true; // the last move left E where it was

    // Applies the axis words of a move or an arc; returns the filament fed.
    double move(const QVector<Word>& words, int first)
    {
        double fed = 0;
        feedsNothing = true;
        for (int i = first; i < words.size(); ++i) {
            const Word& w = words[i];
            const int axis = w.letter == 'X' ? 0 : w.letter == 'Y' ? 1 : w.letter == 'Z' ? 2 : -1;
            if (axis >= 0) {
                pos[axis] = !w.valid ? NaN : relativePositioning ? pos[axis] + w.value : w.value;
            } else if (w.letter == 'E') {
                if (!w.valid) {
                    fed = NaN;
                    e = NaN;
                    feedsNothing = false;
                } else if (relativeExtrusion()) {
                    fed = w.value;
                    e += w.value;
                    feedsNothing = w.value == 0;
                } else {
                    fed = w.value - e;
                    feedsNothing = w.value == e;
                    e = w.value;
                }
            } else if (w.letter == 'F') {
                feed = w.valid ? w.value : NaN;
            }
        }
        return fed;
    }
};

int kinds(double fed, double tolerance)
{
    // Bits: 1 retract, 2 travel, 4 extrude. A change within floating-point
    // noise may be either.
    if (std::isnan(fed))
        return 7;
    if (std::fabs(fed) <= tolerance)
        return 2 | (fed < 0 ? 1 : fed > 0 ? 4 : 0);
    return fed < 0 ? 1 : 4;
}

double distanceToSegment(const double p[3], const double a[3], const double b[3], double* t)
{
    double ab[3], ap[3];
    double length2 = 0, dot = 0;
    for (int i = 0; i < 3; ++i) {
        ab[i] = b[i] - a[i];
        ap[i] = p[i] - a[i];
        length2 += ab[i] * ab[i];
        dot += ap[i] * ab[i];
    }
    double u = length2 > 0 ? dot / length2 : 0;
    *t = u * std::sqrt(length2);
    u = std::clamp(u, 0.0, 1.0);
    double d2 = 0;
    for (int i = 0; i < 3; ++i) {
        const double d = ap[i] - u * ab[i];
        d2 += d * d;
    }
    return std::sqrt(d2);
}

bool known(const double p[3])
{
    return !std::isnan(p[0]) && !std::isnan(p[1]) && !std::isnan(p[2]);
}

QString point(const double p[3])
{
    return QStringLiteral("(%1, %2, %3)").arg(p[0]).arg(p[1]).arg(p[2]);
}

} // namespace

// A move that changes no coordinate and feeds nothing.
bool Move::isNull() const
{
    for (int a = 0; a < 3; ++a)
        if (!close(from[a], to[a], 0))
            return false;
    return feedsNothing;
}

bool Move::isStationary() const
{
    return close(from[0], to[0], 0) && close(from[1], to[1], 0);
}

const Reading readings[2] = {
    {"G90 ends M83", true, false, true},
    {"M83 outlives G90", false, true, false},
};

Toolpath simulate(const QByteArray& gcode, const Reading& reading)
{
    Toolpath path;
    path.segments.append(QVector<Move>());
    Machine m;
    m.reading = &reading;
    path.segmentFeed.append(m.feed);
    const QList<QByteArray> lines = gcode.split('\n');
    for (int number = 1; number <= lines.size(); ++number) {
        QByteArray bytes = lines[number - 1];
        const int nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        const QString text = QString::fromUtf8(bytes).trimmed();
        if (text.isEmpty())
            continue;
        const ParsedLine p = parse(text, reading);
        int first = !p.words.isEmpty() && p.words[0].letter == 'N' ? 1 : 0;
        const bool hasCommand = first < p.words.size();
        const Word command = hasCommand ? p.words[first] : Word{0, QString(), false, 0};
        bool twoCommands = false;
        for (int i = first + 1; i < p.words.size(); ++i)
            twoCommands |= QByteArray("GMTN").contains(p.words[i].letter);
        // A number beyond int is no command the firmware knows (and could not
        // be converted).
        const bool inRange = command.valid && std::fabs(command.value) < 2147483648.0;
        const bool g = hasCommand && command.letter == 'G' && inRange && !twoCommands;
        const int code = inRange ? int(command.value) : -1;

        bool plainMove = g && (command.value == 0 || command.value == 1) && !p.junk;
        for (int i = first + 1; plainMove && i < p.words.size(); ++i)
            plainMove = p.words[i].valid || !QByteArray("XYZEF").contains(p.words[i].letter);
        if (plainMove) {
            Move move;
            std::copy(m.pos, m.pos + 3, move.from);
            move.fed = m.move(p.words, first + 1);
            std::copy(m.pos, m.pos + 3, move.to);
            move.feedsNothing = m.feedsNothing;
            move.eAbs = m.e;
            move.feed = m.feed;
            move.line = number;
            path.segments.last().append(move);
            ++path.moves;
            continue;
        }

        Barrier b;
        b.text = text;
        b.line = number;
        if (p.junk || !hasCommand) {
            if (p.junk) {
                m.forgetPositions();
                m.e = NaN;
            }
        } else if (g && command.value == 92) {
            bool valid = true;
            for (int i = first + 1; i < p.words.size(); ++i) {
                const Word& w = p.words[i];
                const int axis = QByteArray("XYZE").indexOf(w.letter);
                if (axis < 0)
                    continue;
                valid &= w.valid;
                b.g92.append({w.letter, w.valid ? w.value : NaN});
                if (axis < 3)
                    m.pos[axis] = w.valid ? w.value : NaN;
                else
                    m.e = w.valid ? w.value : NaN;
            }
            b.isG92 = valid;
            if (b.g92.isEmpty() && reading.bareG92Zeroes) {
                std::fill(m.pos, m.pos + 3, 0.0);
                m.e = 0;
            }
        } else if (g && command.value == code &&
                   (code == 0 || code == 1 || code == 2 || code == 3)) {
            m.move(p.words, first + 1); // arcs, and moves with words we cannot read
        } else if (g && (code == 28 || code == 29 || code == 30) && command.value == code) {
            m.forgetPositions();
        } else if (g && code == 90 && command.value == code) {
            m.relativePositioning = m.extruderRelative = false;
        } else if (g && code == 91 && command.value == code) {
            m.relativePositioning = m.extruderRelative = true;
        } else if (g && (code == 4 || code == 17 || code == 18 || code == 19) &&
                   command.value == code) {
            // no motion
        } else if (g && (code == 10 || code == 11) && command.value == code &&
                   p.words.size() == first + 1) {
            m.e = NaN; // firmware retraction
        } else if (hasCommand && command.letter == 'M' && inRange && !twoCommands) {
            const int mcode = int(command.value);
            if (mcode == 82)
                m.extruderRelative = m.m83 = false;
            else if (mcode == 83)
                m.extruderRelative = m.m83 = true;
            else if (mcode == 0 || mcode == 1 || mcode == 48 || mcode == 125 || mcode == 600 ||
                     mcode == 701 || mcode == 702) {
                m.forgetPositions(); // the head may go elsewhere
                m.e = NaN;
            }
        } else {
            m.forgetPositions();
            m.e = NaN;
        }
        path.barriers.append(b);
        path.segments.append(QVector<Move>());
        path.segmentFeed.append(m.feed);
    }
    return path;
}

namespace {

bool sameBarrier(const Barrier& a, const Barrier& b)
{
    if (a.text == b.text) // copied as it stands
        return true;
    if (a.isG92 && b.isG92) {
        if (a.g92.size() != b.g92.size())
            return false;
        // The firmware sets each axis named, in whatever order: the optimizer
        // writes its words in its own.
        auto byLetter = [](auto words) {
            std::stable_sort(words.begin(), words.end(),
                             [](const auto& x, const auto& y) { return x.first < y.first; });
            return words;
        };
        const auto left = byLetter(a.g92);
        const auto right = byLetter(b.g92);
        for (int i = 0; i < left.size(); ++i)
            if (left[i].first != right[i].first || !close(left[i].second, right[i].second, 0))
                return false;
        return true;
    }
    return a.text == b.text;
}

// An input move's feed rate and an output move's: the optimizer writes it as
// its line wrote it.
bool sameFeed(double in, double out)
{
    return close(in, out, 0);
}

// Moves that change nothing, not even the feed rate, are no-ops.
std::vector<bool> noOps(const QVector<Move>& moves, double feed)
{
    std::vector<bool> result;
    result.reserve(size_t(moves.size()));
    for (const Move& m : moves) {
        result.push_back(m.isNull() && close(m.feed, feed, 0));
        feed = m.feed;
    }
    return result;
}

std::vector<Move> without(const QVector<Move>& moves, const std::vector<bool>& drop)
{
    std::vector<Move> kept;
    for (int i = 0; i < moves.size(); ++i)
        if (!drop[size_t(i)])
            kept.push_back(moves[i]);
    return kept;
}

bool endsAt(const Move& m, const Move& o)
{
    for (int a = 0; a < 3; ++a)
        if (!close(m.to[a], o.to[a], 0))
            return false;
    return true;
}

class Comparison
{
public:
    explicit Comparison(double tolerance_) : tolerance(tolerance_) {}

    QStringList segment(const QVector<Move>& allIn, const QVector<Move>& allOut, double startFeed);

private:
    QStringList match(int i, int j, int depth);
    int findEnd(int i, const Move& o) const;
    int findExcursion(int i, const Move& o) const;
    QStringList cover(const Move& o, int first, int end) const;

    const double tolerance;
    std::vector<Move> in;
    std::vector<Move> out;
    std::vector<bool> outNoOp;
};

QStringList Comparison::segment(const QVector<Move>& allIn, const QVector<Move>& allOut,
                                double startFeed)
{
    in = without(allIn, noOps(allIn, startFeed));
    out.assign(allOut.begin(), allOut.end());
    outNoOp = noOps(allOut, startFeed);
    const int outMoves = int(std::count(outNoOp.begin(), outNoOp.end(), false));
    if (outMoves > int(in.size()))
        return {QStringLiteral("input lines %1..: %2 moves became %3")
                    .arg(in.empty() ? 0 : in.front().line)
                    .arg(int(in.size()))
                    .arg(outMoves)};
    return match(0, 0, 0);
}

// The input moves from i that one output move replaces: a run that ends where
// it ends, with the same filament fed (or both unknown, where the extruder's
// position was lost) and feed rate. Of consecutive candidates, which noise
// cannot tell apart, the one closest in filament. Returns its end, or -1.
int Comparison::findEnd(int i, const Move& o) const
{
    double fedIn = 0, sumAbs = 0;
    int best = -1;
    double bestError = 0;
    while (i < int(in.size())) {
        const Move& m = in[i++];
        fedIn = std::isnan(m.fed) || std::isnan(fedIn) ? NaN : fedIn + m.fed;
        sumAbs += magnitude(m.fed);
        const double fedTolerance =
            noise(sumAbs + 2 * std::max(magnitude(m.eAbs), magnitude(o.eAbs)));
        if (close(fedIn, o.fed, fedTolerance) && sameFeed(m.feed, o.feed) && endsAt(m, o)) {
            const double error = std::isnan(fedIn) ? 0 : std::fabs(fedIn - o.fed);
            if (best < 0 || error < bestError) {
                best = i;
                bestError = error;
            }
        } else if (best >= 0) {
            break;
        }
    }
    return best;
}

// An output move that changes nothing may stand for travel that went out and
// came back within the tolerance. Returns the end of such input moves, or -1.
int Comparison::findExcursion(int i, const Move& o) const
{
    while (i < int(in.size()) && in[i].feedsNothing && sameFeed(in[i].feed, o.feed)) {
        if (endsAt(in[i++], o))
            return i;
    }
    return -1;
}

// Matches out[j..] against in[i..]; returns the failures of the best attempt.
QStringList Comparison::match(int i, int j, int depth)
{
    for (; j < int(out.size()); ++j) {
        const Move& o = out[j];
        if (outNoOp[j]) {
            const int end = findExcursion(i, o);
            if (end < 0 || depth >= 8)
                continue;
            // Either it replaces nothing, or the excursion: try both.
            const QStringList skipped = match(i, j + 1, depth + 1);
            if (skipped.isEmpty())
                return skipped;
            QStringList taken = cover(o, i, end);
            if (taken.isEmpty())
                taken = match(end, j + 1, depth + 1);
            return taken.isEmpty() ? taken : skipped;
        }
        const int end = findEnd(i, o);
        if (end < 0)
            return {QStringLiteral("output line %1: no run of input moves from line %2 ends at "
                                   "%3 with the same filament fed and feed rate")
                        .arg(o.line)
                        .arg(i < int(in.size()) ? in[i].line : -1)
                        .arg(point(o.to))};
        const QStringList failures = cover(o, i, end);
        if (!failures.isEmpty())
            return failures;
        i = end;
    }
    if (i < int(in.size()))
        return {QStringLiteral("input line %1: move missing from the output").arg(in[i].line)};
    return {};
}

QStringList Comparison::cover(const Move& o, int first, int end) const
{
    QStringList failures;
    const QString range = QStringLiteral("output line %1 (input lines %2-%3)")
                              .arg(o.line)
                              .arg(in[first].line)
                              .arg(in[end - 1].line);
    int kindSet = kinds(o.fed, noise(2 * magnitude(o.eAbs)));
    int moving = 0, stationary = 0, real = 0;
    for (int i = first; i < end; ++i) {
        const Move& m = in[i];
        if (!sameFeed(m.feed, o.feed))
            failures << QStringLiteral("input line %1: feed rate %2 merged into output line %3 "
                                       "at %4")
                            .arg(m.line)
                            .arg(m.feed)
                            .arg(o.line)
                            .arg(o.feed);
        if (m.isNull())
            continue;
        ++real;
        kindSet &= kinds(m.fed, noise(2 * magnitude(m.eAbs)));
        (m.isStationary() ? stationary : moving)++;
    }
    if (!kindSet)
        failures << range + QStringLiteral(": extrusion, retraction and travel mixed in one move");
    if (moving && stationary)
        failures << range + QStringLiteral(": a stationary extruder move spread over a moving one");
    if (real <= 1)
        return failures;
    if (!known(o.from) || !known(o.to))
        return failures << range + QStringLiteral(": moves merged from an unknown position");
    double previous = -std::numeric_limits<double>::infinity();
    for (int i = first; i < end; ++i) {
        const Move& m = in[i];
        double t;
        const double d = distanceToSegment(m.to, o.from, o.to, &t);
        // The noise of the distance grows with the largest coordinate, the
        // height included.
        const double largest =
            std::max({std::fabs(m.to[0]), std::fabs(m.to[1]), std::fabs(m.to[2])});
        if (d > tolerance + noise(largest))
            return failures << QStringLiteral("input line %1: point %2 lies %3 from output line "
                                              "%4's segment %5-%6")
                                   .arg(m.line)
                                   .arg(point(m.to))
                                   .arg(d)
                                   .arg(o.line)
                                   .arg(point(o.from), point(o.to));
        if (t < previous - 1e-4)
            return failures << QStringLiteral("input line %1: goes back along output line %2's "
                                              "segment")
                                   .arg(m.line)
                                   .arg(o.line);
        previous = t;
    }
    return failures;
}

} // namespace

namespace {

QStringList compare(const Toolpath& in, const Toolpath& out, double tolerance, int maxFailures)
{
    QStringList failures;
    if (out.moves > in.moves)
        failures << QStringLiteral("%1 moves became %2").arg(in.moves).arg(out.moves);
    Comparison c(tolerance);
    const int barriers = std::min(in.barriers.size(), out.barriers.size());
    for (int b = 0; b <= barriers && failures.size() < maxFailures; ++b) {
        failures += c.segment(in.segments[b], out.segments[b], in.segmentFeed[b]);
        if (b == barriers)
            break;
        if (!sameBarrier(in.barriers[b], out.barriers[b])) {
            failures << QStringLiteral("input line %1 \"%2\" became output line %3 \"%4\"")
                            .arg(in.barriers[b].line)
                            .arg(in.barriers[b].text)
                            .arg(out.barriers[b].line)
                            .arg(out.barriers[b].text);
            break;
        }
    }
    if (in.barriers.size() != out.barriers.size())
        failures << QStringLiteral("%1 lines other than moves became %2")
                        .arg(in.barriers.size())
                        .arg(out.barriers.size());
    return failures;
}

} // namespace

Report check(const QByteArray& input, const QByteArray& output, double tolerance, int maxFailures)
{
    Report report;
    QStringList failures;
    const int headerEnd = output.indexOf('\n');
    const QByteArray header = output.left(headerEnd < 0 ? output.size() : headerEnd);
    if (header != Header)
        failures << QStringLiteral("the output does not start with the header line");
    // Blank the header rather than cut it so that line numbers stay true.
    QByteArray body = output;
    body.replace(0, header.size(), QByteArray());

    for (const Reading& reading : readings) {
        const Toolpath in = simulate(input, reading);
        const Toolpath out = simulate(body, reading);
        if (&reading == readings) {
            report.inputMoves = in.moves;
            report.outputMoves = out.moves;
        }
        const QString prefix = QStringLiteral("(%1) ").arg(QLatin1String(reading.name));
        for (const QString& failure : compare(in, out, tolerance, maxFailures))
            failures << prefix + failure;
        if (failures.size() >= maxFailures)
            break;
    }
    report.failures = failures.mid(0, maxFailures);
    return report;
}

} // namespace gcodereplay
