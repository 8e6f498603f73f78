#include "GcodeRunner.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace zelksim {

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double MIN_SPEED = 1.0;   // mm/s; an F0 must not make a move endless
constexpr double MAX_SPEED = 300.0; // mm/s; what the mechanics can do at best
constexpr double LIMIT_MM = 1e5;    // coordinates beyond this are garbage
constexpr size_t MAX_MESSAGE = 64;

// A plain decimal number ([+-]digits[.digits]); no exponents, no hex, no
// inf or nan, which a stray strtod would accept. Advances p past it.
bool number(const char*& p, const char* end, double& out)
{
    const char* q = p;
    bool negative = false;
    if (q < end && (*q == '-' || *q == '+'))
        negative = *q++ == '-';
    double value = 0;
    bool digits = false;
    while (q < end && std::isdigit(static_cast<unsigned char>(*q))) {
        value = value * 10 + (*q++ - '0');
        digits = true;
    }
    if (q < end && *q == '.') {
        ++q;
        double scale = 0.1;
        while (q < end && std::isdigit(static_cast<unsigned char>(*q))) {
            value += (*q++ - '0') * scale;
            scale /= 10;
            digits = true;
        }
    }
    if (!digits)
        return false;
    p = q;
    out = std::clamp(negative ? -value : value, -LIMIT_MM, LIMIT_MM);
    return true;
}

} // namespace

GcodeRunner::GcodeRunner(std::string program) : text(std::move(program)) {}

int GcodeRunner::percent() const
{
    if (text.empty())
        return 100;
    return static_cast<int>(static_cast<unsigned long long>(pos) * 100 / text.size());
}

std::vector<GcodeRunner::Event> GcodeRunner::takeEvents()
{
    std::vector<Event> out;
    out.swap(events);
    return out;
}

GcodeRunner::Words GcodeRunner::parse(const char* begin, const char* end)
{
    Words w;
    const char* p = begin;
    while (p < end) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
        if (c == ';' || c == '*') // comment; checksum of a numbered line
            break;
        if (c == '(') {
            const void* close = std::memchr(p, ')', static_cast<size_t>(end - p));
            p = close ? static_cast<const char*>(close) + 1 : end;
            continue;
        }
        ++p;
        if (c < 'A' || c > 'Z')
            continue;
        double value = 0;
        if (!number(p, end, value))
            continue;
        if (!w.letter && (c == 'G' || c == 'M' || c == 'T')) {
            w.letter = c;
            w.code = static_cast<int>(value);
            if (c == 'M' && w.code == 117) {
                if (p < end && *p == ' ')
                    ++p;
                w.rest.assign(p, static_cast<size_t>(end - p));
                break;
            }
        } else if (c != 'N') {
            w.v[c - 'A'] = value;
            w.has[c - 'A'] = true;
        }
    }
    return w;
}

double GcodeRunner::moveSeconds(const Words& w)
{
    if (w.present('F') && w.get('F', 0) > 0)
        feed = w.get('F', feed) * unit;
    const double speed = std::clamp(feed / 60.0, MIN_SPEED, MAX_SPEED);
    auto axis = [&](char c, double current) {
        if (!w.present(c))
            return current;
        const double v = w.get(c, 0) * unit;
        return std::clamp(absolute ? v : current + v, -LIMIT_MM, LIMIT_MM);
    };
    const double nx = axis('X', x), ny = axis('Y', y), nz = axis('Z', z);
    double ne = e;
    if (w.present('E')) {
        const double v = w.get('E', 0) * unit;
        ne = std::clamp(eAbsolute ? v : e + v, -LIMIT_MM, LIMIT_MM);
    }

    double length = 0;
    if (w.code == 2 || w.code == 3) {
        double sweep = 0, radius = 0;
        if (w.present('R') && !w.present('I') && !w.present('J')) {
            radius = std::fabs(w.get('R', 0) * unit);
            const double chord = std::hypot(nx - x, ny - y);
            if (radius > 0 && chord <= 2 * radius) {
                sweep = 2 * std::asin(chord / (2 * radius));
                if (w.get('R', 0) < 0)
                    sweep = 2 * PI - sweep;
            }
        } else {
            const double cx = x + w.get('I', 0) * unit, cy = y + w.get('J', 0) * unit;
            radius = std::hypot(x - cx, y - cy);
            sweep = std::atan2(ny - cy, nx - cx) - std::atan2(y - cy, x - cx);
            if (w.code == 2 && sweep >= 0) // clockwise; equal ends: a full circle
                sweep -= 2 * PI;
            if (w.code == 3 && sweep <= 0)
                sweep += 2 * PI;
        }
        length = std::hypot(std::fabs(sweep) * radius, nz - z);
        if (radius == 0 || sweep == 0)
            length = std::hypot(std::hypot(nx - x, ny - y), nz - z);
    } else {
        length = std::hypot(std::hypot(nx - x, ny - y), nz - z);
    }
    if (length < 1e-9)
        length = std::fabs(ne - e); // a retraction or a prime only
    x = nx, y = ny, z = nz, e = ne;
    return length / speed;
}

