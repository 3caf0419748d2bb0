#include "update/digest.h"

#include <array>
#include <memory>

#include "platform/file_io.h"

namespace qs {

namespace {

// The value of each hex digit, -1 for any other byte: a digest is read per file on every start.
constexpr std::array<signed char, 256> kHexValues = [] {
    std::array<signed char, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 10; ++i)
        values['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) {
        values['a' + i] = static_cast<signed char>(10 + i);
        values['A' + i] = static_cast<signed char>(10 + i);
    }
    return values;
}();

}  // namespace

int HexDigitValue(char c) {
    return kHexValues[static_cast<unsigned char>(c)];
}

std::optional<DigestBytes> DigestFromText(std::string_view text) {
    if (text.size() != 64)
        return std::nullopt;
    DigestBytes bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return bytes;
}

void AppendDigestText(std::string& text, const DigestBytes& bytes) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (const unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
}

std::optional<std::uint64_t> HashInto(InputFile& input, Sha256Stream& digest,
                                      const std::atomic<bool>* cancel) {
    constexpr std::size_t kBlock = 65536;
    auto buffer = std::make_unique<unsigned char[]>(kBlock);
    std::uint64_t read = 0;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return std::nullopt;
        const std::int64_t got = input.read(buffer.get(), kBlock);
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return read;
        digest.update(buffer.get(), static_cast<std::size_t>(got));
        read += static_cast<std::uint64_t>(got);
    }
}

FileDigest Sha256File(const std::filesystem::path& file, const std::atomic<bool>* cancel) {
    InputFile input;
    if (!input.open(file))
        return {};
    return Sha256Input(input, cancel);
}

FileDigest Sha256Input(InputFile& input, const std::atomic<bool>* cancel) {
    FileDigest result;
    const std::optional<FileState> opened = input.state();
    Sha256Stream digest;
    const std::optional<std::uint64_t> read = HashInto(input, digest, cancel);
    if (!opened || !read) {
        result.read = WholeRead::ReadError;
        return result;
    }
    result.bytes = *read;
    if (*read != opened->size) {
        result.read = WholeRead::SizeDiffers;
        return result;
    }
    result.read = WholeRead::Complete;
    result.digest = digest.finish();
    return result;
}

std::string PathForMessage(std::string_view manifestPath) {
    std::string text(manifestPath);
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

bool IsChecksumText(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (char c : text) {
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

bool DigestsEqual(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    auto lower = [](wchar_t c) {
        return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

}  // namespace qs
