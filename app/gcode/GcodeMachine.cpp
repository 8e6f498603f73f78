#include "GcodeMachine.h"

#include "GcodeWords.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

namespace {

constexpr double InchInMm = 25.4;
constexpr double Pi = 3.14159265358979323846;
// Straight segments of an arc are at least this long (mm), as in firmware.
constexpr double MinArcSegment = 0.1;

} // namespace

void GcodeCommand::read(const char* begin, const char* end)
{
    letter = 0;
    code = -1;
    subcode = -1;
    present = 0;
    length = 0;
    GcodeWordReader reader(begin, end, GcodeWordReader::SkipJunk);
    GcodeWord w;
    if (!reader.command(&w))
        return;
    const char l = w.upperLetter();
    if ((l != 'G' && l != 'M' && l != 'T') || !w.code(&code, &subcode)) {
        code = subcode = -1;
        return;
    }
    letter = l;
    // From the command on: blanks or a byte order mark before it, which
    // readers may trim or not, change nothing.
    length = int(std::min<std::ptrdiff_t>(end - (w.begin - 1), INT_MAX));
    bool isNumber;
    double v;
    while (reader.next(&w, &isNumber, &v)) {
        const int i = w.upperLetter() - 'A';
        values[i] = isNumber ? v : w.begin == w.end ? 0 : std::numeric_limits<double>::quiet_NaN();
        present |= 1u << i;
    }
}

GcodeMachine::Step GcodeMachine::execute(const GcodeCommand& c)
{
    if (c.subcode >= 0 || (c.letter != 'G' && c.letter != 'M'))
        return Step::None;
    if (c.letter == 'M') {
        GcodeMachineState& s = m_state;
        switch (c.code) {
        case 82:
            s.relativeE = false;
            break;
        case 83:
            s.relativeE = true;
            break;
        case 220: // feed rate percentage
            if (c.has('S') && c.value('S') > 0 && c.value('S') < 10000)
                s.feedMultiplier = c.value('S') / 100;
            break;
        case 207: { // firmware retraction: S length, F feed rate, Z lift
            const double unit = s.inches ? InchInMm : 1;
            if (c.has('S') && c.value('S') >= 0 && c.value('S') < 1000)
                s.retractLength = c.value('S') * unit;
            if (c.has('F') && c.value('F') > 0 && c.value('F') < MaxCoordinate)
                s.retractFeedrate = c.value('F') * unit / 60;
            if (c.has('Z') && c.value('Z') >= 0 && c.value('Z') < 1000)
                s.retractZLift = c.value('Z') * unit;
            break;
        }
        case 208: { // recovery: S extra length, F feed rate
            const double unit = s.inches ? InchInMm : 1;
            if (c.has('S') && std::fabs(c.value('S')) < 1000)
                s.recoverExtraLength = c.value('S') * unit;
            if (c.has('F') && c.value('F') > 0 && c.value('F') < MaxCoordinate)
                s.recoverFeedrate = c.value('F') * unit / 60;
            break;
        }
        default:
            break;
        }
        return Step::None;
    }

    switch (c.code) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 92:
        // A number no printer moves to, or not a number at all: a printer
        // would refuse or misread the line; here it is left out.
        for (quint32 bits = c.present; bits; bits &= bits - 1)
            if (!(std::fabs(c.values[__builtin_ctz(bits)]) <= MaxCoordinate))
                return Step::Rejected;
        break;
    default:
        break;
    }

    GcodeMachineState& s = m_state;
    switch (c.code) {
    case 0:
    case 1:
        return move(c);
    case 2:
    case 3:
        return arc(c, c.code == 2);
    case 4:
        m_seconds = c.has('S') ? c.value('S') : c.has('P') ? c.value('P') / 1000 : 0;
        m_seconds = std::max(0.0, m_seconds);
        return Step::Dwell;
    case 10:
        // With P or L it sets a tool's offsets or temperatures.
        if (c.has('P') || c.has('L'))
            return Step::None;
        return firmwareRetraction(true);
    case 11:
        return firmwareRetraction(false);
    case 20:
        s.inches = true;
        return Step::None;
    case 21:
        s.inches = false;
        return Step::None;
    case 28:
        home(c);
        return Step::Home;
    case 90:
        s.relative = false; // M83 holds on: G90 leaves E relative
        return Step::None;
    case 91:
        s.relative = true;
        return Step::None;
    case 92:
        setPosition(c);
        return Step::None;
    default:
        return Step::None;
    }
}

void GcodeMachine::begin()
{
    for (int a = 0; a < GcodeMachineState::AxisCount; ++a)
        m_start.v[a] = m_state.position[a];
    m_path.clear();
}

double GcodeMachine::target(int axis, double value) const
{
    const GcodeMachineState& s = m_state;
    const double mm = value * (s.inches ? InchInMm : 1);
    const bool relative = s.relative || (axis == GcodeMachineState::E && s.relativeE);
    return relative ? s.position[axis] + mm : mm + s.offset[axis];
}

GcodeMachine::Step GcodeMachine::move(const GcodeCommand& c)
{
    static constexpr char letters[] = {'X', 'Y', 'Z', 'E'};
    GcodeMachineState& s = m_state;
    begin();
    if (c.has('F') && c.value('F') > 0)
        s.feedrate = c.value('F') * (s.inches ? InchInMm : 1) / 60;
    Point p;
    for (int a = 0; a < GcodeMachineState::AxisCount; ++a) {
        p.v[a] = c.has(letters[a]) ? target(a, c.value(letters[a])) : s.position[a];
        s.position[a] = p.v[a];
    }
    m_path.push_back(p);
    m_feedrate = s.feedrate * s.feedMultiplier;
    return Step::Motion;
}

