// How long the virtual printer takes over a print file, and how its progress
// follows: move times from lengths and feed rates in every positioning mode,
// arcs, dwells, waits for heat, and input that must not stall a print.
#include <GcodeRunner.h>

#include <gtest/gtest.h>

#include <cmath>

using zelksim::GcodeRunner;

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr double LINE = GcodeRunner::LINE_SECONDS;

struct TimingCase
{
    const char* name;
    const char* program;
    double seconds; // without the per-line time
    int lines;
};

class Timing : public testing::TestWithParam<TimingCase>
{};

const TimingCase TIMING[] = {
    {"FeedIsMillimetresPerMinute", "G1 X10 F600\n", 1.0, 1},
    {"FeedIsModal", "G1 X10 F600\nG1 X20\n", 2.0, 2},
    {"DiagonalIsOneMove", "G1 X30 Y40 F3000\n", 1.0, 1},
    {"RelativeMovesAddUp", "G91\nG1 X10 F600\nG1 X10\n", 2.0, 3},
    {"AbsoluteAfterRelative", "G91\nG1 X10 F600\nG90\nG1 X10\n", 1.0, 4},
    {"G92SetsThePositionWithoutMoving", "G1 X10 F600\nG92 X0\nG1 X10\n", 2.0, 3},
    {"RetractionOnlyTakesItsFilamentLength", "G1 E-2 F120\n", 1.0, 1},
    {"RelativeExtrusion", "M83\nG1 E1 F60\nG1 E1\n", 2.0, 3},
    {"InchesAreConverted", "G20\nG1 X1 F60\nG21\nG1 X35.4 F600\n", 2.0, 4},
    {"FullCircleClockwise", "G2 X0 Y0 I5 J0 F600\n", 2 * PI * 5 / 10, 1},
    {"QuarterCircleCounterClockwise", "G1 X10 F600\nG3 X0 Y10 I-10 J0\n", 1 + 2 * PI * 10 / 4 / 10,
     2},
    {"ArcByRadius", "G1 X10 F600\nG3 X0 Y10 R10\n", 1 + 2 * PI * 10 / 4 / 10, 2},
    {"ArcByNegativeRadiusTakesTheLongWay", "G1 X10 F600\nG3 X0 Y10 R-10\n",
     1 + 2 * PI * 10 * 3 / 4 / 10, 2},
    {"DwellInMilliseconds", "G4 P1500\n", 1.5, 1},
    {"DwellInSeconds", "G4 S2\n", 2.0, 1},
    {"HomingInsideTheFile", "G28\n", GcodeRunner::HOMING_SECONDS, 1},
    {"CommentsAndBlankLinesCostOnlyTheirLine", "; hello\n\n(just a comment)\n", 0.0, 3},
    {"LineNumbersAndChecksums", "N10 G1 X10 F600*71\nN11 G1 X20*99\n", 2.0, 2},
    {"CommentsDoNotMove", "G1 X10 F600 ; X99\nG1 (X50) X20\n", 2.0, 2},
    {"ZeroFeedKeepsThePreviousFeed", "G1 X10 F600\nG1 X20 F0\n", 2.0, 2},
    {"TinyFeedIsTheSlowestSpeedNotForever", "G1 X1 F0.001\n", 1.0, 1},
    {"SpeedIsCappedAtWhatTheMechanicsDo", "G1 X300 F999999\n", 1.0, 1},
    {"CrLfLineEnds", "G1 X10 F600\r\nG1 X20\r\n", 2.0, 2},
    {"NoFinalLineEnd", "G1 X10 F600", 1.0, 1},
    // Garbage: numbers that do not parse are ignored, huge ones are bounded.
    {"UnparsableNumbersAreIgnored", "G1 Xnan Yinf F600\nG1 X-- Y. Z+\n", 0.0, 2},
    {"HugeDwellIsBounded", "G4 S999999999\n", GcodeRunner::MAX_LINE_SECONDS - LINE, 1},
};

} // namespace

