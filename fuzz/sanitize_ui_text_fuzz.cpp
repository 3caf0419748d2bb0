// Any byte string sanitizes to printable ASCII (plus tab and line feed), never longer than the
// input: the pages draw the result with fonts that only hold those glyphs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/printable_text.h"
#include "ui/widgets.h"

using namespace qs;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string output = SanitizeUiText(input);
    RequirePrintableAndNoLonger(input, output);
    // Printable ASCII passes through untouched, so sanitizing twice changes nothing more.
    if (SanitizeUiText(output) != output)
        std::abort();
    return 0;
}
