// Strict conversions, both directions. Bytes that decode must re-encode to the same bytes (so no
// overlong form, surrogate or value above U+10FFFF is ever accepted); wide strings built from
// arbitrary 32-bit units either fail with "Invalid UTF-16" or survive the round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/wide_text.h"

using namespace qs;

namespace {

bool IsScalarValue(std::uint32_t unit) {
    return unit <= 0x10FFFF && (unit < 0xD800 || unit > 0xDFFF);
}

void CheckBytes(std::string_view bytes) {
    std::wstring wide;
    try {
        wide = Utf8ToWide(bytes);
    } catch (const std::runtime_error& failure) {
        if (std::string_view(failure.what()) != "Invalid UTF-8")
            std::abort();
        return;
    }
    if (wide.size() > bytes.size())
        std::abort();
    for (wchar_t unit : wide)
        if (!IsScalarValue(static_cast<std::uint32_t>(unit)))
            std::abort();
    if (WideToUtf8(wide) != bytes)
        std::abort();
}

void CheckUnits(const std::uint8_t* data, std::size_t size) {
    std::wstring wide;
    bool valid = true;
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        std::uint32_t unit;
        std::memcpy(&unit, data + i, 4);
        wide.push_back(static_cast<wchar_t>(unit));
        valid = valid && IsScalarValue(unit);
    }
    std::string utf8;
    try {
        utf8 = WideToUtf8(wide);
    } catch (const std::runtime_error& failure) {
        if (valid || std::string_view(failure.what()) != "Invalid UTF-16")
            std::abort();
        return;
    }
    if (!valid || utf8.size() > wide.size() * 4)
        std::abort();
    if (Utf8ToWide(utf8) != wide)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    CheckUnits(data, size);
    return 0;
}
