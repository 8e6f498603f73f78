#include "RMGcodeAnalysis.h"

#include "GcodeWords.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

using Axis = GcodeMachineState::Axis;
using Step = GcodeMachine::Step;

constexpr size_t ChunkSize = 256 * 1024;
constexpr int MaxThumbnails = 16;
constexpr qint64 MaxThumbnailBytes = 32 * 1024 * 1024;
constexpr double Pi = 3.14159265358979323846;
// Heights closer than this are one height (mm): slicers write 3 decimals.
constexpr double SameHeight = 1e-4;
// Lines between two looks at the cancel flag.
constexpr int CancelCheckLines = 4096;

inline bool startsWith(const char* b, const char* e, const char* prefix)
{
    const size_t n = std::strlen(prefix);
    return size_t(e - b) >= n && std::memcmp(b, prefix, n) == 0;
}

inline const char* skipBlanks(const char* b, const char* e)
{
    while (b != e && (*b == ' ' || *b == '\t'))
        ++b;
    return b;
}

// A number at the start of [b, e) in the C locale ("4913.4mm"); NaN when
// there is none.
double leadingNumber(const char* b, const char* e)
{
    double v;
    return GcodeNumber::parse(b, GcodeNumber::textEnd(b, e), &v) ? v : std::nan("");
}

// "1d 2h 3m 4s" in seconds; NaN when it is not a duration.
double duration(const char* b, const char* e)
{
    double seconds = 0;
    bool any = false;
    const char* p = skipBlanks(b, e);
    while (p != e) {
        const char* digits = p;
        double value = 0;
        while (p != e && unsigned(*p - '0') < 10u)
            value = value * 10 + (*p++ - '0');
        if (p == digits || p == e)
            return std::nan("");
        switch (*p++) {
        case 'd':
            seconds += value * 86400;
            break;
        case 'h':
            seconds += value * 3600;
            break;
        case 'm':
            seconds += value * 60;
            break;
        case 's':
            seconds += value;
            break;
        default:
            return std::nan("");
        }
        any = true;
        p = skipBlanks(p, e);
    }
    return any ? seconds : std::nan("");
}

// Reads a device line by line, in blocks. A line longer than MaxLineLength is
// skipped and counted; the first zero byte is noted (a binary file).
class LineReader
{
public:
    // From the device's position, which is `offset` bytes into the file, up
    // to `limit` (or the end when negative).
    LineReader(QIODevice* device, qint64 offset, qint64 limit)
        : m_device(device), m_base(offset), m_limit(limit)
    {
        // A layer read back, or a small file, needs no full block.
        qint64 expected = limit >= 0               ? limit - offset
                          : device->isSequential() ? qint64(ChunkSize)
                                                   : device->size() - offset;
        m_buffer.resize(size_t(std::clamp<qint64>(expected + 1, 4096, qint64(ChunkSize))));
    }

    // The next line, without its line feed, and the offset of its first byte.
    // False at the end, or when reading failed (failed()).
    bool next(const char** begin, const char** end, qint64* offset);

    bool failed() const { return m_failed; }
    qint64 longLines() const { return m_longLines; }
    qint64 firstZeroByte() const { return m_firstZero; }
    // The bytes read and handed out so far.
    qint64 consumed() const { return m_base + qint64(m_begin); }

private:
    bool fill();

    QIODevice* const m_device;
    std::vector<char> m_buffer;
    size_t m_begin = 0;
    size_t m_filled = 0;
    qint64 m_base; // the file offset of m_buffer[0]
    const qint64 m_limit;
    bool m_atEnd = false;
    bool m_failed = false;
    bool m_skipping = false; // inside a line too long to keep
    qint64 m_longLines = 0;
    qint64 m_firstZero = -1;
};

bool LineReader::next(const char** begin, const char** end, qint64* offset)
{
    for (;;) {
        char* const from = m_buffer.data() + m_begin;
        const size_t available = m_filled - m_begin;
        if (const char* nl = static_cast<const char*>(std::memchr(from, '\n', available))) {
            const qint64 at = m_base + qint64(m_begin);
            m_begin += size_t(nl - from) + 1;
            if (m_skipping) {
                m_skipping = false;
                continue;
            }
            *begin = from;
            *end = nl;
            *offset = at;
            return true;
        }
        if (m_atEnd || m_failed) {
            const qint64 at = m_base + qint64(m_begin);
            m_begin = m_filled;
            if (available == 0 || m_skipping)
                return false;
            *begin = from; // a last line without a line feed
            *end = from + available;
            *offset = at;
            return true;
        }
        std::memmove(m_buffer.data(), from, available);
        m_base += qint64(m_begin);
        m_filled = available;
        m_begin = 0;
        if (m_filled == m_buffer.size()) {
            if (m_skipping || m_buffer.size() > size_t(RMGcodeAnalysis::MaxLineLength)) {
                m_longLines += !m_skipping;
                m_skipping = true;
                m_base += qint64(m_filled);
                m_filled = 0;
            } else {
                m_buffer.resize(
                    std::min(m_buffer.size() * 2, size_t(RMGcodeAnalysis::MaxLineLength) + 1));
            }
        }
        if (!fill())
            m_failed = true;
    }
}

