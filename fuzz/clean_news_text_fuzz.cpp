// Any byte string cleans to printable ASCII (plus tab and line feed), never longer than the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/printable_text.h"
#include "live/clean_news_text.h"

using namespace qs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string output = CleanNewsText(input);
    RequirePrintableAndNoLonger(input, output);
    return 0;
}
