#include "platform/wide_text.h"

#include <cstdint>
#include <stdexcept>

namespace qs {

static_assert(sizeof(wchar_t) == 4,
              "this converter handles UTF-32 wide strings; Windows uses the platform calls");

namespace {

bool IsScalarValue(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

}  // namespace

std::string WideToUtf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t unit : wide) {
        auto c = static_cast<char32_t>(static_cast<std::uint32_t>(unit));
        if (!IsScalarValue(c))
            throw std::runtime_error("Invalid UTF-16");
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    auto fail = [] { throw std::runtime_error("Invalid UTF-8"); };
    while (p < end) {
        unsigned char lead = *p;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++p;
            continue;
        }
        // Unicode Table 3-7: the second byte's range depends on the lead byte, which rules out
        // overlong forms, encoded surrogates and values above U+10FFFF in one place.
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;
        char32_t c = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            if (lead == 0xF4)
                high = 0x8F;
        } else {
            fail();
        }
        if (end - p < length)
            fail();
        if (p[1] < low || p[1] > high)
            fail();
        c = (c << 6) | (p[1] & 0x3F);
        for (int i = 2; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                fail();
            c = (c << 6) | (p[i] & 0x3F);
        }
        out.push_back(static_cast<wchar_t>(c));
        p += length;
    }
    return out;
}

}  // namespace qs
