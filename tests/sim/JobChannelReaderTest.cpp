// The printer's reading of the job channel: control objects however the bytes
// are split, pushed files byte-exact whatever they hold, and resynchronisation
// after garbage, with bounded memory.
#include <JobChannelReader.h>
#include <Json.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using zelksim::JobChannelReader;

namespace {

const std::string STATUS = R"({"metadata":{"version":1,"type":"status"}})";

std::string header(size_t size)
{
    return R"({"metadata":{"version":1,"type":"file_push"},"file_push":{"size":)" +
           std::to_string(size) + R"(,"adler32":1,"job_id":""}})";
}

// Records what the reader hands on; a file-push header claims its size.
struct Recorder
{
    std::vector<std::string> objects;
    std::string file;
    JobChannelReader reader{
        {[this](yajl_val o) {
             objects.push_back(zelksim::json::serialize(o));
             yajl_val size = zelksim::json::at(o, {"file_push", "size"});
             if (size)
                 reader.expectFile(static_cast<uint64_t>(zelksim::json::integer(size)));
         },
         [this](const uint8_t* d, size_t n) { file.append(reinterpret_cast<const char*>(d), n); }}};

    void feed(const std::string& bytes, size_t chunk = 0)
    {
        if (!chunk)
            chunk = bytes.size() ? bytes.size() : 1;
        for (size_t at = 0; at < bytes.size(); at += chunk)
            reader.feed(reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                        std::min(chunk, bytes.size() - at));
    }
};

struct SplitCase
{
    const char* name;
    std::string input;
    std::vector<std::string> objects;
    std::string file;
};

class Splits : public testing::TestWithParam<SplitCase>
{};

const SplitCase SPLITS[] = {
    {"OneObject", STATUS, {STATUS}, ""},
    {"SeveralInOneWrite",
     STATUS + STATUS + R"({"metadata":{"type":"pause"}})",
     {STATUS, STATUS, R"({"metadata":{"type":"pause"}})"},
     ""},
    {"BracesInsideStringsDoNotEndAnObject", R"({"a":"}{\"}"})", {R"({"a":"}{\"}"})"}, ""},
    {"TextAndWhitespaceBetweenObjectsIsSkipped",
     "ok\n" + STATUS + " \r\n" + STATUS,
     {STATUS, STATUS},
     ""},
    {"StrayClosingBraceIsSkipped", "}}" + STATUS, {STATUS}, ""},
    {"MessageInsideGarbageIsFound", "{garbage" + STATUS + "}", {STATUS}, ""},
    {"UnclosedGarbageBeforeAMessage", "{\"unterminated " + STATUS, {}, ""},
    {"FileDataFollowsItsHeader", header(6) + "G28\nG1" + STATUS, {header(6), STATUS}, "G28\nG1"},
    {"HeaderInsideFileDataIsData",
     header(STATUS.size() + header(3).size()) + STATUS + header(3),
     {header(STATUS.size() + header(3).size())},
     STATUS + header(3)},
    {"FileDataMayHoldAnyByte",
     header(4) + std::string("\0{\xff}", 4) + STATUS,
     {header(4), STATUS},
     std::string("\0{\xff}", 4)},
};

} // namespace

TEST_P(Splits, SameResultForEverySplit)
{
    const SplitCase& c = GetParam();
    for (size_t chunk : {size_t(0), size_t(1), size_t(2), size_t(7), size_t(64)}) {
        Recorder r;
        r.feed(c.input, chunk);
        EXPECT_EQ(r.objects, c.objects) << "chunk " << chunk;
        EXPECT_EQ(r.file, c.file) << "chunk " << chunk;
        EXPECT_EQ(r.reader.fileRemaining(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(JobChannelReader, Splits, testing::ValuesIn(SPLITS),
                         [](const testing::TestParamInfo<SplitCase>& param) {
                             return param.param.name;
                         });

TEST(JobChannelReader, UnclosedGarbageBeforeAMessageCostsOnlyItsBound)
{
    // An opening quote that never closes swallows what follows, up to the
    // bound; after that the scan starts again and finds later messages.
    Recorder r;
    r.feed("{\"" + std::string(JobChannelReader::MAX_OBJECT, 'x') + STATUS);
    EXPECT_EQ(r.objects, std::vector<std::string>{STATUS});
}

TEST(JobChannelReader, EndlessObjectIsGivenUp)
{
    Recorder r;
    const std::string endless = "{\"a\":[" + std::string(100000, '[');
    r.feed(endless, 5120);
    r.feed(STATUS);
    EXPECT_EQ(r.objects, std::vector<std::string>{STATUS});
    EXPECT_GT(r.reader.discarded(), 0u);
}

TEST(JobChannelReader, ResetForgetsHalfAnObjectAndTheRestOfAFile)
{
    Recorder r;
    r.feed(header(100) + "G1 X1");
    EXPECT_EQ(r.reader.fileRemaining(), 95u);
    r.reader.reset();
    r.feed("G1 X2\n" + STATUS.substr(0, 10));
    r.reader.reset();
    r.feed(STATUS);
    EXPECT_EQ(r.objects, (std::vector<std::string>{header(100), STATUS}));
    EXPECT_EQ(r.file, "G1 X1");
}
