// The message model: the envelope as it goes on the wire, byte for byte; what
// a received "data" becomes; the readers; copies; the id counter.
#include "SimEnvironment.h"
#include "TestTransport.h"

#include <trel/TrelMessage.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

using namespace zelktest;

namespace {

struct Tree
{
    explicit Tree(const char* text) : v(yajl_tree_parse(text, nullptr, 0)) {}
    ~Tree() { yajl_tree_free(v); }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    yajl_val v;
};

std::string idText(const TrelMessage& m)
{
    return std::to_string(m.id());
}

class Messages : public testing::Test
{
protected:
    TestTransport transport;
};

} // namespace

struct AttrCase
{
    unsigned int bits;
    const char* attrs;
};

class Compile : public Messages, public testing::WithParamInterface<AttrCase>
{};

TEST_P(Compile, EnvelopeIsCompactWithAttrsInFixedOrder)
{
    TrelMessage m(transport, GetParam().bits, nullptr);
    EXPECT_EQ(m.compile(), std::string("{\"transport\":{\"attrs\":") + GetParam().attrs +
                               ",\"id\":" + idText(m) + "},\"data\":{}}");
}

INSTANTIATE_TEST_SUITE_P(
    Attrs, Compile,
    testing::Values(AttrCase{0, "[]"}, AttrCase{0x01, "[\"request\"]"},
                    AttrCase{0x0F, "[\"request\",\"response\",\"twoway\",\"oneway\"]"},
                    AttrCase{0x1F, "[\"request\",\"response\",\"twoway\",\"oneway\",\"ack\"]"},
                    AttrCase{0x14, "[\"oneway\",\"ack\"]"},
                    AttrCase{0xE0, "[]"})); // unknown bits are not written

TEST_F(Messages, CommandAndEventCompileTheirKinds)
{
    NamedCommand cmd(transport, "gpio_output_set", 4);
    EXPECT_EQ(cmd.compile(),
              "{\"transport\":{\"attrs\":[\"request\",\"twoway\"],\"id\":" + idText(cmd) +
                  "},\"data\":{\"command\":{\"idx\":4,\"name\":\"gpio_output_set\"}}}");
    EXPECT_EQ(cmd.type(), TrelMessage::COMMAND);
    EXPECT_TRUE(cmd.twoway());

    TrelCommand empty(transport);
    EXPECT_EQ(empty.compile(), "{\"transport\":{\"attrs\":[\"request\",\"twoway\"],\"id\":" +
                                   idText(empty) + "},\"data\":{\"command\":{}}}");

    TrelEvent event(transport);
    EXPECT_EQ(event.attrs(), TREL_ATTR_REQUEST | TREL_ATTR_ONEWAY);
    EXPECT_EQ(event.type(), TrelMessage::EVENT);
    EXPECT_FALSE(event.twoway());
}

struct ElevateCase
{
    const char* data;
    int type;
};

class Elevate : public Messages, public testing::WithParamInterface<ElevateCase>
{};

