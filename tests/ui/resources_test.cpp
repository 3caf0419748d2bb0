// The embedded images and fonts: transparent where the screens need it, the faces in their weights
// with the glyphs drawn (sizes and channels: image_decode_test).
#include <gtest/gtest.h>
#include <stb_truetype.h>

#include <cstring>

#include "resources/resources.h"
#include "ui/theme.h"

using namespace qs;

namespace {

std::uint8_t AlphaAt(const DecodedImage& image, int x, int y) {
    return image.rgba[(std::size_t(y) * image.width + x) * 4 + 3];
}

// The wordmark is white ink on a transparent square; the News banner is transparent on the left.
TEST(EmbeddedImages, TransparentWhereTheScreensNeedIt) {
    DecodedImage logo, banner;
    ASSERT_TRUE(DecodeImage(FindResourceData(kResLogo), logo));
    ASSERT_TRUE(DecodeImage(FindResourceData(kResNewsBanner), banner));
    EXPECT_EQ(AlphaAt(logo, 0, 0), 0);
    EXPECT_EQ(AlphaAt(logo, 2999, 2999), 0);
    std::size_t opaque = 0, nonWhiteInk = 0;
    for (std::size_t i = 0; i < logo.rgba.size(); i += 4) {
        opaque += logo.rgba[i + 3] == 255;
        nonWhiteInk +=
            logo.rgba[i + 3] > 0 && (logo.rgba[i] & logo.rgba[i + 1] & logo.rgba[i + 2]) != 255;
    }
    EXPECT_GT(opaque, 100000u);  // a wordmark, not a speck
    EXPECT_EQ(nonWhiteInk, 0u);
    for (int y : {0, 160, 324}) {
        EXPECT_EQ(AlphaAt(banner, 600, y), 0);
        EXPECT_EQ(AlphaAt(banner, 2000, y), 255);
    }
}

// Weight class from the OS/2 table.
int FontWeight(std::span<const std::uint8_t> font) {
    auto u16 = [&](std::size_t at) { return (font[at] << 8) | font[at + 1]; };
    auto u32 = [&](std::size_t at) { return (std::uint32_t(u16(at)) << 16) | u16(at + 2); };
    const int tables = u16(4);
    for (int i = 0; i < tables; ++i) {
        const std::size_t record = 12 + 16 * std::size_t(i);
        if (std::memcmp(&font[record], "OS/2", 4) == 0)
            return u16(u32(record + 8) + 4);
    }
    return -1;
}

// The four text faces come in rising weights (light, regular, medium, bold); every face holds the
// glyphs the screens draw.
TEST(EmbeddedFonts, FacesInTheirWeightsWithTheGlyphsTheScreensDraw) {
    const std::vector<int> text = {'A', 'z', '0', 0xE9};
    const std::pair<int, std::vector<int>> faces[] = {
        {kResFontLight, text},
        {kResFontRegular, text},
        {kResFontMedium, text},
        {kResFontBold, text},
        {kResIconSolid, {0xF015, 0xF0F3, 0xF013, 0xF0AC, 0xF063, 0xF00D, 0xF068, 0xF04B, 0xF03D}},
        {kResIconBrands, {0xF392}},
    };
    int lastWeight = 0;
    for (const auto& [id, codepoints] : faces) {
        SCOPED_TRACE(id);
        const auto data = FindResourceData(id);
        ASSERT_GT(data.size(), 1000u);
        if (codepoints == text) {
            const int weight = FontWeight(data);
            EXPECT_GT(weight, lastWeight);
            lastWeight = weight;
        }
        stbtt_fontinfo info;
        ASSERT_TRUE(
            stbtt_InitFont(&info, data.data(), stbtt_GetFontOffsetForIndex(data.data(), 0)));
        for (int cp : codepoints)
            EXPECT_NE(stbtt_FindGlyphIndex(&info, cp), 0) << std::hex << cp;
    }
}

}  // namespace
