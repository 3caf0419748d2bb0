// Version comparison is a total order: antisymmetric, reflexive and transitive, whatever the
// text. Each piece reads like the C library's decimal conversion, saturated to 32 bits.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>
#include <string>
#include <vector>

#include "selfupdate/launcher_update.h"

using namespace qs;

namespace {

// The first byte picks how the rest becomes wide text: one byte per character, or four bytes
// per (arbitrary 32-bit) character. A zero character separates the up to three texts.
std::vector<std::wstring> Texts(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> texts(1);
    const std::size_t width = (size > 0 && (data[0] & 1)) ? 4 : 1;
    for (std::size_t i = 1; i + width <= size; i += width) {
        std::uint32_t unit = data[i];
        if (width == 4)
            std::memcpy(&unit, data + i, 4);
        if (unit == 0) {
            if (texts.size() == 3)
                break;
            texts.emplace_back();
            continue;
        }
        texts.back().push_back(static_cast<wchar_t>(unit));
    }
    while (texts.size() < 3)
        texts.emplace_back();
    return texts;
}

bool IsAscii(const std::wstring& text) {
    for (wchar_t c : text)
        if (c < 0 || c > 0x7F)
            return false;
    return true;
}

// The same reading through wcstoll, for texts the C locale classifies like the launcher does.
std::vector<std::int32_t> ReferenceNumbers(const std::wstring& text) {
    std::vector<std::int32_t> numbers;
    if (text.empty())
        return numbers;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find(L'.', start);
        const std::wstring piece =
            text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        errno = 0;
        long long value = std::wcstoll(piece.c_str(), nullptr, 10);
        if (value > std::numeric_limits<std::int32_t>::max())
            value = std::numeric_limits<std::int32_t>::max();
        if (value < std::numeric_limits<std::int32_t>::min())
            value = std::numeric_limits<std::int32_t>::min();
        numbers.push_back(static_cast<std::int32_t>(value));
        if (dot == std::wstring::npos || dot + 1 == text.size())
            break;
        start = dot + 1;
    }
    return numbers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::wstring> texts = Texts(data, size);
    const std::wstring& a = texts[0];
    const std::wstring& b = texts[1];
    const std::wstring& c = texts[2];

    for (const std::wstring& text : texts) {
        if (CompareVersions(text, text) != 0)
            std::abort();
        if (IsAscii(text) && ParseVersionNumbers(text) != ReferenceNumbers(text))
            std::abort();
    }
    const int ab = CompareVersions(a, b);
    const int bc = CompareVersions(b, c);
    const int ac = CompareVersions(a, c);
    if (ab < -1 || ab > 1)
        std::abort();
    if (ab != -CompareVersions(b, a))
        std::abort();
    if (ab <= 0 && bc <= 0 && ac > 0)
        std::abort();
    if (ab >= 0 && bc >= 0 && ac < 0)
        std::abort();
    return 0;
}