bool LineReader::fill()
{
    qint64 wanted = qint64(m_buffer.size() - m_filled);
    if (m_limit >= 0)
        wanted = std::min(wanted, m_limit - (m_base + qint64(m_filled)));
    if (wanted <= 0) {
        m_atEnd = true;
        return true;
    }
    const qint64 n = m_device->read(m_buffer.data() + m_filled, wanted);
    if (n < 0)
        return false;
    // A pipe may have nothing yet without being at its end.
    if (n == 0 && !(m_device->isSequential() && m_device->waitForReadyRead(-1)))
        m_atEnd = true;
    if (n > 0 && m_firstZero < 0) {
        if (const void* zero = std::memchr(m_buffer.data() + m_filled, 0, size_t(n)))
            m_firstZero = m_base + qint64(m_filled) +
                          qint64(static_cast<const char*>(zero) - (m_buffer.data() + m_filled));
    }
    m_filled += size_t(n);
    return true;
}

// One way of cutting the file into layers.
struct LayerList
{
    QVector<RMGcodeLayer> layers;
    bool capped = false;

    void begin(qint64 offset, const GcodeMachineState& state)
    {
        if (layers.size() >= RMGcodeAnalysis::MaxLayers) {
            capped = true;
            return;
        }
        RMGcodeLayer layer;
        layer.offset = offset;
        layer.z = state.position[Axis::Z];
        layer.state = state;
        layers.push_back(layer);
    }
    void extruded(double z)
    {
        RMGcodeLayer& l = layers.last();
        l.z = l.extrudingMoves ? std::max(l.z, z) : z;
        ++l.extrudingMoves;
    }
};

// The pass: every line of the file through the printer's interpreter, the
// motion model and the bookkeeping of what the file holds.
class Pass
{
public:
    Pass(const RMGcodeAnalysis::Options& options, bool container)
        : m_options(options), m_container(container)
    {
        m_planner.limits() = options.limits;
        m_markers.begin(0, m_machine.state());
        m_heights.begin(0, m_machine.state());
    }

    void line(const char* begin, const char* end, qint64 offset, qint64 next);
    void finish(RMGcodeAnalysisResult* result, const LineReader& reader, qint64 start);

private:
    void comment(const char* begin, const char* end, qint64 offset, qint64 next);
    void thumbnailBegins(const char* begin, const char* end, qint64 next);
    void command(const GcodeCommand& c, qint64 next);
    void motion(const GcodeCommand& c, qint64 next);
    void extrusion(double z0, double z1, qint64 next);
    void tool(int number);

    // M codes, by table.
    void stop(const GcodeCommand&) { m_planner.synchronize(); }
    void hotend(const GcodeCommand& c);
    void hotendWait(const GcodeCommand& c);
    void bed(const GcodeCommand& c);
    void bedWait(const GcodeCommand& c);
    void heatWait(const GcodeCommand&);
    void volumetric(const GcodeCommand& c);
    void maxAcceleration(const GcodeCommand& c);
    void maxFeedrate(const GcodeCommand& c);
    void acceleration(const GcodeCommand& c);
    void advanced(const GcodeCommand& c);
    void jerkPerMinute(const GcodeCommand& c);
    struct MCode
    {
        int code;
        void (Pass::*run)(const GcodeCommand&);
    };
    static const MCode mCodes[];

    const RMGcodeAnalysis::Options m_options;
    const bool m_container; // a binary G-code container, not a text
    GcodeMachine m_machine;
    GcodeMotionPlanner m_planner;
    GcodeCommand m_command;

    qint64 m_lines = 0;
    qint64 m_moves = 0;
    qint64 m_extrudingMoves = 0;
    qint64 m_rejected = 0;
    double m_dwell = 0;
    int m_heatingWaits = 0;
    RMGcodeBox m_printing;
    RMGcodeBox m_travel;

    // Layers by the slicer's comments: the file's start belongs to the first.
    LayerList m_markers;
    bool m_markerSeen = false;
    qint64 m_movesSinceMarker = 0;
    // Layers by heights: a new one where the extrusion's height changes, or,
    // in a spiral that climbs as it goes, where it has climbed a layer.
    LayerList m_heights;
    bool m_extruded = false;
    double m_layerZ = 0;
    bool m_layerClimbs = false;
    double m_layerStep = 0.2;
    qint64 m_lastExtrusionEnd = 0;
    GcodeMachineState m_afterLastExtrusion;

    double m_hotend = 0, m_bed = 0;           // targets in force
    double m_firstHotend = 0, m_firstBed = 0; // the first ones set
    double m_printHotend = 0, m_printBed = 0; // in force at the first extrusion

    QVector<RMGcodeThumbnail> m_thumbnails;
    bool m_inThumbnail = false;
    RMGcodeThumbnail m_thumbnail;

    QString m_generator;
    double m_slicerTime = -1;
    double m_slicerFilament = -1;

    bool m_volumetric = false;
    int m_firstTool = -1;
    int m_otherTool = -1;
};

