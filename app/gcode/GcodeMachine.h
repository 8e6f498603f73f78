#pragma once

#include <QtGlobal>

#include <vector>

// A G-code line's command (G1, M104, T0) and the values of the letters that
// follow it, read with GcodeWordReader. Line numbers (N) and checksums (*)
// are dropped.
struct GcodeCommand
{
    char letter = 0;  // 'G', 'M', 'T'; 0 when the line has no command
    int code = -1;    // 1 for G1
    int subcode = -1; // 1 for G29.1; -1 without
    quint32 present = 0;
    double values[26] = {};
    // Bytes from the command to the end of the line: what running it may
    // cost is bounded by it.
    int length = 0;

    bool has(char c) const { return present & (1u << (c - 'A')); }
    // NaN for a word whose text is no plain decimal ("X1e5", "X1-2"): the
    // machine leaves out a move with one, as firmwares differ on it.
    double value(char c) const { return values[c - 'A']; }
    bool is(char l, int c) const { return letter == l && code == c; }

    // Reads the line [begin, end): its command, the first word after an
    // optional line number, or none (letter 0) when that is no G, M or T
    // with a command number; then its arguments, a letter alone as 0 and
    // the last of a letter given twice. Bytes that are no part of G-code
    // are stepped over (GcodeWordReader::SkipJunk): an estimate reads what
    // it can.
    void read(const char* begin, const char* end);
};

// Where the head is and how the file's numbers are read: what a printer keeps
// from line to line. Small and copyable: the analysis keeps one per layer so
// that the layer can be read again from its first byte.
struct GcodeMachineState
{
    enum Axis { X, Y, Z, E, AxisCount };

    // In the printer's coordinates, mm; E is the filament fed so far.
    double position[AxisCount] = {};
    // G92: the file's coordinate of an axis is position - offset.
    double offset[AxisCount] = {};
    double feedrate = 25;      // mm/s, as the last F set it (the firmware's own start value)
    double feedMultiplier = 1; // M220
    bool relative = false;     // G91 (E too)
    bool relativeE = false;    // M83
    bool inches = false;       // G20
    bool retracted = false;    // by G10, until G11
    // Firmware retraction (M207, M208).
    double retractLength = 3;      // mm
    double retractFeedrate = 45;   // mm/s
    double retractZLift = 0;       // mm
    double recoverExtraLength = 0; // mm
    double recoverFeedrate = 8;    // mm/s
};

// Runs the commands that move the head or change how positions are read: moves
// (arcs cut into straight segments), dwell, homing, G92, units, modes, firmware
// retraction. What the head does is left in path() for the caller to plan,
// draw or measure.
class GcodeMachine
{
public:
    enum class Step {
        None,     // not a command this class runs (or one that changed a mode)
        Motion,   // the head moved along path(), at feedrate()
        Dwell,    // nothing moves for seconds()
        Home,     // the axes went home: the position is known again, the time is not
        Rejected, // a number beyond what any printer moves: the line is ignored
    };
    struct Point
    {
        double v[GcodeMachineState::AxisCount];
    };

    // Chord deviation of the straight segments that stand for an arc, mm.
    static constexpr double ArcTolerance = 0.0125;
    // An arc is cut into at most this many segments per byte of its line:
    // a short line that asks for a huge circle must not stall the reader.
    static constexpr int ArcSegmentsPerByte = 4;
    // Numbers beyond this (mm or inch; mm/min for F) are no coordinates.
    static constexpr double MaxCoordinate = 1e6;

    GcodeMachine() = default;
    explicit GcodeMachine(const GcodeMachineState& state) : m_state(state) {}

    const GcodeMachineState& state() const { return m_state; }
    Step execute(const GcodeCommand& command);

    // After Motion: the points the head went through, the last one its new
    // position, starting from `start()`.
    const Point& start() const { return m_start; }
    const std::vector<Point>& path() const { return m_path; }
    double feedrate() const { return m_feedrate; }
    // After Dwell.
    double seconds() const { return m_seconds; }

private:
    Step move(const GcodeCommand& c);
    Step arc(const GcodeCommand& c, bool clockwise);
    Step firmwareRetraction(bool retract);
    void setPosition(const GcodeCommand& c);
    void home(const GcodeCommand& c);
    double target(int axis, double value) const;
    void begin();

    GcodeMachineState m_state;
    Point m_start = {};
    std::vector<Point> m_path;
    double m_feedrate = 0;
    double m_seconds = 0;
};