void GcodeRunner::load()
{
    const char* base = text.data();
    const void* nl = std::memchr(base + pos, '\n', text.size() - pos);
    const size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - base) : text.size();
    lineEnd = nl ? end + 1 : end;
    const Words w = parse(base + pos, base + end);

    double seconds = 0;
    lineWaits = false;
    lineTarget.reset();
    if (w.letter == 'G') {
        switch (w.code) {
        case 0:
        case 1:
        case 2:
        case 3:
            seconds = moveSeconds(w);
            break;
        case 4:
            seconds = w.present('P') ? w.get('P', 0) / 1000.0 : w.get('S', 0);
            break;
        case 20:
            unit = 25.4;
            break;
        case 21:
            unit = 1.0;
            break;
        case 28: {
            const bool all = !w.present('X') && !w.present('Y') && !w.present('Z');
            if (all || w.present('X'))
                x = 0;
            if (all || w.present('Y'))
                y = 0;
            if (all || w.present('Z'))
                z = 0;
            seconds = HOMING_SECONDS;
            break;
        }
        case 90:
            absolute = eAbsolute = true;
            break;
        case 91:
            absolute = eAbsolute = false;
            break;
        case 92:
            x = w.get('X', x / unit) * unit;
            y = w.get('Y', y / unit) * unit;
            z = w.get('Z', z / unit) * unit;
            e = w.get('E', e / unit) * unit;
            break;
        default:
            break;
        }
    } else if (w.letter == 'M') {
        if (w.code == 82 || w.code == 83) {
            eAbsolute = w.code == 82;
        } else if (w.code == 104 || w.code == 109) {
            const double target = std::clamp(w.get('S', w.get('R', 0)), 0.0, 300.0);
            if (w.present('S') || w.present('R')) {
                events.push_back({Event::Temperature, target, {}});
                lineWaits = w.code == 109 && target > 0;
                lineTarget = target;
            }
        } else if (w.code == 117) {
            events.push_back({Event::Message, 0, w.rest.substr(0, MAX_MESSAGE)});
        }
    }
    lineLeft = std::min(LINE_SECONDS + std::max(seconds, 0.0), MAX_LINE_SECONDS);
    lineLoaded = true;
}

double GcodeRunner::run(double seconds)
{
    seconds = std::max(seconds, 0.0);
    double used = 0;
    while (!waitTarget) {
        if (!lineLoaded) {
            if (pos >= text.size())
                break;
            load();
        }
        const double take = std::min(lineLeft, seconds - used);
        used += take;
        lineLeft -= take;
        clock += take;
        if (lineLeft > 0)
            break;
        pos = lineEnd;
        lineLoaded = false;
        if (lineWaits)
            waitTarget = lineTarget;
    }
    return used;
}

std::optional<double> GcodeRunner::firstTemperature(const std::string& program)
{
    size_t at = 0;
    while (at < program.size()) {
        const size_t nl = program.find('\n', at);
        const size_t end = nl == std::string::npos ? program.size() : nl;
        const Words w = parse(program.data() + at, program.data() + end);
        if (w.letter == 'M' && (w.code == 104 || w.code == 109)) {
            const double t = w.get('S', w.get('R', 0));
            if (t > 0)
                return std::min(t, 300.0);
        }
        at = end + 1;
    }
    return std::nullopt;
}

double GcodeRunner::duration(const std::string& program)
{
    GcodeRunner r(program);
    while (!r.finished()) {
        r.run(1e12);
        r.stopWaiting();
    }
    return r.elapsed();
}

} // namespace zelksim