const Pass::MCode Pass::mCodes[] = {
    {0, &Pass::stop},
    {1, &Pass::stop},
    {104, &Pass::hotend},
    {109, &Pass::hotendWait},
    {116, &Pass::heatWait},
    {140, &Pass::bed},
    {190, &Pass::bedWait},
    {200, &Pass::volumetric},
    {201, &Pass::maxAcceleration},
    {203, &Pass::maxFeedrate},
    {204, &Pass::acceleration},
    {205, &Pass::advanced},
    {400, &Pass::stop},
    {566, &Pass::jerkPerMinute},
};

void Pass::line(const char* b, const char* e, qint64 offset, qint64 next)
{
    ++m_lines;
    if (offset == 0 && startsWith(b, e, "\xEF\xBB\xBF")) // a byte order mark
        b += 3;
    b = skipBlanks(b, e);
    if (b == e)
        return;
    if (*b == ';') {
        comment(b + 1, e, offset, next);
        return;
    }
    // A thumbnail's text is comments only: anything else ends it, unfinished.
    m_inThumbnail = false;
    m_command.read(b, e);
    if (m_command.letter)
        command(m_command, next);
}

void Pass::comment(const char* b, const char* e, qint64 offset, qint64 next)
{
    while (e != b && (e[-1] == '\r' || e[-1] == ' ' || e[-1] == '\t'))
        --e;
    const char* t = skipBlanks(b, e);
    if (m_inThumbnail) {
        // "; thumbnail end", "; thumbnail_JPG end"
        if (startsWith(t, e, "thumbnail") && e - t < 24 && startsWith(e - 4, e, " end")) {
            m_inThumbnail = false;
            m_thumbnail.end = offset;
            if (m_thumbnails.size() < MaxThumbnails)
                m_thumbnails.push_back(m_thumbnail);
        }
        return;
    }
    if (t == e)
        return;
    switch (*t) {
    case 'L':
        if (startsWith(t, e, "LAYER_CHANGE") || startsWith(t, e, "LAYER:")) {
            // Two markers with no move between them are one layer change (a
            // slicer that writes both kinds).
            if (m_markerSeen && m_movesSinceMarker > 0)
                m_markers.begin(offset, m_machine.state());
            if (!m_markerSeen) // the comments cut the layers: heights are not needed
                m_heights.layers = QVector<RMGcodeLayer>();
            m_markerSeen = true;
            m_movesSinceMarker = 0;
        }
        break;
    case 't':
        if (startsWith(t, e, "thumbnail"))
            thumbnailBegins(t + 9, e, next);
        break;
    case 'T': // Cura: ";TIME:3485"
        if (startsWith(t, e, "TIME:")) {
            const double s = leadingNumber(t + 5, e);
            if (s >= 0)
                m_slicerTime = std::max(0.0, m_slicerTime) + s;
        }
        break;
    case 'e': // "; estimated printing time (normal mode) = 1h 2m 3s"
        if (startsWith(t, e, "estimated printing time (normal mode)")) {
            const char* eq = static_cast<const char*>(std::memchr(t, '=', size_t(e - t)));
            const double s = eq ? duration(eq + 1, e) : std::nan("");
            if (s >= 0)
                m_slicerTime = std::max(0.0, m_slicerTime) + s;
        }
        break;
    case 'f':
        // "; filament used [mm] = 4282.06" (one per extruder, by commas) and
        // "; filament used = 4913.4mm (11.8cm3)".
        if (startsWith(t, e, "filament used [mm] =") || startsWith(t, e, "filament used =")) {
            const char* p = static_cast<const char*>(std::memchr(t, '=', size_t(e - t))) + 1;
            double sum = 0;
            bool any = false;
            while (p < e) {
                const double v = leadingNumber(skipBlanks(p, e), e);
                if (v >= 0) {
                    sum += v;
                    any = true;
                }
                p = static_cast<const char*>(std::memchr(p, ',', size_t(e - p)));
                if (!p)
                    break;
                ++p;
            }
            if (any)
                m_slicerFilament = std::max(0.0, m_slicerFilament) + sum;
        }
        break;
    case 'F': // Cura: ";Filament used: 1.23456m"
        if (startsWith(t, e, "Filament used:")) {
            const double m = leadingNumber(skipBlanks(t + 14, e), e);
            if (m >= 0)
                m_slicerFilament = std::max(0.0, m_slicerFilament) + m * 1000;
        }
        break;
    case 'g':
    case 'G':
        if (m_generator.isEmpty() &&
            (startsWith(t, e, "generated by ") || startsWith(t, e, "Generated with "))) {
            const char* name = t + (*t == 'g' ? 13 : 15);
            QString text = QString::fromUtf8(name, int(std::min<qint64>(e - name, 200)));
            // "PrusaSlicer 2.6.1 on 2023-10-31 at 11:20:29 UTC"
            const int on = text.indexOf(QLatin1String(" on "));
            m_generator = (on > 0 ? text.left(on) : text).trimmed();
        }
        break;
    default:
        break;
    }
}