TEST_P(Elevate, ReceivedDataBecomesTheMostSpecificKind)
{
    Tree data(GetParam().data);
    TrelMessage plain(transport, TREL_ATTR_REQUEST, 5, data.v);
    auto m = TrelMessage::elevate(plain);
    EXPECT_EQ(m->type(), GetParam().type);
    EXPECT_EQ(m->id(), 5u);
    EXPECT_EQ(m->get_unparsed_data(), data.v);
    if (GetParam().type == TrelMessage::COMMAND) {
        EXPECT_NE(dynamic_cast<TrelCommand*>(m.get()), nullptr);
    } else if (GetParam().type == TrelMessage::EVENT) {
        EXPECT_NE(dynamic_cast<TrelEvent*>(m.get()), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Data, Elevate,
    testing::Values(ElevateCase{"{\"command\":{}}", TrelMessage::COMMAND},
                    ElevateCase{"{\"event\":{}}", TrelMessage::EVENT},
                    ElevateCase{"{\"event\":{},\"command\":{}}", TrelMessage::COMMAND},
                    ElevateCase{"{\"command\":[],\"event\":{}}", TrelMessage::EVENT},
                    ElevateCase{"{\"command\":1}", TrelMessage::PLAIN},
                    ElevateCase{"{}", TrelMessage::PLAIN}));

TEST_F(Messages, CopiesStartWithoutAResponseAndAssignmentKeepsItsOwn)
{
    TrelMessage a(transport, TREL_ATTR_REQUEST | TREL_ATTR_TWOWAY, nullptr);
    auto response = std::make_shared<TrelMessage>(transport, TREL_ATTR_RESPONSE, a.id(), nullptr);
    a.set_response(response);
    ASSERT_TRUE(a.response_available());

    TrelMessage copy(a);
    EXPECT_EQ(copy.id(), a.id());
    EXPECT_EQ(copy.attrs(), a.attrs());
    EXPECT_FALSE(copy.response_available());

    TrelMessage b(transport, TREL_ATTR_ONEWAY, nullptr);
    auto own = std::make_shared<TrelMessage>(transport, TREL_ATTR_RESPONSE, b.id(), nullptr);
    b.set_response(own);
    b = a;
    EXPECT_EQ(b.id(), a.id());
    EXPECT_EQ(b.response(), own);
}

struct ReaderCase
{
    const char* data;
    const char* name;
    int idx;
    std::vector<std::string> keys;
    bool hasReturn;
};

class Readers : public Messages, public testing::WithParamInterface<ReaderCase>
{};

TEST_P(Readers, ReadWhatIsThereAndNothingElse)
{
    Tree data(GetParam().data);
    std::shared_ptr<TrelMessage> m =
        std::make_shared<TrelMessage>(transport, TREL_ATTR_RESPONSE, 1, data.v);
    EXPECT_EQ(TrelCommand::get_unparsed_cmd_name(m), GetParam().name);
    EXPECT_EQ(TrelCommand::get_unparsed_cmd_idx(m), GetParam().idx);
    EXPECT_EQ(TrelCommand::get_unparsed_arg_keys(m), GetParam().keys);
    EXPECT_EQ(TrelCommand::get_unparsed_return(m) != nullptr, GetParam().hasReturn);
}

INSTANTIATE_TEST_SUITE_P(
    Data, Readers,
    testing::Values(
        ReaderCase{"{\"command\":{\"idx\":7,\"name\":\"n\",\"args\":{\"b\":1,\"a\":2},"
                   "\"__return__\":null}}",
                   "n",
                   7,
                   {"b", "a"},
                   true},
        ReaderCase{"{}", "", 0, {}, false}, ReaderCase{"{\"command\":[]}", "", 0, {}, false},
        ReaderCase{"{\"command\":{\"idx\":\"7\",\"name\":7,\"args\":[1]}}", "", 0, {}, false},
        ReaderCase{"{\"command\":{\"idx\":4294967301}}", "", 5, {}, false}, // cut to 32 bits
        ReaderCase{"{\"command\":{\"idx\":-1.9}}", "", -1, {}, false},
        ReaderCase{"{\"command\":{\"idx\":1e300}}", "", -1, {}, false})); // clamped, then cut

TEST_F(Messages, ReadersOfANullMessageAreEmpty)
{
    std::shared_ptr<TrelMessage> none;
    EXPECT_EQ(TrelCommand::get_unparsed_command(none), nullptr);
    EXPECT_EQ(TrelCommand::get_unparsed_cmd_name(none), "");
    EXPECT_EQ(TrelEvent::get_unparsed_args(none), nullptr);
}

struct ParseCase
{
    const char* transport;
    unsigned int bits;
    unsigned int id;
};

class ParseTransport : public Messages, public testing::WithParamInterface<ParseCase>
{};

TEST_P(ParseTransport, AttributesAndIdAreReadLeniently)
{
    Tree t(GetParam().transport);
    Tree d("{}");
    auto m = transport.parse_message(t.v, d.v);
    EXPECT_EQ(m->attrs(), GetParam().bits);
    EXPECT_EQ(m->id(), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(
    Data, ParseTransport,
    testing::Values(ParseCase{"{\"attrs\":[\"request\",\"twoway\"],\"id\":12}", 0x09, 12},
                    ParseCase{"{\"attrs\":[\"ack\",\"bogus\",5,null,\"response\"],\"id\":1}", 0x12,
                              1},
                    ParseCase{"{\"attrs\":[],\"id\":4294967297}", 0, 1},
                    ParseCase{"{\"attrs\":[\"oneway\",\"oneway\"],\"id\":3.7}", 0x04, 3}));

TEST_F(Messages, IdsFromManyThreadsAreUniqueAndConsecutive)
{
    constexpr int THREADS = 8, EACH = 2000;
    std::vector<std::vector<unsigned int>> ids(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < EACH; ++i)
                ids[t].push_back(TrelMessage(transport, 0, nullptr).id());
        });
    for (auto& t : threads)
        t.join();
    std::vector<unsigned int> all;
    for (auto& v : ids) {
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end())); // each thread sees them rise
        all.insert(all.end(), v.begin(), v.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(all.back() - all.front(), static_cast<unsigned int>(THREADS * EACH - 1));
}
