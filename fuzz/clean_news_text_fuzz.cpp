// Any byte string cleans to printable ASCII (plus tab and line feed), never longer than the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "live/clean_news_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string output = CleanNewsText(input);
    if (output.size() > input.size())
        std::abort();
    for (char c : output) {
        const bool kept = (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n';
        if (!kept)
            std::abort();
    }
    return 0;
}