void Pass::thumbnailBegins(const char* p, const char* e, qint64 next)
{
    // "; thumbnail begin 16x16 808", "; thumbnail_JPG begin 300x300 12345"
    RMGcodeThumbnail t;
    t.format = QStringLiteral("PNG");
    if (p != e && *p == '_') {
        const char* f = p + 1;
        while (p != e && *p != ' ')
            ++p;
        t.format = QString::fromLatin1(f, int(std::min<qint64>(p - f, 8))).toUpper();
    }
    p = skipBlanks(p, e);
    if (!startsWith(p, e, "begin "))
        return;
    const QList<QByteArray> words =
        QByteArray(p + 6, int(std::min<qint64>(e - p - 6, 64))).simplified().split(' ');
    if (words.size() < 2)
        return;
    const QList<QByteArray> size = words.at(0).split('x');
    bool ok[3] = {};
    t.width = size.size() == 2 ? size.at(0).toInt(&ok[0]) : 0;
    t.height = size.size() == 2 ? size.at(1).toInt(&ok[1]) : 0;
    t.encodedSize = words.at(1).toLongLong(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2] || t.width <= 0 || t.height <= 0 || t.encodedSize <= 0)
        return;
    t.offset = next;
    m_thumbnail = t;
    m_inThumbnail = true;
}

void Pass::command(const GcodeCommand& c, qint64 next)
{
    if (c.letter == 'T') {
        tool(c.code);
        return;
    }
    if (c.letter == 'M' && c.subcode < 0) {
        const MCode* m = std::find_if(std::begin(mCodes), std::end(mCodes),
                                      [&](const MCode& h) { return h.code == c.code; });
        if (m != std::end(mCodes)) {
            (this->*m->run)(c);
            return;
        }
    }
    // Setting a position makes the planner start the next move from rest.
    if (c.is('G', 92))
        m_planner.synchronize();
    switch (m_machine.execute(c)) {
    case Step::Motion:
        motion(c, next);
        break;
    case Step::Dwell:
        m_planner.synchronize(m_machine.seconds());
        m_dwell += m_machine.seconds();
        break;
    case Step::Home:
        m_planner.synchronize();
        break;
    case Step::Rejected:
        ++m_rejected;
        break;
    case Step::None:
        break;
    }
}

void Pass::motion(const GcodeCommand& c, qint64 next)
{
    if (c.code <= 3)
        ++m_moves;
    ++m_movesSinceMarker;
    const double* from = m_machine.start().v;
    const double z0 = from[Axis::Z];
    bool extruding = false; // somewhere along the line
    bool laying = false;    // along the last piece
    bool moved = false;
    for (const GcodeMachine::Point& p : m_machine.path()) {
        double d[GcodeMotionLimits::AxisCount];
        for (int a = 0; a < GcodeMotionLimits::AxisCount; ++a)
            d[a] = p.v[a] - from[a];
        m_planner.move(d, m_machine.feedrate());
        if (d[Axis::X] != 0 || d[Axis::Y] != 0 || d[Axis::Z] != 0) {
            if (!moved)
                m_travel.add(from);
            m_travel.add(p.v);
            moved = true;
            const bool lays = d[Axis::E] > 0 && (d[Axis::X] != 0 || d[Axis::Y] != 0);
            // Extrusion may stop and start again along an arc: each stretch
            // of it counts from its own start.
            if (lays && !laying)
                m_printing.add(from);
            if (lays)
                m_printing.add(p.v);
            laying = lays;
            extruding = extruding || lays;
        }
        from = p.v;
    }
    if (extruding)
        extrusion(z0, from[Axis::Z], next);
}

void Pass::extrusion(double z0, double z1, qint64 next)
{
    ++m_extrudingMoves;
    if (!m_extruded) {
        m_printHotend = m_hotend;
        m_printBed = m_bed;
    }
    m_markers.extruded(z1);
    if (m_markerSeen) {
        m_extruded = true;
        return;
    }

    // A move that climbs as it extrudes is a spiral's: its layer is a climb
    // of one layer height, counted from where the climb began. A flat layer
    // ends where flat extrusion goes on at another height.
    const bool climbing = std::fabs(z1 - z0) > SameHeight / 100;
    const double at = climbing ? z0 : z1;
    if (!m_extruded) {
        m_layerZ = at;
        m_layerClimbs = climbing;
        // The first layer's height above the bed is the step until a second
        // layer says otherwise.
        if (z1 > SameHeight && z1 <= 2)
            m_layerStep = z1;
    } else {
        const bool another = climbing || m_layerClimbs ? at - m_layerZ >= m_layerStep * 0.999 ||
                                                             at < m_layerZ - SameHeight
                                                       : std::fabs(at - m_layerZ) > SameHeight;
        if (another) {
            if (!climbing && !m_layerClimbs && at > m_layerZ && at - m_layerZ <= 2)
                m_layerStep = at - m_layerZ;
            // The travel to the new height belongs to the new layer.
            m_heights.begin(m_lastExtrusionEnd, m_afterLastExtrusion);
            m_layerZ = at;
            m_layerClimbs = climbing;
        } else {
            m_layerClimbs = m_layerClimbs || climbing;
        }
    }
    m_heights.extruded(z1);
    m_extruded = true;
    m_lastExtrusionEnd = next;
    m_afterLastExtrusion = m_machine.state();
}

void Pass::tool(int number)
{
    if (m_firstTool < 0)
        m_firstTool = number;
    else if (number != m_firstTool && m_otherTool < 0)
        m_otherTool = number;
}

