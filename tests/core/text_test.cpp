#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "update/text.h"

namespace fs = std::filesystem;

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

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "qs-text-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

fs::path WriteFile(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
}

std::wstring Hex(const unsigned char* digest) {
    static const wchar_t* kHex = L"0123456789abcdef";
    std::wstring text;
    for (int i = 0; i < 32; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 15]);
    }
    return text;
}

}  // namespace

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

TEST(Utf8ToWide, RefusesIllFormedInput) {
    const std::vector<std::string> cases = {
        "\xFF",
        "\xE2\x82",
        "\x80",
        "\xC0\xAF",
        "\xE0\x80\xAF",
        "\xED\xA0\x80",
        "\xF4\x90\x80\x80",
        "\xF8\x88\x80\x80\x80",
        "a\xC2",
        "\xC2\x41",
    };
    for (const auto& bytes : cases)
        EXPECT_EQ(ErrorOf([&] { Utf8ToWide(bytes); }), "Invalid UTF-8");
}

TEST(TextConversion, EmptyAndEmbeddedNulArePreserved) {
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(WideToUtf8(L""), "");
    std::string withNul("a\0b", 3);
    EXPECT_EQ(Utf8ToWide(withNul), std::wstring(L"a\0b", 3));
    EXPECT_EQ(WideToUtf8(std::wstring(L"a\0b", 3)), withNul);
    EXPECT_EQ(WideToUtf8(L"\u00e9\u20ac\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(WideToUtf8, RefusesSurrogatesAndValuesPastTheLastCodePoint) {
    for (std::uint32_t unit :
         {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu, 0x110000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        std::wstring wide = L"ok";
        wide.push_back(static_cast<wchar_t>(unit));
        EXPECT_EQ(ErrorOf([&] { WideToUtf8(wide); }), "Invalid UTF-16") << std::hex << unit;
    }
}

TEST(Sha256File, PublishedVectors) {
    TempDir dir;
    struct Case {
        std::string content;
        std::wstring digest;
    };
    const std::vector<Case> cases = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sha256File(WriteFile(dir.path() / "f", c.content)), c.digest);
}

TEST(Sha256File, BlockBoundaries) {
    TempDir dir;
    for (std::size_t size : {65535u, 65536u, 65537u, 131072u, 200000u}) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 131 + 7);
        unsigned char digest[32];
        SHA256(reinterpret_cast<const unsigned char*>(content.data()), content.size(), digest);
        EXPECT_EQ(Sha256File(WriteFile(dir.path() / "f", content)), Hex(digest)) << size;
    }
}

TEST(Sha256File, UnreadableFilesDigestAsZeroBytes) {
    TempDir dir;
    const std::wstring empty = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    EXPECT_EQ(Sha256File(dir.path() / "missing"), empty);
    EXPECT_EQ(Sha256File(dir.path()), empty);  // a folder
}

TEST(IsChecksumText, Table) {
    const std::string good(64, 'a');
    struct Case {
        std::string text;
        bool expected;
    };
    const std::vector<Case> cases = {
        {good, true},
        {std::string(64, 'F'), true},
        {"0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdefABCD", true},
        {std::string(63, 'a'), false},
        {std::string(65, 'a'), false},
        {good.substr(0, 63) + "g", false},
        {good.substr(0, 63) + " ", false},
        {good.substr(0, 63) + '\0', false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsChecksumText(c.text), c.expected) << c.text;
}

TEST(DigestsEqual, IgnoresAsciiCaseOnly) {
    EXPECT_TRUE(DigestsEqual(L"abcdef0123", L"ABCDEF0123"));
    EXPECT_TRUE(DigestsEqual(L"", L""));
    EXPECT_FALSE(DigestsEqual(L"abc", L"abcd"));
    EXPECT_FALSE(DigestsEqual(L"abc", L"abd"));
    EXPECT_FALSE(DigestsEqual(L"\u00e9", L"\u00c9"));  // only ASCII letters fold
}
