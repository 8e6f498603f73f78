#pragma once

#include "GcodeLine.h"

#include <QPointF>
#include <QVector>

class GcodeWriter;

// Distance from p to the infinite line through a and b; the distance to a when
// a and b coincide.
double dist_to_line(const QPointF& p, const QPointF& a, const QPointF& b);

// The run of moves being merged, and what the optimizer knows of the machine.
//
// A run is a straight stretch of the toolpath: it starts at an anchor, the
// point where the head already stands in the output, and holds moves that are
// all of one kind (extruding, retracting or travel), at one feed rate and one
// height. When the run ends, one move to its end point replaces it. A move may
// join only when every point of the run stays within Tolerance of the segment
// from the anchor to the new end and the points progress along it, so a
// back-and-forth is never folded into one stroke.
//
// Merging is only sound from a position that is known. The machine's position
// is followed through every line, not only the moves that can merge: arcs,
// homing, G92, moves in relative positioning, and anything unknown make the
// position unknown until moves name it again; a move that starts from an
// unknown position, changes height or moves in relative positioning is written
// as it stands. Where firmwares read a line differently (G90 or G91 after
// M83, a G92 without axis words, a number with an exponent) what it leaves
// is unknown.
class Sequence
{
public:
    static constexpr double Tolerance = 0.1;
    // Bounds the memory and the per-move work of one run (the collinearity
    // test visits every point of the run), and the terms of its extrusion sum.
    static constexpr int MaxRun = GcodeSum::MaxTerms;

    Sequence();

    // A G0, G1 or G92 line that parsed cleanly.
    void add(const GcodeLine& line, GcodeWriter& out);
    // Writes the pending run, if any.
    void write(GcodeWriter& out);
    // A line that is copied as it stands (trimmed, without line feed): learns
    // what it does to positions and modes. Call after write().
    void observe(const char* begin, const char* end);

    qint64 movesRead() const { return readMoves; }
    qint64 movesWritten() const { return writtenMoves; }

    // Dumps the run and the machine state to standard output, for debugging.
    void print() const;

private:
    enum Axis { AxisX, AxisY, AxisZ, AxisE, AxisCount };

    struct Move
    {
        const GcodeLine* line;
        double end[AxisCount];
        bool endKnown[AxisCount];
        double deltaE;
        double feed;
        int kind; // sign of the extruder's change: -1 retract, 0 travel, +1 extrude
        bool mergeable;
        bool stationary; // X and Y do not change
        bool null;       // nothing changes but perhaps the feed rate
    };

    Move describe(const GcodeLine& line) const;
    bool fits(const Move& m) const;
    bool collinear(const QPointF& b) const;
    void start(const Move& m);
    void append(const Move& m);
    void apply(const Move& m);
    void writeLine(const GcodeLine& line, GcodeWriter& out);
    void setPositions(const GcodeLine& line);
    void forget(bool positions, bool extruder);

    // Machine state, in the file's own coordinates.
    double pos[AxisCount];
    bool known[AxisCount];
    double feed; // NaN until a feed rate is seen
    bool relativePositioning = false;
    // Firmwares differ on G90 and G91 after M83: one sets the extruder's mode
    // with the axes', another keeps M83's until M82. Where they differ the
    // mode is Unknown and an E word moves the extruder by an unknown amount.
    enum Extrusion { Absolute, Relative, Unknown };
    Extrusion extrusion = Absolute;
    bool m83 = false; // the last of M82 and M83 was M83

    // The run.
    bool started = false;
    QPointF anchor;
    QVector<QPointF> points; // ends of the run's moves that moved the head
    int runMoves = 0;
    bool onlyNull = true; // the run only sets the feed rate so far
    int kind = 0;
    bool stationary = false;
    double runFeed = 0;
    GcodeLine merged; // the words of the run with their latest values
    GcodeSum eSum;    // relative extrusion: what the run feeds
    int eWords = 0;

    qint64 readMoves = 0;
    qint64 writtenMoves = 0;
};