GcodeMachine::Step GcodeMachine::arc(const GcodeCommand& c, bool clockwise)
{
    static constexpr char letters[] = {'X', 'Y', 'Z', 'E'};
    GcodeMachineState& s = m_state;
    const double unit = s.inches ? InchInMm : 1;
    // Without a centre or a radius the firmware refuses the arc.
    if (!c.has('I') && !c.has('J') && !c.has('R'))
        return Step::None;
    begin();
    if (c.has('F') && c.value('F') > 0)
        s.feedrate = c.value('F') * unit / 60;
    m_feedrate = s.feedrate * s.feedMultiplier;
    Point endPoint;
    for (int a = 0; a < GcodeMachineState::AxisCount; ++a)
        endPoint.v[a] = c.has(letters[a]) ? target(a, c.value(letters[a])) : s.position[a];

    const double x0 = m_start.v[GcodeMachineState::X], y0 = m_start.v[GcodeMachineState::Y];
    const double x1 = endPoint.v[GcodeMachineState::X], y1 = endPoint.v[GcodeMachineState::Y];
    double cx = 0, cy = 0;
    bool straight = false;
    if (c.has('R')) {
        // The centre lies on the chord's bisector; a negative radius takes the
        // long way round.
        const double r = c.value('R') * unit;
        const double dx = x1 - x0, dy = y1 - y0;
        const double chord = std::hypot(dx, dy);
        const double h2 = r * r - chord * chord / 4;
        if (chord == 0 || h2 < -1e-9 * r * r) {
            straight = true;
        } else {
            const double h = std::sqrt(std::max(0.0, h2));
            const double side = (clockwise ? -1 : 1) * (r > 0 ? 1 : -1);
            cx = (x0 + x1) / 2 - side * h * dy / chord;
            cy = (y0 + y1) / 2 + side * h * dx / chord;
        }
    } else {
        cx = x0 + (c.has('I') ? c.value('I') * unit : 0);
        cy = y0 + (c.has('J') ? c.value('J') * unit : 0);
    }
    const double radius = std::hypot(x0 - cx, y0 - cy);
    if (straight || !(radius > 1e-9)) {
        m_path.push_back(endPoint);
    } else {
        const double a0 = std::atan2(y0 - cy, x0 - cx);
        const double a1 = std::atan2(y1 - cy, x1 - cx);
        double sweep = clockwise ? a0 - a1 : a1 - a0;
        // Ending where it starts is a full circle.
        while (sweep <= 1e-9)
            sweep += 2 * Pi;
        const double length = sweep * radius;
        int segments = 1;
        if (radius > ArcTolerance) {
            const double step = 2 * std::acos(1 - ArcTolerance / radius);
            const double most = std::max(1.0, double(c.length) * ArcSegmentsPerByte);
            segments = int(
                std::max(1.0, std::min({std::ceil(sweep / step), length / MinArcSegment, most})));
        }
        const double direction = clockwise ? -1 : 1;
        for (int i = 1; i < segments; ++i) {
            const double t = double(i) / segments;
            const double angle = a0 + direction * sweep * t;
            Point p;
            p.v[GcodeMachineState::X] = cx + radius * std::cos(angle);
            p.v[GcodeMachineState::Y] = cy + radius * std::sin(angle);
            for (int a : {GcodeMachineState::Z, GcodeMachineState::E})
                p.v[a] = m_start.v[a] + (endPoint.v[a] - m_start.v[a]) * t;
            m_path.push_back(p);
        }
        m_path.push_back(endPoint);
    }
    for (int a = 0; a < GcodeMachineState::AxisCount; ++a)
        s.position[a] = endPoint.v[a];
    return Step::Motion;
}

GcodeMachine::Step GcodeMachine::firmwareRetraction(bool retract)
{
    GcodeMachineState& s = m_state;
    if (s.retracted == retract)
        return Step::None; // a second G10 (or G11) does nothing
    begin();
    Point p = m_start;
    if (retract) {
        p.v[GcodeMachineState::E] -= s.retractLength;
        m_path.push_back(p);
        if (s.retractZLift > 0) {
            p.v[GcodeMachineState::Z] += s.retractZLift;
            m_path.push_back(p);
        }
        m_feedrate = s.retractFeedrate;
    } else {
        if (s.retractZLift > 0) {
            p.v[GcodeMachineState::Z] -= s.retractZLift;
            m_path.push_back(p);
        }
        p.v[GcodeMachineState::E] += s.retractLength + s.recoverExtraLength;
        m_path.push_back(p);
        m_feedrate = s.recoverFeedrate;
    }
    s.retracted = retract;
    for (int a = 0; a < GcodeMachineState::AxisCount; ++a)
        s.position[a] = p.v[a];
    return Step::Motion;
}

void GcodeMachine::setPosition(const GcodeCommand& c)
{
    static constexpr char letters[] = {'X', 'Y', 'Z', 'E'};
    GcodeMachineState& s = m_state;
    const bool any = c.has('X') || c.has('Y') || c.has('Z') || c.has('E');
    for (int a = 0; a < GcodeMachineState::AxisCount; ++a) {
        if (any && !c.has(letters[a]))
            continue;
        const double value = any ? c.value(letters[a]) * (s.inches ? InchInMm : 1) : 0;
        s.offset[a] = s.position[a] - value;
    }
}

void GcodeMachine::home(const GcodeCommand& c)
{
    static constexpr char letters[] = {'X', 'Y', 'Z'};
    const bool any = c.has('X') || c.has('Y') || c.has('Z');
    for (int a = 0; a < 3; ++a) {
        if (any && !c.has(letters[a]))
            continue;
        m_state.position[a] = 0;
        m_state.offset[a] = 0;
    }
}
