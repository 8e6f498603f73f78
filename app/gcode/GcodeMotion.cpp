#include "GcodeMotion.h"

#include <algorithm>
#include <cmath>

namespace {

using Axis = GcodeMotionLimits::Axis;
constexpr int AxisCount = GcodeMotionLimits::AxisCount;

// A firmware recalculates the blocks of its queue (16 to 64 of them) on every
// new block; the plan of a block further back no longer changes. Planning
// Window blocks at a time, and keeping the newest Kept ones for the next
// round, gives every committed block at least that much look-ahead.
constexpr size_t Window = 256;
constexpr size_t Kept = 64;

// Below this requested speed (mm/s) the previous move counts as a stop: no
// corner is planned across it.
constexpr double StoppedSpeed = 0.0001;
// A block never plans slower than this (mm/s): a feed rate of 0 in a file
// would otherwise take forever.
constexpr double SlowestSpeed = 0.01;

inline double square(double v)
{
    return v * v;
}

// The speed reached from `v` over `distance` at `acceleration`.
inline double reachable(double v, double acceleration, double distance)
{
    return std::sqrt(std::max(0.0, square(v) + 2 * acceleration * distance));
}

} // namespace

GcodeMotionPlanner::GcodeMotionPlanner()
{
    m_blocks.reserve(Window);
}

void GcodeMotionPlanner::move(const double delta[AxisCount], double feedrate)
{
    const GcodeMotionLimits& l = m_limits;
    const double path =
        std::sqrt(square(delta[Axis::X]) + square(delta[Axis::Y]) + square(delta[Axis::Z]));
    const double distance = path > 0 ? path : std::fabs(delta[Axis::E]);
    if (!(distance > 0) || !std::isfinite(distance))
        return;

    const bool extrudes = delta[Axis::E] > 0 && (delta[Axis::X] != 0 || delta[Axis::Y] != 0);
    double speed =
        std::max(feedrate, delta[Axis::E] != 0 ? l.minExtrudingFeedrate : l.minTravelFeedrate);
    if (!(speed >= SlowestSpeed))
        speed = SlowestSpeed;

    // Each axis at most at its own top speed: the move slows down as a whole.
    const double inverse = 1 / distance;
    double share[AxisCount]; // of the move's length, per axis
    double axisSpeed[AxisCount];
    double factor = 1;
    for (int a = 0; a < AxisCount; ++a) {
        share[a] = std::fabs(delta[a]) * inverse;
        const double s = speed * share[a];
        if (s > l.maxFeedrate[a])
            factor = std::min(factor, l.maxFeedrate[a] / s);
    }
    for (int a = 0; a < AxisCount; ++a)
        axisSpeed[a] = speed * factor * delta[a] * inverse;

    Block b;
    b.distance = distance;
    // A top speed of 0 (limits set so by a caller) would take forever.
    b.cruise = std::max(speed * factor, SlowestSpeed);
    // Moves that only feed or pull filament take the retraction's
    // acceleration, extruding moves the printing one, the rest the travel one.
    double acceleration = path == 0  ? l.retractAcceleration
                          : extrudes ? l.printAcceleration
                                     : l.travelAcceleration;
    for (int a = 0; a < AxisCount; ++a)
        if (acceleration * share[a] > l.maxAcceleration[a])
            acceleration = l.maxAcceleration[a] / share[a];
    b.acceleration = acceleration;

    const bool corner = !m_blocks.empty() && m_previousCruise > StoppedSpeed;
    double junction = 0;
    if (l.junctionDeviation > 0) {
        double unit[AxisCount];
        for (int a = 0; a < AxisCount; ++a)
            unit[a] = delta[a] * inverse;
        // Junction deviation: the corner is taken as an arc that deviates from
        // it by at most the limit, at the speed whose centripetal acceleration
        // the axes allow.
        b.safe = 0;
        if (corner) {
            double cosTheta = 0;
            for (int a = 0; a < AxisCount; ++a)
                cosTheta -= m_previousUnit[a] * unit[a];
            if (cosTheta <= 0.999999) { // else a reversal: from rest
                cosTheta = std::max(cosTheta, -0.999999);
                double direction[AxisCount];
                double norm = 0;
                for (int a = 0; a < AxisCount; ++a) {
                    direction[a] = unit[a] - m_previousUnit[a];
                    norm += square(direction[a]);
                }
                norm = std::sqrt(norm);
                double cornerAcceleration = acceleration;
                for (int a = 0; a < AxisCount; ++a) {
                    const double part = norm > 0 ? std::fabs(direction[a]) / norm : 0;
                    if (cornerAcceleration * part > l.maxAcceleration[a])
                        cornerAcceleration = l.maxAcceleration[a] / part;
                }
                const double sinHalf = std::sqrt(0.5 * (1 - cosTheta));
                const double v2 =
                    cornerAcceleration * l.junctionDeviation * sinHalf / (1 - sinHalf);
                junction = std::min({std::sqrt(v2), b.cruise, m_previousCruise});
            }
        }
        std::copy(unit, unit + AxisCount, m_previousUnit);
    } else {
        // Classic jerk: an axis may change its speed by its jerk at once. The
        // safe speed is the one the move can start from, or stop at, outright.
        b.safe = b.cruise;
        bool limited = false;
        for (int a = 0; a < AxisCount; ++a) {
            const double s = std::fabs(axisSpeed[a]);
            if (s <= l.jerk[a])
                continue;
            if (!limited)
                b.safe = l.jerk[a];
            else if (s * b.safe > l.jerk[a] * b.cruise)
                b.safe = l.jerk[a] * b.cruise / s;
            limited = true;
        }
        b.safe = std::min(b.safe, b.cruise);
        junction = b.safe;
        if (corner) {
            // The slower of the two moves sets the corner's speed, lowered
            // until no axis changes its speed by more than its jerk.
            const bool previousFaster = m_previousCruise > b.cruise;
            const double slower =
                previousFaster ? b.cruise / m_previousCruise : m_previousCruise / b.cruise;
            junction = previousFaster ? b.cruise : m_previousCruise;
            const double outScale = previousFaster ? slower : 1;
            // Each axis's change of speed grows with the corner's speed, so
            // the corner slows by the factor of the axis that needs most,
            // which is what lowering it axis after axis comes to. Written
            // without a branch: corners come in no order a processor could
            // guess.
            double scale = 1;
            for (int a = 0; a < AxisCount; ++a) {
                const double out = m_previousSpeed[a] * outScale;
                const double in = axisSpeed[a];
                // Coasting on in one direction, the difference; a reversal
                // (or a start from standstill), the larger of the two. A
                // change of 0 gives no limit.
                const double change =
                    out * in > 0 ? std::fabs(out - in) : std::max(std::fabs(out), std::fabs(in));
                scale = std::min(scale, l.jerk[a] / change);
            }
            junction *= scale;
            // Both moves may start and stop at their safe speeds anyway: the
            // corner is no slower than that.
            const double threshold = junction * 0.99;
            if (m_previousSafe > threshold && b.safe > threshold)
                junction = b.safe;
        }
    }

    const double allowable = reachable(b.safe, acceleration, distance);
    b.maxEntry = junction;
    b.entry = std::min(junction, allowable);
    b.nominalLength = b.cruise <= allowable;
    m_blocks.push_back(b);

    std::copy(axisSpeed, axisSpeed + AxisCount, m_previousSpeed);
    m_previousCruise = b.cruise;
    m_previousSafe = b.safe;

    if (m_blocks.size() >= Window) {
        plan();
        commit(m_blocks.size() - Kept);
    }
}