void Pass::hotend(const GcodeCommand& c)
{
    if (c.has('S') && c.value('S') >= 0 && c.value('S') < 1000) {
        m_hotend = c.value('S');
        if (m_firstHotend <= 0)
            m_firstHotend = m_hotend;
    }
}

void Pass::hotendWait(const GcodeCommand& c)
{
    // R waits for cooling too; either sets the target.
    if (!c.has('S') && c.has('R') && c.value('R') >= 0 && c.value('R') < 1000) {
        m_hotend = c.value('R');
        if (m_firstHotend <= 0)
            m_firstHotend = m_hotend;
    }
    hotend(c);
    heatWait(c);
}

void Pass::bed(const GcodeCommand& c)
{
    if (c.has('S') && c.value('S') >= 0 && c.value('S') < 1000) {
        m_bed = c.value('S');
        if (m_firstBed <= 0)
            m_firstBed = m_bed;
    }
}

void Pass::bedWait(const GcodeCommand& c)
{
    if (!c.has('S') && c.has('R') && c.value('R') >= 0 && c.value('R') < 1000) {
        m_bed = c.value('R');
        if (m_firstBed <= 0)
            m_firstBed = m_bed;
    }
    bed(c);
    heatWait(c);
}

void Pass::heatWait(const GcodeCommand&)
{
    // The head stands still while the heaters get there; how long that takes
    // depends on the room and the printer, and slicers leave it out too.
    m_planner.synchronize();
    ++m_heatingWaits;
}

void Pass::volumetric(const GcodeCommand& c)
{
    // M200 D0 (or no diameter) turns it off.
    if (c.has('D') && c.value('D') > 0)
        m_volumetric = true;
}

namespace {

// A limit a file sets: positive and finite, or left as it was.
void setLimit(double* limit, const GcodeCommand& c, char letter, double scale = 1)
{
    if (c.has(letter) && c.value(letter) > 0 && c.value(letter) < 1e7)
        *limit = c.value(letter) * scale;
}

} // namespace

void Pass::maxAcceleration(const GcodeCommand& c)
{
    GcodeMotionLimits& l = m_planner.limits();
    static constexpr char letters[] = {'X', 'Y', 'Z', 'E'};
    for (int a = 0; a < GcodeMotionLimits::AxisCount; ++a)
        setLimit(&l.maxAcceleration[a], c, letters[a]);
}

void Pass::maxFeedrate(const GcodeCommand& c)
{
    GcodeMotionLimits& l = m_planner.limits();
    static constexpr char letters[] = {'X', 'Y', 'Z', 'E'};
    for (int a = 0; a < GcodeMotionLimits::AxisCount; ++a)
        setLimit(&l.maxFeedrate[a], c, letters[a]);
}

void Pass::acceleration(const GcodeCommand& c)
{
    GcodeMotionLimits& l = m_planner.limits();
    if (c.has('S')) {
        // The older form: S for printing and travel, T then for retraction.
        setLimit(&l.printAcceleration, c, 'S');
        setLimit(&l.travelAcceleration, c, 'S');
        setLimit(&l.retractAcceleration, c, 'T');
        return;
    }
    setLimit(&l.printAcceleration, c, 'P');
    setLimit(&l.retractAcceleration, c, 'R');
    setLimit(&l.travelAcceleration, c, 'T');
}

void Pass::advanced(const GcodeCommand& c)
{
    GcodeMotionLimits& l = m_planner.limits();
    if (c.has('X')) {
        setLimit(&l.jerk[GcodeMotionLimits::X], c, 'X');
        setLimit(&l.jerk[GcodeMotionLimits::Y], c, 'X');
    }
    setLimit(&l.jerk[GcodeMotionLimits::Y], c, 'Y');
    setLimit(&l.jerk[GcodeMotionLimits::Z], c, 'Z');
    setLimit(&l.jerk[GcodeMotionLimits::E], c, 'E');
    if (c.has('S') && c.value('S') >= 0 && c.value('S') < 1e4)
        l.minExtrudingFeedrate = c.value('S');
    if (c.has('T') && c.value('T') >= 0 && c.value('T') < 1e4)
        l.minTravelFeedrate = c.value('T');
    if (c.has('J') && c.value('J') >= 0 && c.value('J') < 10)
        l.junctionDeviation = c.value('J');
}

void Pass::jerkPerMinute(const GcodeCommand& c)
{
    GcodeMotionLimits& l = m_planner.limits();
    static constexpr char letters[] = {'X', 'Y', 'Z', 'E'};
    for (int a = 0; a < GcodeMotionLimits::AxisCount; ++a)
        setLimit(&l.jerk[a], c, letters[a], 1.0 / 60);
}

