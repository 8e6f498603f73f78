#pragma once

#include <cstddef>
#include <vector>

// The limits of a printer's motion, as a firmware's planner applies them. The
// defaults are those of a small consumer printer (a bed slinger with belts on
// X and Y, a lead screw on Z and a 1.75 mm direct-drive extruder, on stock
// firmware with classic jerk); a file's M201, M203, M204, M205 and M566
// change them while it is read.
struct GcodeMotionLimits
{
    enum Axis { X, Y, Z, E, AxisCount };

    double maxFeedrate[AxisCount] = {300, 300, 10, 60};          // mm/s (M203)
    double maxAcceleration[AxisCount] = {3000, 3000, 200, 5000}; // mm/s² (M201)
    double printAcceleration = 2000;                             // mm/s² (M204 P, S)
    double retractAcceleration = 2000;                           // E-only moves (M204 R)
    double travelAcceleration = 3000; // moves that do not extrude (M204 T)
    // The change of speed an axis takes at a corner without slowing down,
    // mm/s (M205 X Y Z E). Used while junctionDeviation is 0.
    double jerk[AxisCount] = {10, 10, 0.4, 5};
    // mm (M205 J): corners planned by junction deviation instead of jerk.
    double junctionDeviation = 0;
    double minExtrudingFeedrate = 0; // mm/s (M205 S)
    double minTravelFeedrate = 0;    // mm/s (M205 T)
};

// The look-ahead planner of a printer's firmware, as far as time goes: every
// straight move becomes a block with a trapezoid speed profile (accelerate,
// cruise, decelerate) whose entry and exit speeds the corners allow (jerk or
// junction deviation) and that the blocks around it can reach. Blocks wait in
// a window until enough later ones are known for their exit speed to be
// final, then their time is added up and they are dropped: memory stays flat.
class GcodeMotionPlanner
{
public:
    GcodeMotionPlanner();

    GcodeMotionLimits& limits() { return m_limits; }
    const GcodeMotionLimits& limits() const { return m_limits; }

    // A straight move by `delta` (mm, E in filament) at `feedrate` (mm/s).
    // Zero-length moves are no moves.
    void move(const double delta[GcodeMotionLimits::AxisCount], double feedrate);
    // The motion comes to a stop (what M400, G4 and heating waits do, and
    // the end of the file), then `seconds` pass.
    void synchronize(double seconds = 0);
    // Seconds of motion and waiting of the blocks whose plan is final: all of
    // them after synchronize().
    double time() const { return m_committed; }

private:
    struct Block
    {
        double distance;     // mm along the path (or of filament, for E-only moves)
        double acceleration; // mm/s²
        double cruise;       // the speed it would like to keep, mm/s
        double safe;         // the speed it may start from or stop at outright
        double maxEntry;     // the fastest the corner before it allows
        double entry;        // as planned
        bool nominalLength;  // long enough to reach cruise from rest and back
    };

    void plan();
    void commit(std::size_t count);
    static double blockTime(const Block& b, double exit);

    GcodeMotionLimits m_limits;
    std::vector<Block> m_blocks; // the window, oldest first
    double m_committed = 0;
    // The previous block's axis speeds and cruise speed, for its corner with the
    // next; no corner after a stop.
    double m_previousSpeed[GcodeMotionLimits::AxisCount] = {};
    double m_previousUnit[GcodeMotionLimits::AxisCount] = {};
    double m_previousCruise = 0;
    double m_previousSafe = 0;
};