void GcodeMotionPlanner::synchronize(double seconds)
{
    plan();
    commit(m_blocks.size());
    m_previousCruise = 0;
    if (seconds > 0 && std::isfinite(seconds))
        m_committed += seconds;
}

void GcodeMotionPlanner::plan()
{
    const size_t n = m_blocks.size();
    if (n < 2)
        return;
    // Backwards from the newest block, which must be able to stop: each block
    // enters no faster than it can brake from to the next one's entry.
    for (size_t i = n - 1; i-- > 0;) {
        Block& b = m_blocks[i];
        b.entry = b.nominalLength ? b.maxEntry
                                  : std::min(b.maxEntry, reachable(m_blocks[i + 1].entry,
                                                                   b.acceleration, b.distance));
    }
    // Forwards: no block enters faster than the one before can accelerate to.
    for (size_t i = 1; i < n; ++i) {
        const Block& p = m_blocks[i - 1];
        Block& b = m_blocks[i];
        if (!p.nominalLength && p.entry < b.entry)
            b.entry = std::min(b.entry, reachable(p.entry, p.acceleration, p.distance));
    }
}

void GcodeMotionPlanner::commit(size_t count)
{
    count = std::min(count, m_blocks.size());
    for (size_t i = 0; i < count; ++i) {
        const double exit = i + 1 < m_blocks.size() ? m_blocks[i + 1].entry : m_blocks[i].safe;
        m_committed += blockTime(m_blocks[i], exit);
    }
    m_blocks.erase(m_blocks.begin(), m_blocks.begin() + std::ptrdiff_t(count));
    // The oldest block left enters at the speed the committed one left at.
    if (!m_blocks.empty())
        m_blocks.front().maxEntry = m_blocks.front().entry;
}

double GcodeMotionPlanner::blockTime(const Block& b, double exit)
{
    const double a = b.acceleration;
    const double d = b.distance;
    const double v0 = std::min(b.entry, b.cruise);
    const double v1 = std::min(exit, b.cruise);
    if (!(a > 0))
        return d / b.cruise;
    double accelerating = std::max(0.0, (square(b.cruise) - square(v0)) / (2 * a));
    double braking = std::max(0.0, (square(b.cruise) - square(v1)) / (2 * a));
    if (accelerating + braking <= d) {
        const double cruising = d - accelerating - braking;
        return (b.cruise - v0) / a + cruising / b.cruise + (b.cruise - v1) / a;
    }
    // No room to reach the cruise speed: accelerate up to where braking must
    // begin to leave at the exit speed.
    accelerating = std::clamp((2 * a * d - square(v0) + square(v1)) / (4 * a), 0.0, d);
    braking = d - accelerating;
    const double peak = reachable(v0, a, accelerating);
    const double end = reachable(peak, -a, braking);
    return (peak - v0) / a + (peak - end) / a;
}
