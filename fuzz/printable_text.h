#pragma once
// What both text cleaners promise for any input: printable ASCII, tab and line feed only, and
// never longer than what came in. Aborts so libFuzzer records the input.
#include <cstdlib>
#include <string_view>

inline void RequirePrintableAndNoLonger(std::string_view input, std::string_view output) {
    if (output.size() > input.size())
        std::abort();
    for (char c : output) {
        const bool kept = (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n';
        if (!kept)
            std::abort();
    }
}
