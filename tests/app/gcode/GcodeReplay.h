#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Replays two G-code texts the way a printer's firmware reads them and says
// whether the second prints the same object as the first. It shares no code
// with the optimizer on purpose: it reads every line with the firmware's
// leniency (any case, words without spaces, line numbers), follows positions
// through arcs, homing, G92 and relative modes, and compares:
//  - every line that is not a G0/G1 move is in both, in the same order (G92 by
//    value, the rest by text);
//  - between two such lines, each output move replaces consecutive input moves
//    of one kind only (extruding, retracting, travel; a move that only sets the
//    feed rate goes with anything), at one feed rate, from a known start unless
//    it replaces a single move; every replaced vertex lies within the tolerance
//    of the output segment (the segment, not its line) and the vertices
//    progress along it;
//  - the filament fed up to the end of every output move, and so between any
//    two other lines, is the same;
//  - the output holds no more moves than the input.
// Positions, feed rates and G92's values compare exactly and filament up to
// floating-point noise: the optimizer writes numbers as their lines wrote
// them and sums them exactly, so any rounding shows.
// Where firmwares read a line differently, both texts are replayed both ways
// (Reading) and must agree each time.
namespace gcodereplay {

// What firmwares read differently.
struct Reading
{
    const char* name;
    // G90 and G91 set the extruder's mode with the axes' (M82 and M83 set it
    // alone); otherwise the extruder is relative under G91 or M83, and M83
    // outlives G90.
    bool g90SetsExtruder;
    // G92 without axis words sets every axis and the extruder to 0; otherwise
    // it does nothing.
    bool bareG92Zeroes;
    // A lower-case exponent is part of the number ("X1e1" is X10); otherwise
    // the number ends before it and "e1" is an extruder word.
    bool exponents;
};

extern const Reading readings[2];

struct Move
{
    double from[3];
    double to[3]; // NaN where unknown
    double fed;   // filament fed by this move; NaN when unknown
    double eAbs;  // extruder position after it, for the noise tolerance
    double feed;  // effective feed rate; NaN when none was set
    int line;
    bool feedsNothing; // E stays where it was
    bool isNull() const;
    bool isStationary() const;
};

struct Barrier
{
    QString text;
    bool isG92 = false;
    QVector<QPair<char, double>> g92; // G92's words by value
    int line = 0;
};

struct Toolpath
{
    QVector<Barrier> barriers;
    QVector<QVector<Move>> segments; // segments[i] precedes barriers[i]
    QVector<double> segmentFeed;     // feed rate at the start of each segment
    int moves = 0;
};

Toolpath simulate(const QByteArray& gcode, const Reading& reading = readings[0]);

struct Report
{
    QStringList failures; // empty: the output prints the same object
    int inputMoves = 0;
    int outputMoves = 0;
};

// `output` must start with the optimizer's header line.
Report check(const QByteArray& input, const QByteArray& output, double tolerance = 0.1,
             int maxFailures = 8);

} // namespace gcodereplay
