#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "net/json_reply.h"

using namespace qs;

namespace {

std::string Nested(std::size_t depth, const std::string& inner = "") {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i)
        text += i % 2 ? "{\"k\":" : "[";
    text += inner.empty() ? "0" : inner;
    for (std::size_t i = depth; i-- > 0;)
        text += i % 2 ? "}" : "]";
    return text;
}

// What ParseJsonReply makes of a reply: the compact document, or the exception's text.
std::string Outcome(const std::string& reply) {
    try {
        return ParseJsonReply(reply).dump();
    } catch (const std::exception& error) {
        return error.what();
    }
}

std::string LibraryOutcome(const std::string& reply) {
    try {
        return nlohmann::json::parse(reply).dump();
    } catch (const std::exception& error) {
        return error.what();
    }
}

constexpr const char* kTooDeep = "JSON reply is nested too deeply";

TEST(JsonReply, DepthIsCountedOutsideStringsOnly) {
    const std::string opens65(65, '[');
    struct Case {
        const char* name;
        std::string reply;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"at the limit", Nested(64), false},
        {"one past it", Nested(65), true},
        {"unfinished, one past it", opens65, true},
        {"brackets in a string", "[\"" + opens65 + "\"]", false},
        {"escaped quote keeps the string open", "[\"\\\"" + opens65 + "\"]", false},
        {"escaped backslash ends it", "[\"\\\\\"" + opens65, true},
        {"closed levels are given back", "[" + Nested(63) + "," + Nested(63) + "]", false},
        {"stray closers lend no credit", std::string(10, ']') + Nested(65), true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JsonReplyDepthWithin(c.reply), !c.refused) << c.name;
        EXPECT_EQ(Outcome(c.reply), c.refused ? kTooDeep : LibraryOutcome(c.reply)) << c.name;
        EXPECT_EQ(ParseJsonReplyOrDiscarded(c.reply).is_discarded(),
                  c.refused || !nlohmann::json::accept(c.reply))
            << c.name;
    }
}

TEST(JsonReply, ShallowRepliesParseExactlyAsTheLibraryDoes) {
    const std::vector<std::string> replies = {"{\"files\":{\"a\":\"00\"}}",
                                              " [1, 2.5, null] ",
                                              "",
                                              "not json",
                                              "[1,",
                                              "{} x",
                                              "[1] // comment",
                                              "\"\xFF\"",
                                              Nested(64, "\"deep\"")};
    for (const std::string& reply : replies)
        EXPECT_EQ(Outcome(reply), LibraryOutcome(reply)) << reply;

    // The callback still sees every event.
    int values = 0;
    const auto counted =
        ParseJsonReply("[1,[2,3]]", [&](int, nlohmann::json::parse_event_t event, nlohmann::json&) {
            values += event == nlohmann::json::parse_event_t::value;
            return true;
        });
    EXPECT_EQ(counted.dump(), "[1,[2,3]]");
    EXPECT_EQ(values, 3);
}

}  // namespace

// Values are counted by their separators and containers, outside strings only.
TEST(JsonReply, WideRepliesAreRefusedPastTheirValueBudget) {
    const std::tuple<std::string, std::size_t, bool> cases[] = {
        {"[1,2,3]", 4, true},
        {"[1,2,3]", 3, false},
        {R"({"a":",,,,,,"})", 2, true},
        {R"({"a":"\",,,,"})", 2, true},
        {R"({"a":{"b":[]}})", 3, false},
    };
    for (const auto& [reply, budget, within] : cases)
        EXPECT_EQ(JsonReplyValuesWithin(reply, budget), within) << reply << " " << budget;
    EXPECT_THROW(ParseJsonReply("[0,0,0]", nullptr, 2), std::runtime_error);
}