void Pass::finish(RMGcodeAnalysisResult* r, const LineReader& reader, qint64 start)
{
    m_planner.synchronize();
    r->bytes = reader.consumed() - start;
    r->lines = m_lines;
    r->moves = m_moves;
    r->extrudingMoves = m_extrudingMoves;
    r->printTime = m_planner.time();
    r->dwellTime = m_dwell;
    r->heatingWaits = m_heatingWaits;
    r->printingArea = m_printing;
    r->travelArea = m_travel;

    r->filamentDiameter = m_options.filamentDiameter;
    r->filamentDensity = m_options.filamentDensity;
    r->filamentLength = m_machine.state().position[Axis::E];
    r->filamentVolume = r->filamentLength * Pi * std::pow(m_options.filamentDiameter / 2, 2);
    r->filamentWeight = r->filamentVolume / 1000 * m_options.filamentDensity;

    // The pass is over: its lists move into the result.
    LayerList& list = m_markerSeen ? m_markers : m_heights;
    r->layersFromComments = m_markerSeen;
    if (m_moves > 0)
        r->layers = std::move(list.layers);
    for (int i = 0; i < r->layers.size(); ++i) {
        if (r->layers.at(i).extrudingMoves == 0)
            continue;
        if (r->firstExtrudingLayer < 0)
            r->firstExtrudingLayer = i;
        r->lastExtrudingLayer = i;
    }
    r->hotendTemperature = m_extruded ? m_printHotend : m_firstHotend;
    r->bedTemperature = m_extruded ? m_printBed : m_firstBed;
    r->thumbnails = std::move(m_thumbnails);
    r->generator = m_generator;
    r->slicerPrintTime = m_slicerTime;
    r->slicerFilamentLength = m_slicerFilament;

    QStringList& w = r->warnings;
    if (r->bytes == 0) {
        w << RMGcodeAnalysis::tr("The file is empty.");
    } else if (m_container) {
        w << RMGcodeAnalysis::tr("The file is binary G-code, which this analysis does not read.");
    } else if (reader.firstZeroByte() >= 0) {
        w << RMGcodeAnalysis::tr("The file holds binary data (a zero byte at byte %1): it is not "
                                 "a G-code text.")
                 .arg(reader.firstZeroByte());
    }
    if (reader.longLines() > 0)
        w << RMGcodeAnalysis::tr("Lines longer than 1 MiB were skipped: %1.")
                 .arg(reader.longLines());
    if (m_rejected > 0)
        w << RMGcodeAnalysis::tr("Lines with numbers beyond a printer's reach or not plain "
                                 "decimals were left out: %1.")
                 .arg(m_rejected);
    if (r->bytes > 0 && m_moves == 0 && !m_container)
        w << RMGcodeAnalysis::tr("The file has no moves: nothing would be printed.");
    else if (m_moves > 0 && !m_extruded)
        w << RMGcodeAnalysis::tr("Nothing is extruded: the file moves the head but lays no "
                                 "filament.");
    if (m_volumetric)
        w << RMGcodeAnalysis::tr("The file turns volumetric extrusion on (M200): its E values "
                                 "are read as lengths of filament all the same.");
    if (m_otherTool >= 0)
        w << RMGcodeAnalysis::tr("The file changes tools (T%1): the time of a tool change is left "
                                 "out, and the filament of all tools is added up.")
                 .arg(m_otherTool);
    if (list.capped)
        w << RMGcodeAnalysis::tr("More than %1 layers: the rest are counted in the last.")
                 .arg(RMGcodeAnalysis::MaxLayers);
}

} // namespace

void RMGcodeBox::add(const double p[3])
{
    if (empty) {
        std::copy(p, p + 3, min);
        std::copy(p, p + 3, max);
        empty = false;
        return;
    }
    for (int i = 0; i < 3; ++i) {
        min[i] = std::min(min[i], p[i]);
        max[i] = std::max(max[i], p[i]);
    }
}

class RMGcodeAnalysisPrivate
{
public:
    RMGcodeAnalysis::Options options;
    // Set by cancel() on any thread, read by the pass between lines.
    std::atomic<bool> cancelled{false};
};

RMGcodeAnalysis::RMGcodeAnalysis(QObject* parent)
    : QObject(parent), d_ptr(new RMGcodeAnalysisPrivate)
{}

RMGcodeAnalysis::~RMGcodeAnalysis() = default;

RMGcodeAnalysis::Options RMGcodeAnalysis::options() const
{
    Q_D(const RMGcodeAnalysis);
    return d->options;
}

void RMGcodeAnalysis::setOptions(const Options& options)
{
    Q_D(RMGcodeAnalysis);
    d->options = options;
}

void RMGcodeAnalysis::cancel()
{
    Q_D(RMGcodeAnalysis);
    d->cancelled = true;
}

RMGcodeAnalysisResult RMGcodeAnalysis::analyze(QIODevice* input)
{
    Q_D(RMGcodeAnalysis);
    RMGcodeAnalysisResult result;
    if (!input || !input->isOpen() || !input->isReadable()) {
        result.error = RMGcodeAnalysisResult::OpenError;
        result.errorString = tr("The G-code is not open for reading.");
        return result;
    }
    const qint64 total = input->isSequential() ? 0 : input->size() - input->pos();
    const qint64 start = input->isSequential() ? 0 : input->pos();
    LineReader reader(input, start, -1);
    // A binary G-code container starts with this magic: its text is
    // compressed blocks, nothing a text reader can use.
    char magic[4] = {};
    const bool container = input->peek(magic, 4) == 4 && std::memcmp(magic, "GCDE", 4) == 0;
    Pass pass(d->options, container);
    qint64 reported = start;
    int sinceCheck = 0;
    const char* b;
    const char* e;
    qint64 offset;
    while (reader.next(&b, &e, &offset)) {
        pass.line(b, e, offset, reader.consumed());
        if (++sinceCheck < CancelCheckLines && reader.consumed() - reported < ProgressStep)
            continue;
        sinceCheck = 0;
        if (d->cancelled.exchange(false)) {
            result.error = RMGcodeAnalysisResult::Cancelled;
            result.errorString = tr("The analysis was cancelled.");
            return result;
        }
        if (reader.consumed() - reported >= ProgressStep) {
            reported = reader.consumed();
            emit progress(reported - start, total);
        }
    }
    if (reader.failed()) {
        result.error = RMGcodeAnalysisResult::ReadError;
        result.errorString = tr("Could not read the G-code: %1").arg(input->errorString());
        return result;
    }
    pass.finish(&result, reader, start);
    emit progress(reader.consumed() - start, total);
    return result;
}

