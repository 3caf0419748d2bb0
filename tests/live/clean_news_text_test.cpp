#include <gtest/gtest.h>

#include <random>
#include <string>

#include "live/clean_news_text.h"

namespace {

struct CleanCase {
    const char* name;
    std::string input;
    std::string expected;
};
void PrintTo(const CleanCase& c, std::ostream* out) {
    *out << c.name;
}

class CleanNewsTextTable : public ::testing::TestWithParam<CleanCase> {};

TEST_P(CleanNewsTextTable, GivesTheAsciiText) {
    EXPECT_EQ(CleanNewsText(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CleanNewsTextTable,
    ::testing::Values(
        // Typographic punctuation (E2 80 xx) keeps its ASCII look.
        CleanCase{"Dashes", "A \xE2\x80\x93 B \xE2\x80\x94 C", "A - B - C"},
        CleanCase{"CurvedQuotes", "\xE2\x80\x9CWord\xE2\x80\x9D it\xE2\x80\x99s \xE2\x80\x98x",
                  "\"Word\" it's 'x"},
        CleanCase{"BulletAndEllipsis", "\xE2\x80\xA2 more\xE2\x80\xA6", "- more..."},
        CleanCase{"OtherPunctuationGoes",
                  "a\xE2\x80\x8B"
                  "b\xE2\x80\xB0",
                  "ab"},
        CleanCase{"OtherE2BlockGoes", "5\xE2\x82\xAC \xE2\x84\xA2", "5 "},
        CleanCase{"MiddleDotAndNoBreakSpace",
                  "a\xC2\xB7"
                  "b\xC2\xA0"
                  "c",
                  "a-b c"},
        CleanCase{"AccentedLetterGoes", "caf\xC3\xA9!", "caf!"},
        CleanCase{"ThreeByteLetterGoes", "x\xE3\x81\x82y", "xy"},
        CleanCase{"EmojiGoes", "GG \xF0\x9F\x8E\x89!", "GG !"},
        // Chat tokens vanish whole; other markup stays.
        CleanCase{"UserMention", "hi <@123456> there", "hi  there"},
        CleanCase{"ChannelMention", "see <#42>", "see "},
        CleanCase{"CustomEmoji", "nice<:pog:98765>", "nice"},
        CleanCase{"AnimatedEmoji", "<a:dance:456>go", "go"},
        CleanCase{"BoldTagStays", "<b>bold</b>", "<b>bold</b>"},
        CleanCase{"LessThanStays", "1 < 2 > 0", "1 < 2 > 0"},
        CleanCase{"UnclosedMentionStays", "<@123 no close", "<@123 no close"},
        CleanCase{"TokenNeedsThreeBytesForColon", "<:", "<:"},
        CleanCase{"ShortestEmojiToken", "x<:>y", "xy"},
        CleanCase{"MentionSkipsToFirstClose", "<@1>a>b", "a>b"},
        CleanCase{"TwoMentions", "<@1> and <@2>", " and "},
        // Control bytes and broken sequences.
        CleanCase{"CarriageReturnGoesLineFeedAndTabStay", "a\r\nb\tc", "a\nb\tc"},
        CleanCase{"ControlAndDeleteGo",
                  std::string("a\x01\x1B\x7F"
                              "b\0c",
                              7),
                  "abc"},
        CleanCase{"StrayContinuationGoes",
                  "a\x80\xBF"
                  "b",
                  "ab"},
        CleanCase{"LeadTooCloseToEndGoes", "ab\xE2\x80", "ab"},
        CleanCase{"FourByteLeadTooCloseToEnd", "z\xF0\x9F\x98", "z"},
        CleanCase{"TwoByteLeadTakesItsPartner", "\xC3(x", "x"},
        CleanCase{"EntitiesAndBlanksUntouched", "  &amp; ", "  &amp; "},
        CleanCase{"Empty", "", ""}),
    [](const auto& test) { return std::string(test.param.name); });

bool IsKeptByte(char c) {
    return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n';
}

// Bytes drawn mostly from the ones the rules care about, so tokens and sequences do occur.
std::string RandomText(std::mt19937& random) {
    static const std::string interesting =
        "<>@#:a \t\n\r\xE2\x80\x93\x9C\xA6\xC2\xB7\xA0\xC3\xF0\x9F\xE3\x7F\x01";
    std::uniform_int_distribution<int> length(0, 64), pick(0, 3), byte(0, 255);
    std::uniform_int_distribution<std::size_t> which(0, interesting.size() - 1);
    std::string text(static_cast<std::size_t>(length(random)), '\0');
    for (char& c : text)
        c = pick(random) == 0 ? static_cast<char>(byte(random)) : interesting[which(random)];
    return text;
}

TEST(CleanNewsTextProperty, OutputIsPrintableAsciiAndNeverLonger) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 200000; ++round) {
        const std::string input = RandomText(random);
        const std::string output = CleanNewsText(input);
        ASSERT_LE(output.size(), input.size()) << ::testing::PrintToString(input);
        for (char c : output)
            ASSERT_TRUE(IsKeptByte(c)) << ::testing::PrintToString(input);
    }
}

TEST(CleanNewsTextProperty, AsciiWithoutAngleBracketsOnlyLosesControlBytes) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 0x7F);
    for (int round = 0; round < 20000; ++round) {
        std::string input(32, '\0'), expected;
        for (char& c : input) {
            c = static_cast<char>(byte(random));
            if (c == '<')
                c = '>';
            if (IsKeptByte(c))
                expected.push_back(c);
        }
        ASSERT_EQ(CleanNewsText(input), expected);
    }
}

}  // namespace
