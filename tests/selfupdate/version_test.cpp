#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "selfupdate/launcher_update.h"

namespace {

struct NumbersCase {
    const char* name;
    std::wstring text;
    std::vector<std::int32_t> expected;
};
void PrintTo(const NumbersCase& c, std::ostream* out) {
    *out << c.name;
}

class VersionNumbers : public ::testing::TestWithParam<NumbersCase> {};

TEST_P(VersionNumbers, ReadLikeTheCLibrary) {
    EXPECT_EQ(ParseVersionNumbers(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionNumbers,
    ::testing::Values(
        NumbersCase{"Empty", L"", {}}, NumbersCase{"Plain", L"1.0.8", {1, 0, 8}},
        NumbersCase{"FourPieces", L"1.0.8.0", {1, 0, 8, 0}},
        NumbersCase{"TrailingDotAddsNothing", L"1.2.", {1, 2}},
        NumbersCase{"EmptyPieceIsZero", L"1..3", {1, 0, 3}}, NumbersCase{"LoneDot", L".", {0}},
        NumbersCase{"LeadingDot", L".5", {0, 5}},
        NumbersCase{"SuffixStopsTheDigits", L"1.0.8-beta", {1, 0, 8}},
        NumbersCase{"LetterFirstIsZero", L"V9.0", {0, 0}},
        NumbersCase{"BlanksAndSigns", L" 7.\t-2.\n+3", {7, -2, 3}},
        NumbersCase{"SignThenBlankIsZero", L"- 4.+-4", {0, 0}},
        NumbersCase{"BlankInsideStops", L"1 2", {1}},
        NumbersCase{"Int32Limits", L"2147483647.-2147483648", {INT_MAX, INT_MIN}},
        NumbersCase{"SaturatesAbove", L"2147483648.99999999999999999999999", {INT_MAX, INT_MAX}},
        NumbersCase{"SaturatesBelow", L"-2147483649.-99999999999999999999999", {INT_MIN, INT_MIN}},
        NumbersCase{"LeadingZeros", L"0007.00", {7, 0}},
        NumbersCase{"NonAsciiDigitIsNotADigit", L"\x0661.2", {0, 2}}),
    [](const auto& test) { return std::string(test.param.name); });

struct CompareCase {
    const char* name;
    std::wstring a, b;
    int expected;
};
void PrintTo(const CompareCase& c, std::ostream* out) {
    *out << c.name;
}

class VersionOrder : public ::testing::TestWithParam<CompareCase> {};

TEST_P(VersionOrder, ComparesPieceByPiece) {
    EXPECT_EQ(CompareVersions(GetParam().a, GetParam().b), GetParam().expected);
    EXPECT_EQ(CompareVersions(GetParam().b, GetParam().a), -GetParam().expected) << "antisymmetric";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionOrder,
    ::testing::Values(
        CompareCase{"SameText", L"v1.0.8", L"v1.0.8", 0},
        CompareCase{"WithoutV", L"v1.0.8", L"1.0.8", 0},
        CompareCase{"ExtraZeroPiece", L"v1.0.8", L"1.0.8.0", 0},
        CompareCase{"Patch", L"v1.0.8", L"1.0.9", -1}, CompareCase{"Minor", L"v1.0.8", L"1.1", -1},
        CompareCase{"Major", L"v1.0.8", L"2", -1}, CompareCase{"Older", L"v1.0.8", L"1.0.7", 1},
        CompareCase{"OlderShort", L"v1.0.8", L"0.9", 1},
        CompareCase{"NumericNotTextual", L"1.0.10", L"1.0.9", 1},
        CompareCase{"SuffixIgnored", L"v1.0.8", L"1.0.8-beta", 0},
        CompareCase{"UpperCaseVIsZero", L"v1.0.8", L"V9.0", 1},
        CompareCase{"OnlyOneVDropped", L"vv2", L"0", 0},
        CompareCase{"NegativePiece", L"1.-1", L"1.0", -1},
        CompareCase{"SaturatedEqual", L"99999999999", L"2147483647", 0},
        CompareCase{"EmptyEqualsZero", L"", L"0.0", 0}, CompareCase{"BareV", L"v", L"", 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(LauncherVersionText, IsTheBuiltInRelease) {
    EXPECT_STREQ(LauncherVersion, "v1.0.8");
}

struct FolderCase {
    const char* name;
    bool isDirectory, isLink;
    unsigned owner, mode;
    bool accepted;
};
void PrintTo(const FolderCase& c, std::ostream* out) {
    *out << c.name;
}

class InstallerFolderCheck : public ::testing::TestWithParam<FolderCase> {};

TEST_P(InstallerFolderCheck, AcceptsOnlyOurOwnPrivateFolder) {
    const FolderCase& c = GetParam();
    EXPECT_EQ(IsPrivateFolder(c.isDirectory, c.isLink, c.owner, c.mode, 1000), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallerFolderCheck,
    ::testing::Values(FolderCase{"Ours", true, false, 1000, 0700, true},
                      FolderCase{"ForeignOwner", true, false, 1001, 0700, false},
                      FolderCase{"RootOwned", true, false, 0, 0700, false},
                      FolderCase{"GroupReadable", true, false, 1000, 0750, false},
                      FolderCase{"WorldWritable", true, false, 1000, 0777, false},
                      FolderCase{"Sticky", true, false, 1000, 01700, false},
                      FolderCase{"OwnerCannotEnter", true, false, 1000, 0600, false},
                      FolderCase{"Link", true, true, 1000, 0700, false},
                      FolderCase{"PlainFile", false, false, 1000, 0700, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(InstallerHandOff, FourSwitchesAsSeparateArguments) {
    EXPECT_EQ(InstallerArguments(),
              (std::vector<std::string>{"/SILENT", "/CLOSEAPPLICATIONS", "/RESTARTAPPLICATIONS",
                                        "/FORCECLOSEAPPLICATIONS"}));
    EXPECT_STREQ(InstallerFileName, "QuillonSagaLauncher-Update.exe");
}

}  // namespace
