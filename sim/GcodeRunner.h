#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zelksim {

// Plays a print file against machine time, as precisely as the printer's
// progress report needs: a move takes its path length over its feed rate (no
// acceleration), a dwell its time, every line a little on top; M104/M109 set
// the hot end's target and M109 waits for it. Progress is the share of the
// file's bytes executed, as the firmware reports it.
//
// It reads the file as bytes from anyone: numbers that do not parse are
// ignored, and every line's time is bounded, so garbage never stalls a print.
class GcodeRunner
{
public:
    struct Event
    {
        enum Kind { Temperature, Message } kind;
        double celsius = 0; // Temperature: the new target (0: off)
        std::string text;   // Message: the text of an M117
    };

    static constexpr double LINE_SECONDS = 0.001; // parsing and planning, per line
    static constexpr double MAX_LINE_SECONDS = 600.0;
    static constexpr double HOMING_SECONDS = 10.0; // a G28 inside the file

    explicit GcodeRunner(std::string program);

    // Executes up to `seconds` of machine time and returns the time used: all
    // of it, unless the program ends or waits for the hot end (waitingFor()).
    double run(double seconds);
    // The target of the M109 being waited for.
    std::optional<double> waitingFor() const { return waitTarget; }
    void stopWaiting() { waitTarget.reset(); }

    size_t position() const { return pos; } // bytes executed
    size_t size() const { return text.size(); }
    bool finished() const { return pos >= text.size() && !lineLoaded; }
    int percent() const;
    double elapsed() const { return clock; } // machine time so far
    // Temperatures and messages met since the last call, in file order.
    std::vector<Event> takeEvents();

    // The first hot-end temperature the file asks for (M104 or M109 with S or
    // R above zero), if any: what the printer heats to before it builds.
    static std::optional<double> firstTemperature(const std::string& program);
    // Machine time of the whole file (waits for heat cost nothing).
    static double duration(const std::string& program);

private:
    struct Words
    {
        char letter = 0; // G, M or T; 0 when the line has no command
        int code = -1;
        double v[26] = {};
        bool has[26] = {};
        std::string rest; // the raw text after the command word (M117)
        double get(char c, double fallback) const { return has[c - 'A'] ? v[c - 'A'] : fallback; }
        bool present(char c) const { return has[c - 'A']; }
    };

    static Words parse(const char* begin, const char* end);
    void load(); // parses the line at pos and applies what it does
    double moveSeconds(const Words& w);

    std::string text;
    size_t pos = 0;
    size_t lineEnd = 0;
    bool lineLoaded = false;
    double lineLeft = 0;
    bool lineWaits = false;
    std::optional<double> lineTarget;
    std::optional<double> waitTarget;
    double clock = 0;
    std::vector<Event> events;

    // Modal machine state.
    bool absolute = true;  // G90 / G91
    bool eAbsolute = true; // M82 / M83
    double unit = 1.0;     // G21 mm, G20 inch
    double feed = 1200.0;  // mm/min
    double x = 0, y = 0, z = 0, e = 0;
};

} // namespace zelksim
