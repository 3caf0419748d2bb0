#pragma once
#include <string>
#include <string_view>

namespace qs {

// Turns UTF-8 display text into printable ASCII (plus tab and line feed): chat mention and
// custom-emoji tokens go, typographic punctuation becomes its ASCII look-alike, every other
// non-ASCII character is dropped. Never longer than the input; no entity decoding, no trimming.
std::string CleanNewsText(std::string_view text);

}  // namespace qs