TEST_P(Timing, TakesItsMoveTimePlusALineEach)
{
    const TimingCase& c = GetParam();
    EXPECT_NEAR(GcodeRunner::duration(c.program), c.seconds + c.lines * LINE, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(GcodeRunner, Timing, testing::ValuesIn(TIMING),
                         [](const testing::TestParamInfo<TimingCase>& param) {
                             return param.param.name;
                         });

TEST(GcodeRunner, ProgressFollowsTheBytesExecutedAndEndsAtHundred)
{
    // Ten one-second moves back and forth.
    std::string program;
    for (int i = 1; i <= 10; ++i)
        program += i % 2 ? "G1 X10 F600\n" : "G1 X0 F600\n";
    GcodeRunner r(program);
    EXPECT_EQ(r.percent(), 0);
    int last = 0;
    for (int step = 0; step < 100 && !r.finished(); ++step) {
        r.run(0.25);
        EXPECT_GE(r.percent(), last);
        last = r.percent();
    }
    EXPECT_TRUE(r.finished());
    EXPECT_EQ(r.percent(), 100);
    EXPECT_EQ(r.position(), program.size());
}

TEST(GcodeRunner, RunsTheSameInSmallStepsAsInOne)
{
    const std::string program = "G1 X10 Y5 F900\nG2 X10 Y5 I3 J0\nG4 P250\nG1 E-1 F1800\n";
    GcodeRunner stepwise(program);
    double used = 0;
    while (!stepwise.finished())
        used += stepwise.run(0.01);
    EXPECT_NEAR(used, GcodeRunner::duration(program), 1e-9);
    EXPECT_NEAR(stepwise.elapsed(), used, 1e-9);
}

TEST(GcodeRunner, WaitsForHeatOnlyWhereTheFileSaysSo)
{
    GcodeRunner r("M104 S180\nG1 X10 F600\nM109 S205\nG1 X20\nM117 Done {ok}\nM104 S0\n");
    r.run(100);
    ASSERT_TRUE(r.waitingFor().has_value());
    EXPECT_EQ(*r.waitingFor(), 205);
    auto events = r.takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, GcodeRunner::Event::Temperature);
    EXPECT_EQ(events[0].celsius, 180);
    EXPECT_EQ(events[1].celsius, 205);
    // Waiting costs no machine time of the file: the printer accounts for it.
    EXPECT_NEAR(r.elapsed(), 1 + 3 * LINE, 1e-9);
    EXPECT_EQ(r.run(100), 0);

    r.stopWaiting();
    r.run(100);
    EXPECT_TRUE(r.finished());
    events = r.takeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, GcodeRunner::Event::Message);
    EXPECT_EQ(events[0].text, "Done {ok}");
    EXPECT_EQ(events[1].celsius, 0);
}

TEST(GcodeRunner, FirstTemperatureIsWhatThePrinterPreheatsTo)
{
    EXPECT_EQ(GcodeRunner::firstTemperature("M104 S0\nM109 S215 ; go\nM104 S190\n"), 215.0);
    EXPECT_EQ(GcodeRunner::firstTemperature("; M104 S250\nM109 R230\n"), 230.0);
    EXPECT_EQ(GcodeRunner::firstTemperature("M104 S999\n"), 300.0);
    EXPECT_FALSE(GcodeRunner::firstTemperature("G1 X10\n").has_value());
}

TEST(GcodeRunner, BinaryNoiseStillEnds)
{
    std::string noise;
    unsigned v = 12345;
    for (int i = 0; i < 20000; ++i) {
        v = v * 1103515245 + 12345;
        noise.push_back(static_cast<char>(v >> 16));
    }
    GcodeRunner r(noise);
    for (int i = 0; i < 100000 && !r.finished(); ++i)
        r.run(GcodeRunner::MAX_LINE_SECONDS);
    EXPECT_TRUE(r.finished());
    EXPECT_EQ(r.percent(), 100);
}

TEST(GcodeRunner, EmptyFileIsDoneAtOnce)
{
    GcodeRunner r("");
    EXPECT_TRUE(r.finished());
    EXPECT_EQ(r.percent(), 100);
    EXPECT_EQ(r.run(10), 0);
}
