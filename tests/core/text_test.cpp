#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "scratch.h"
#include "update/text.h"

namespace {

std::string ErrorOf(auto&& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::string HexToBytes(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Python's strict codec is the independent judge of what is well-formed UTF-8.
TEST(Utf8ToWide, AgreesWithPythonStrictCodec) {
    std::string command = "python3 '" QS_TEST_SOURCE_DIR "/utf8_oracle.py' 20261206 20000";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
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
                expected.push_back(static_cast<wchar_t>(std::stoul(point, nullptr, 16)));
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

TEST(WideToUtf8, RefusesSurrogatesAndValuesPastTheLastCodePoint) {
    for (std::uint32_t unit : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
        std::wstring wide = L"ok";
        wide.push_back(static_cast<wchar_t>(unit));
        EXPECT_EQ(ErrorOf([&] { WideToUtf8(wide); }), "Invalid UTF-16") << std::hex << unit;
    }
}

std::wstring Sha256Of(const std::string& content) {
    unsigned char digest[32];
    SHA256(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
    std::wstring text;
    for (unsigned char byte : digest) {
        text.push_back(L"0123456789abcdef"[byte >> 4]);
        text.push_back(L"0123456789abcdef"[byte & 15]);
    }
    return text;
}

TEST(Sha256File, PublishedVectorsAndBufferBoundaries) {
    TempFolder dir;
    struct Case {
        std::string content;
        std::wstring digest;
    };
    std::vector<Case> cases = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    // Around the 65536-byte read buffer, against OpenSSL's one-shot digest.
    for (std::size_t size : {65535u, 65536u, 65537u, 131072u}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 131 + 7);
        cases.push_back({content, Sha256Of(content)});
    }
    for (const auto& c : cases) {
        WriteFile(dir.path() / "f", c.content);
        EXPECT_EQ(Sha256File(dir.path() / "f"), c.digest) << c.content.size() << " bytes";
    }
    // What cannot be read digests as zero bytes.
    EXPECT_EQ(Sha256File(dir.path() / "missing"), cases[0].digest);
    EXPECT_EQ(Sha256File(dir.path()), cases[0].digest);
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
