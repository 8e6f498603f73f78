#include "GcodeMachine.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>

namespace {

constexpr double InchInMm = 25.4;
constexpr double Pi = 3.14159265358979323846;
// Straight segments of an arc are at least this long (mm), as in firmware.
constexpr double MinArcSegment = 0.1;

// Powers of ten that a double holds exactly: an integer below 2^53 divided by
// one of them is the correctly rounded value of the decimal.
constexpr double exactPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

inline bool isDigit(char c)
{
    return unsigned(c - '0') < 10u;
}

// The number at p: a sign, digits, a point and digits, and a lower-case
// exponent (an upper-case E after a number is the extruder's word, glued on as
// in X20E1). Returns where it ends, or nullptr when there is none.
const char* readNumber(const char* p, const char* end, double* out)
{
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '-' || *p == '+'))
        ++p;
    const char* const digits = p;
    std::uint64_t mantissa = 0;
    int count = 0;
    int fraction = 0;
    for (; p != end && isDigit(*p); ++p, ++count)
        mantissa = mantissa * 10 + unsigned(*p - '0');
    if (p != end && *p == '.') {
        for (++p; p != end && isDigit(*p); ++p, ++count, ++fraction)
            mantissa = mantissa * 10 + unsigned(*p - '0');
    }
    if (count == 0)
        return nullptr;
    const bool exponent =
        p != end && *p == 'e' && p + 1 != end &&
        (isDigit(p[1]) || ((p[1] == '-' || p[1] == '+') && p + 2 != end && isDigit(p[2])));
    if (!exponent && count <= 15) {
        *out = double(mantissa) / exactPowersOfTen[fraction];
    } else {
        bool tiny = false;
        if (exponent) {
            tiny = p[1] == '-';
            for (p += 2; p != end && isDigit(*p); ++p) {
            }
        }
        double v = 0;
        // Out of range: 1e-400 is 0, 1e400 no number a printer moves to.
        if (std::from_chars(digits, p, v).ec == std::errc::result_out_of_range)
            v = tiny ? 0 : HUGE_VAL;
        *out = v;
    }
    if (negative)
        *out = -*out;
    return p;
}

} // namespace

void tokenizeGcode(const char* p, const char* end, GcodeCommand* out)
{
    out->letter = 0;
    out->code = -1;
    out->subcode = -1;
    out->present = 0;
    out->length = 0;
    while (p != end) {
        char c = *p++;
        if (c == ' ')
            continue;
        if (unsigned(c - 'a') < 26u)
            c = char(c - 'a' + 'A');
        if (unsigned(c - 'A') >= 26u) {
            if (c == ';' || c == '*')
                break;
            if (c == '(') // a comment in parentheses
                while (p != end && *p != ')')
                    ++p;
            continue;
        }
        if (out->letter == 0 && out->present == 0 && (c == 'G' || c == 'M' || c == 'T') &&
            p != end && isDigit(*p)) {
            const char* const command = p - 1;
            int code = 0;
            int n = 0;
            for (; p != end && isDigit(*p); ++p, ++n)
                code = n < 9 ? code * 10 + (*p - '0') : -2;
            if (p != end && *p == '.' && p + 1 != end && isDigit(p[1])) {
                int sub = 0;
                for (++p, n = 0; p != end && isDigit(*p); ++p, ++n)
                    sub = n < 4 ? sub * 10 + (*p - '0') : sub;
                out->subcode = sub;
            }
            out->letter = c;
            out->code = code;
            // From the command on: blanks or a byte order mark before it,
            // which readers may trim or not, change nothing.
            out->length = int(std::min<std::ptrdiff_t>(end - command, INT_MAX));
            continue;
        }
        double v = 0;
        if (const char* q = readNumber(p, end, &v))
            p = q;
        if (c == 'N' && out->letter == 0)
            continue; // the line number
        out->values[c - 'A'] = v;
        out->present |= 1u << (c - 'A');
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
