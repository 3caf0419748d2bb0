#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/wide_text.h"
#include "selfupdate/launcher_update.h"

using namespace qs;

namespace {

TEST(ParseVersionNumbers, ReadsLikeTheCLibrary) {
    struct Case {
        std::wstring text;
        std::vector<std::int32_t> expected;
    };
    const Case cases[] = {
        {L"", {}},
        {L"1.0.8", {1, 0, 8}},
        {L"1.2.", {1, 2}},  // a trailing dot adds nothing
        {L"1..3", {1, 0, 3}},
        {L".", {0}},
        {L".5", {0, 5}},
        {L"1.0.8-beta", {1, 0, 8}},
        {L"V9.0", {0, 0}},
        {L" 7.\t-2.\n+3", {7, -2, 3}},
        {L"- 4.+-4", {0, 0}},
        {L"1 2", {1}},
        {L"2147483647.-2147483648", {INT_MAX, INT_MIN}},
        {L"2147483648.99999999999999999999999", {INT_MAX, INT_MAX}},
        {L"-2147483649.-99999999999999999999999", {INT_MIN, INT_MIN}},
        {L"\x0661.2", {0, 2}},  // only ASCII digits count
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseVersionNumbers(c.text), c.expected) << WideToUtf8(c.text);
}

TEST(CompareVersions, PieceByPieceAndAntisymmetric) {
    struct Case {
        std::wstring a, b;
        int expected;
    };
    const Case cases[] = {
        {L"v1.0.8", L"v1.0.8", 0},
        {L"v1.0.8", L"1.0.8", 0},
        {L"v1.0.8", L"1.0.8.0", 0},
        {L"v1.0.8", L"1.0.9", -1},
        {L"v1.0.8", L"1.1", -1},
        {L"v1.0.8", L"1.0.7", 1},
        {L"v1.0.8", L"0.9", 1},
        {L"1.0.10", L"1.0.9", 1},
        {L"v1.0.8", L"1.0.8-beta", 0},
        {L"v1.0.8", L"V9.0", 1},
        {L"vv2", L"0", 0},
        {L"1.-1", L"1.0", -1},
        {L"99999999999", L"2147483647", 0},
        {L"", L"0.0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.a) + " vs " + WideToUtf8(c.b));
        EXPECT_EQ(CompareVersions(c.a, c.b), c.expected);
        EXPECT_EQ(CompareVersions(c.b, c.a), -c.expected);
    }
}

TEST(IsPrivateFolder, AcceptsOnlyOurOwnPrivateFolder) {
    struct Case {
        bool isDirectory;
        unsigned owner, mode;
        bool accepted;
    };
    const Case cases[] = {
        {true, 1000, 0700, true},   {true, 1001, 0700, false},  {true, 1000, 0750, false},
        {true, 1000, 0707, false},  {true, 1000, 01700, false}, {true, 1000, 0600, false},
        {false, 1000, 0700, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsPrivateFolder(c.isDirectory, c.owner, c.mode, 1000), c.accepted)
            << c.isDirectory << " " << c.owner << " " << std::oct << c.mode;
}

}  // namespace
