// Writes the test print delivered with the program: a small calibration
// plate that shows whether the printer is levelled and extrudes evenly. A
// 24 mm square base of two solid layers (two perimeters and a rectilinear
// fill, crossed between the layers) carries a 16 mm square frame, two
// perimeters thick and six layers high. About a minute and a half of
// printing at the speeds below.
//
//   zelk-test-print OUTPUT
#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr double FILAMENT_DIAMETER = 1.75;
constexpr double LINE_WIDTH = 0.45;
constexpr double FIRST_LAYER = 0.3;
constexpr double LAYER = 0.2;
constexpr double CENTRE = 60.0; // of the plate, on both axes
constexpr double BASE = 24.0;   // side of the base
constexpr double FRAME = 16.0;  // outer side of the frame
constexpr int FRAME_LAYERS = 6;
constexpr double FILL_SPACING = 0.5;
constexpr int TEMPERATURE = 210;
constexpr int PERIMETER_FEED = 1800; // mm/min
constexpr int FILL_FEED = 2400;
constexpr int TRAVEL_FEED = 6000;
constexpr double PI = 3.14159265358979323846;

class Writer
{
public:
    explicit Writer(std::FILE* file) : out(file) {}

    void line(const char* text) { std::fprintf(out, "%s\n", text); }

    void travel(double x, double y)
    {
        std::fprintf(out, "G0 X%.3f Y%.3f F%d\n", x, y, TRAVEL_FEED);
        cx = x;
        cy = y;
    }

    void layer(double z, double height)
    {
        std::fprintf(out, ";LAYER Z%.2f\nG1 Z%.3f F%d\n", z, z, TRAVEL_FEED / 2);
        layerHeight = height;
    }

    void extrude(double x, double y, int feed)
    {
        if (retracted)
            unretract();
        const double length = std::hypot(x - cx, y - cy);
        const double area = PI * FILAMENT_DIAMETER * FILAMENT_DIAMETER / 4;
        e += length * LINE_WIDTH * layerHeight / area;
        std::fprintf(out, "G1 X%.3f Y%.3f E%.5f F%d\n", x, y, e, feed);
        cx = x;
        cy = y;
    }

    // A closed square of side `side` around the centre.
    void square(double side)
    {
        const double lo = CENTRE - side / 2, hi = CENTRE + side / 2;
        travel(lo, lo);
        extrude(hi, lo, PERIMETER_FEED);
        extrude(hi, hi, PERIMETER_FEED);
        extrude(lo, hi, PERIMETER_FEED);
        extrude(lo, lo, PERIMETER_FEED);
    }

    // Before a layer change: 1 mm back, given again at the next extrusion.
    void retract()
    {
        e -= RETRACTION;
        retracted = true;
        std::fprintf(out, "G1 E%.5f F2400\n", e);
    }

    // Back-and-forth lines filling the square of side `side`, along X or Y.
    void fill(double side, bool alongX)
    {
        const double lo = CENTRE - side / 2, hi = CENTRE + side / 2;
        bool forward = true;
        bool first = true;
        for (double across = lo; across <= hi + 1e-9; across += FILL_SPACING) {
            const double from = forward ? lo : hi, to = forward ? hi : lo;
            if (first) {
                alongX ? travel(from, across) : travel(across, from);
                first = false;
            } else {
                alongX ? extrude(from, across, FILL_FEED) : extrude(across, from, FILL_FEED);
            }
            alongX ? extrude(to, across, FILL_FEED) : extrude(across, to, FILL_FEED);
            forward = !forward;
        }
    }

private:
    void unretract()
    {
        e += RETRACTION;
        retracted = false;
        std::fprintf(out, "G1 E%.5f F2400\n", e);
    }

    static constexpr double RETRACTION = 1.0;
    std::FILE* out;
    bool retracted = false;
    double cx = 0, cy = 0, e = 0;
    double layerHeight = LAYER;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zelk-test-print OUTPUT\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    Writer g(out);
    g.line("; Zelk test print: a 24 mm calibration plate with a raised 16 mm frame");
    g.line("; PLA, 0.45 mm lines, 0.3 mm first layer, 0.2 mm layers");
    g.line("M107");
    std::fprintf(out, "M104 S%d\n", TEMPERATURE);
    g.line("G28");
    g.line("G1 Z5 F3000");
    std::fprintf(out, "M109 S%d\n", TEMPERATURE);
    g.line("G21");
    g.line("G90");
    g.line("M82");
    g.line("M117 Zelk test print");
    g.line("G92 E0");

    // A prime line along the front edge, clear of the part.
    g.layer(FIRST_LAYER, FIRST_LAYER);
    g.travel(CENTRE - BASE / 2, CENTRE - BASE / 2 - 6);
    g.extrude(CENTRE + BASE / 2, CENTRE - BASE / 2 - 6, PERIMETER_FEED);
    g.retract();

    double z = FIRST_LAYER;
    for (int base = 0; base < 2; ++base) {
        if (base > 0) {
            z += LAYER;
            g.retract();
            g.layer(z, LAYER);
        }
        g.square(BASE);
        g.square(BASE - 2 * LINE_WIDTH);
        g.fill(BASE - 4 * LINE_WIDTH, base % 2 == 0);
    }
    for (int layer = 0; layer < FRAME_LAYERS; ++layer) {
        z += LAYER;
        g.retract();
        g.layer(z, LAYER);
        g.square(FRAME);
        g.square(FRAME - 2 * LINE_WIDTH);
    }

    g.retract();
    g.line("M104 S0");
    std::fprintf(out, "G1 Z%.3f F600\n", z + 10);
    g.line("G28 X0 Y0");
    g.line("M84");
    g.line("M117 Test print done");
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
