#pragma once
// Strict conversions between UTF-8 and the platform's wide text (UTF-32 on Linux, UTF-16 on
// Windows): nothing is ever replaced by U+FFFD.
#include <string>
#include <string_view>

namespace qs {

// Throws std::runtime_error "Invalid UTF-16" for a lone surrogate or a unit above U+10FFFF.
std::string WideToUtf8(std::wstring_view wide);
// Throws std::runtime_error "Invalid UTF-8" for any ill-formed sequence.
std::wstring Utf8ToWide(std::string_view utf8);

}  // namespace qs