RMGcodeAnalysisResult RMGcodeAnalysis::analyzeFile(const QString& path)
{
    QFile file(path);
    RMGcodeAnalysisResult result;
    // A device or a pipe may never end (/dev/zero): only files are read.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        result.error = RMGcodeAnalysisResult::OpenError;
        result.errorString = info.isDir() ? tr("%1 is a directory.").arg(path)
                                          : tr("%1 is not a regular file.").arg(path);
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = RMGcodeAnalysisResult::OpenError;
        result.errorString = tr("Could not open %1: %2").arg(path, file.errorString());
        return result;
    }
    return analyze(&file);
}

QVector<RMGcodeSegment> RMGcodeAnalysis::readLayer(QIODevice* input,
                                                   const RMGcodeAnalysisResult& result, int index,
                                                   int maxSegments, bool* complete)
{
    QVector<RMGcodeSegment> segments;
    if (complete)
        *complete = false;
    if (!input || !input->isOpen() || input->isSequential() || index < 0 ||
        index >= result.layers.size())
        return segments;
    const RMGcodeLayer& layer = result.layers.at(index);
    const qint64 end = index + 1 < result.layers.size() ? result.layers.at(index + 1).offset : -1;
    if (!input->seek(layer.offset))
        return segments;
    LineReader reader(input, layer.offset, end);
    GcodeMachine machine(layer.state);
    GcodeCommand c;
    const char* b;
    const char* e;
    qint64 offset;
    bool all = true;
    while (all && reader.next(&b, &e, &offset)) {
        c.read(b, e);
        if (c.letter != 'G' && c.letter != 'M')
            continue;
        if (machine.execute(c) != GcodeMachine::Step::Motion)
            continue;
        const double* from = machine.start().v;
        for (const GcodeMachine::Point& p : machine.path()) {
            const double* to = p.v;
            const bool xy = to[Axis::X] != from[Axis::X] || to[Axis::Y] != from[Axis::Y];
            if (xy || to[Axis::Z] != from[Axis::Z]) {
                if (segments.size() >= maxSegments) {
                    all = false;
                    break;
                }
                RMGcodeSegment s;
                for (int a = 0; a < 3; ++a) {
                    s.from[a] = float(from[a]);
                    s.to[a] = float(to[a]);
                }
                s.extruding = xy && to[Axis::E] > from[Axis::E];
                segments.push_back(s);
            }
            from = to;
        }
    }
    if (complete)
        *complete = all && !reader.failed();
    return segments;
}

int RMGcodeAnalysis::largestThumbnail(const RMGcodeAnalysisResult& result)
{
    int best = -1;
    qint64 pixels = 0;
    for (int i = 0; i < result.thumbnails.size(); ++i) {
        const RMGcodeThumbnail& t = result.thumbnails.at(i);
        if (qint64(t.width) * t.height > pixels) {
            pixels = qint64(t.width) * t.height;
            best = i;
        }
    }
    return best;
}

QByteArray RMGcodeAnalysis::readThumbnail(QIODevice* input, const RMGcodeThumbnail& thumbnail)
{
    const qint64 size = thumbnail.end - thumbnail.offset;
    if (!input || !input->isOpen() || input->isSequential() || size <= 0 ||
        size > MaxThumbnailBytes || !input->seek(thumbnail.offset))
        return QByteArray();
    const QByteArray text = input->read(size);
    if (text.size() != size)
        return QByteArray();
    QByteArray base64;
    base64.reserve(int(size));
    for (const char c : text)
        if (c != ';' && c != ' ' && c != '\t' && c != '\r' && c != '\n')
            base64.append(c);
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return QByteArray();
    const QByteArray& image = *decoded;
    const bool matches =
        (thumbnail.format == QLatin1String("PNG") && image.startsWith("\x89PNG\r\n\x1a\n")) ||
        (thumbnail.format == QLatin1String("JPG") && image.startsWith("\xff\xd8\xff")) ||
        (thumbnail.format == QLatin1String("QOI") && image.startsWith("qoif"));
    return matches ? image : QByteArray();
}

