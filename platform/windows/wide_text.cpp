#include "platform/wide_text.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

namespace qs {

static_assert(sizeof(wchar_t) == 2, "Windows wide strings are UTF-16");

std::string WideToUtf8(std::wstring_view wide) {
    if (wide.empty())
        return {};
    if (wide.size() > INT_MAX)
        throw std::length_error("text too long to convert");
    const int length = static_cast<int>(wide.size());
    // Explicit lengths: no terminator is read and embedded NULs are kept.
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length,
                                         nullptr, 0, nullptr, nullptr);
    if (size == 0)
        throw std::runtime_error("Invalid UTF-16");
    std::string utf8(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, utf8.data(), size,
                            nullptr, nullptr) != size)
        throw std::runtime_error("Invalid UTF-16");
    return utf8;
}

std::wstring Utf8ToWide(std::string_view utf8) {
    if (utf8.empty())
        return {};
    if (utf8.size() > INT_MAX)
        throw std::length_error("text too long to convert");
    const int length = static_cast<int>(utf8.size());
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (size == 0)
        throw std::runtime_error("Invalid UTF-8");
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(),
                            size) != size)
        throw std::runtime_error("Invalid UTF-8");
    return wide;
}

}  // namespace qs
