#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch.h"
#include "update/digest.h"

using namespace qs;

namespace {

std::string HexToBytes(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// One code point as wide text: a surrogate pair where wchar_t has 16 bits (Windows).
void AppendCodePoint(std::wstring& wide, std::uint32_t point) {
    if (sizeof(wchar_t) == 2 && point > 0xFFFF) {
        point -= 0x10000;
        wide.push_back(static_cast<wchar_t>(0xD800 + (point >> 10)));
        wide.push_back(static_cast<wchar_t>(0xDC00 + (point & 0x3FF)));
        return;
    }
    wide.push_back(static_cast<wchar_t>(point));
}

// Python's strict codec is the independent judge of what is well-formed UTF-8.
TEST(Utf8ToWide, AgreesWithPythonStrictCodec) {
#ifdef _WIN32
    // No Python beside the Windows build: the build ran the same oracle into a file.
    std::unique_ptr<FILE, decltype(&fclose)> pipe(fopen(QS_UTF8_ORACLE_FILE, "r"), &fclose);
#else
    std::string command = "python3 '" QS_TEST_SOURCE_DIR "/utf8_oracle.py' 20261206 20000";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
#endif
    ASSERT_TRUE(pipe);
    char line[4096];
    int cases = 0, rejected = 0;
    while (fgets(line, sizeof line, pipe.get())) {
        std::istringstream fields(line);
        std::string hex, verdict;
        fields >> hex >> verdict;
        std::string bytes = HexToBytes(hex);
        ++cases;
        if (verdict == "ERR") {
            ++rejected;
            EXPECT_EQ(ErrorOf([&] { Utf8ToWide(bytes); }), "Invalid UTF-8") << "bytes " << hex;
            continue;
        }
        std::wstring expected;
        if (verdict != "-") {
            std::istringstream points(verdict);
            std::string point;
            while (std::getline(points, point, ','))
                AppendCodePoint(expected,
                                static_cast<std::uint32_t>(std::stoul(point, nullptr, 16)));
        }
        std::wstring wide;
        ASSERT_NO_THROW(wide = Utf8ToWide(bytes)) << "bytes " << hex;
        EXPECT_EQ(wide, expected) << "bytes " << hex;
        EXPECT_EQ(WideToUtf8(wide), bytes) << "round trip of " << hex;
    }
    EXPECT_EQ(cases, 20000);
    EXPECT_GT(rejected, 2000);  // the generator must exercise the refusals
    EXPECT_LT(rejected, 18000);
}

// Published vectors, and sizes around the 65536-byte read buffer (digests from Python's hashlib).
TEST(Sha256File, KnownDigestsAcrossTheReadBuffer) {
    TempFolder dir;
    const std::pair<std::string, std::wstring> cases[] = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(65535, 'a'),
         L"6e1bebca6a8229364a162a72ef064826c4cd7457bf54f190ef782bd9deff3e42"},
        {std::string(65536, 'a'),
         L"bf718b6f653bebc184e1479f1935b8da974d701b893afcf49e701f3e2f9f9c5a"},
        {std::string(65537, 'a'),
         L"008ffc88d3c96a9f307524eb361e47c5222a887fc45fa0c1fb8d429c5c23b430"},
        {std::string(1000000, 'a'),
         L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [content, digest] : cases) {
        WriteFile(dir.path() / "f", content);
        const FileDigest read = Sha256File(dir.path() / "f");
        EXPECT_EQ(read.read, WholeRead::Complete);
        EXPECT_EQ(read.digest, digest) << content.size() << " bytes";
        EXPECT_EQ(read.bytes, content.size());
    }
    // What cannot be read has no digest at all, not that of zero bytes.
    for (const std::filesystem::path& unreadable : {dir.path() / "missing", dir.path()})
        EXPECT_EQ(Sha256File(unreadable).read, WholeRead::CannotOpen) << unreadable;
}

TEST(IsChecksumText, Table) {
    const std::string good(64, 'a');
    const std::vector<std::pair<std::string, bool>> cases = {
        {"0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdefABCD", true},
        {std::string(63, 'a'), false},
        {std::string(65, 'a'), false},
        {good.substr(0, 63) + "g", false},
        {good.substr(0, 63) + '\0', false},
        {"", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(IsChecksumText(text), expected) << text;
}

TEST(DigestsEqual, IgnoresAsciiCaseOnly) {
    EXPECT_TRUE(DigestsEqual(L"abcdef0123", L"ABCDEF0123"));
    EXPECT_FALSE(DigestsEqual(L"abc", L"abcd"));
    EXPECT_FALSE(DigestsEqual(L"abc", L"abd"));
    EXPECT_FALSE(DigestsEqual(L"\u00e9", L"\u00c9"));  // only ASCII letters fold
}

}  // namespace