namespace {

QJsonValue number(double v, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::isfinite(v) ? QJsonValue(std::round(v * scale) / scale) : QJsonValue();
}

QJsonValue box(const RMGcodeBox& b, const char* const names[6])
{
    if (b.empty)
        return QJsonValue();
    QJsonObject o;
    for (int i = 0; i < 3; ++i) {
        o.insert(QLatin1String(names[2 * i]), number(b.min[i], 3));
        o.insert(QLatin1String(names[2 * i + 1]), number(b.max[i], 3));
    }
    return o;
}

QJsonValue dimensions(const RMGcodeBox& b)
{
    if (b.empty)
        return QJsonValue();
    return QJsonObject{{QStringLiteral("width"), number(b.width(), 3)},
                       {QStringLiteral("depth"), number(b.depth(), 3)},
                       {QStringLiteral("height"), number(b.height(), 3)}};
}

QJsonValue orNull(double v, int decimals)
{
    return v > 0 ? number(v, decimals) : QJsonValue();
}

} // namespace

QJsonObject RMGcodeAnalysis::toJson(const RMGcodeAnalysisResult& r)
{
    static const char* const names[6] = {"min_x", "max_x", "min_y", "max_y", "min_z", "max_z"};
    QJsonArray thumbnails;
    for (const RMGcodeThumbnail& t : r.thumbnails)
        thumbnails.append(QJsonObject{{QStringLiteral("width"), t.width},
                                      {QStringLiteral("height"), t.height},
                                      {QStringLiteral("format"), t.format}});
    const double topZ = r.lastExtrudingLayer >= 0 ? r.layers.at(r.lastExtrudingLayer).z : 0;
    return QJsonObject{
        {QStringLiteral("bytes"), double(r.bytes)},
        {QStringLiteral("lines"), double(r.lines)},
        {QStringLiteral("moves"), double(r.moves)},
        {QStringLiteral("extruding_moves"), double(r.extrudingMoves)},
        {QStringLiteral("print_time"), number(r.printTime, 1)},
        {QStringLiteral("dwell_time"), number(r.dwellTime, 1)},
        {QStringLiteral("heating_waits"), r.heatingWaits},
        {QStringLiteral("filament"),
         QJsonObject{{QStringLiteral("length_mm"), number(r.filamentLength, 2)},
                     {QStringLiteral("volume_cm3"), number(r.filamentVolume / 1000, 3)},
                     {QStringLiteral("weight_g"), number(r.filamentWeight, 2)},
                     {QStringLiteral("diameter_mm"), r.filamentDiameter},
                     {QStringLiteral("density_g_cm3"), r.filamentDensity}}},
        {QStringLiteral("layers"),
         QJsonObject{
             {QStringLiteral("count"), r.layers.size()},
             {QStringLiteral("source"),
              r.layersFromComments ? QStringLiteral("comments") : QStringLiteral("heights")},
             {QStringLiteral("first_extruding"),
              r.firstExtrudingLayer >= 0 ? QJsonValue(r.firstExtrudingLayer + 1) : QJsonValue()},
             {QStringLiteral("last_extruding"),
              r.lastExtrudingLayer >= 0 ? QJsonValue(r.lastExtrudingLayer + 1) : QJsonValue()},
             {QStringLiteral("top_z"),
              r.lastExtrudingLayer >= 0 ? number(topZ, 3) : QJsonValue()}}},
        {QStringLiteral("printing_area"), box(r.printingArea, names)},
        {QStringLiteral("dimensions"), dimensions(r.printingArea)},
        {QStringLiteral("temperatures"),
         QJsonObject{{QStringLiteral("hotend"), orNull(r.hotendTemperature, 1)},
                     {QStringLiteral("bed"), orNull(r.bedTemperature, 1)}}},
        {QStringLiteral("thumbnails"), thumbnails},
        {QStringLiteral("slicer"),
         QJsonObject{{QStringLiteral("generator"),
                      r.generator.isEmpty() ? QJsonValue() : QJsonValue(r.generator)},
                     {QStringLiteral("print_time"),
                      r.slicerPrintTime >= 0 ? number(r.slicerPrintTime, 1) : QJsonValue()},
                     {QStringLiteral("filament_mm"), r.slicerFilamentLength >= 0
                                                         ? number(r.slicerFilamentLength, 2)
                                                         : QJsonValue()}}},
        {QStringLiteral("warnings"), QJsonArray::fromStringList(r.warnings)},
    };
}

QJsonObject RMGcodeAnalysis::octoPrintAnalysis(const RMGcodeAnalysisResult& r)
{
    static const char* const names[6] = {"minX", "maxX", "minY", "maxY", "minZ", "maxZ"};
    QJsonObject o{
        {QStringLiteral("estimatedPrintTime"), number(r.printTime, 1)},
        {QStringLiteral("filament"),
         QJsonObject{
             {QStringLiteral("tool0"),
              QJsonObject{{QStringLiteral("length"), number(r.filamentLength, 2)},
                          {QStringLiteral("volume"), number(r.filamentVolume / 1000, 3)}}}}},
    };
    if (!r.printingArea.empty) {
        o.insert(QStringLiteral("dimensions"), dimensions(r.printingArea));
        o.insert(QStringLiteral("printingArea"), box(r.printingArea, names));
    }
    if (!r.travelArea.empty) {
        o.insert(QStringLiteral("travelDimensions"), dimensions(r.travelArea));
        o.insert(QStringLiteral("travelArea"), box(r.travelArea, names));
    }
    return o;
}
