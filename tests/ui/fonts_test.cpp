// Font loading order and fallbacks on a headless ImGui context with the real embedded fonts.
#include <gtest/gtest.h>

#include <map>

#include "resources/resources.h"
#include "ui/theme.h"

using namespace qs;

namespace {

class FontLoading : public ::testing::Test {
protected:
    void SetUp() override {
        ImGui::CreateContext();
        Fonts() = UiFonts{};
    }
    void TearDown() override {
        ImGui::DestroyContext();
        Fonts() = UiFonts{};
    }
    static ImFontAtlas& Atlas() { return *ImGui::GetIO().Fonts; }

    // The real resources, minus or replacing some ids.
    static ResourceLookup Resources(std::map<int, std::vector<std::uint8_t>>* overrides) {
        return [overrides](int id) -> std::span<const std::uint8_t> {
            if (overrides != nullptr) {
                auto it = overrides->find(id);
                if (it != overrides->end())
                    return it->second;
            }
            return FindResourceData(id);
        };
    }
};

// The first system font candidate that exists is used.
TEST_F(FontLoading, AddsFifteenFontsInTheFixedOrder) {
    LoadUiFonts(Resources(nullptr),
                {"/nonexistent/font.ttf", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"});
    const UiFonts& f = Fonts();
    const ImFont* expected[] = {f.fontMedium9,  f.fontMedium10, f.fontMedium11,  f.fontLight13,
                                f.fontMedium12, f.fontBold18,   f.fontRegular28, f.fontBold52,
                                f.fontSystem14, f.iconSolid10,  f.iconSolid12,   f.iconSolid14,
                                f.iconSolid16,  f.iconBrands10, f.iconBrands14};
    ASSERT_EQ(Atlas().Fonts.Size, 15);
    ASSERT_TRUE(Atlas().Build());
    const float sizes[] = {9, 10, 11, 13, 12, 18, 28, 52, 14, 10, 12, 14, 16, 10, 14};
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(Atlas().Fonts[i], expected[i]) << i;
        EXPECT_EQ(Atlas().Fonts[i]->FontSize, sizes[i]) << i;
    }
    EXPECT_NE(f.fontMedium11->FindGlyphNoFallback(0xE9), nullptr);
    EXPECT_NE(f.iconSolid16->FindGlyphNoFallback(0xF015), nullptr);
    EXPECT_NE(f.iconBrands14->FindGlyphNoFallback(0xF392), nullptr);
    EXPECT_EQ(SystemFont(), f.fontSystem14);
}

TEST_F(FontLoading, WithoutASystemFontMedium11StandsIn) {
    LoadUiFonts(Resources(nullptr), {"/nonexistent/font.ttf"});
    EXPECT_EQ(Fonts().fontSystem14, nullptr);
    EXPECT_EQ(SystemFont(), Fonts().fontMedium11);
}

// A missing or broken face leaves its handles null; the rest load, in order, and the atlas builds.
TEST_F(FontLoading, MissingOrBrokenFacesLeaveTheirHandlesNull) {
    std::map<int, std::vector<std::uint8_t>> overrides{
        {kResFontMedium, {}},
        {kResFontBold, std::vector<std::uint8_t>(4096, 0x5A)},
        {kResIconBrands, {'O', 'T', 'T', 'O', 0, 0}},
    };
    LoadUiFonts(Resources(&overrides), {});
    const UiFonts& f = Fonts();
    for (const ImFont* font : {f.fontMedium9, f.fontMedium10, f.fontMedium11, f.fontMedium12,
                               f.fontBold18, f.fontBold52, f.iconBrands10, f.iconBrands14})
        EXPECT_EQ(font, nullptr);
    ASSERT_EQ(Atlas().Fonts.Size, 6);
    EXPECT_EQ(Atlas().Fonts[0], f.fontLight13);  // the default font
    EXPECT_NE(f.fontRegular28, nullptr);
    EXPECT_TRUE(Atlas().Build());
    EXPECT_EQ(SystemFont(), nullptr);  // neither system font nor fontMedium11
}

// Every image reaches the uploader; a missing image or a failed upload leaves its slot null, the
// others still load, and release visits exactly the loaded ones.
TEST(UiTextures, LoadAndReleaseVisitEveryLoadedSlot) {
    std::intptr_t next = 1;
    int uploads = 0;
    LoadUiTextures(
        [](int id) {
            return id == kResHomeArt ? std::span<const std::uint8_t>{} : FindResourceData(id);
        },
        [&](const DecodedImage& image) {
            ++uploads;
            return image.width == 255 ? nullptr : reinterpret_cast<ImTextureID>(next++);
        });
    EXPECT_EQ(uploads, 10);
    EXPECT_EQ(Textures().texHomeArt, nullptr);
    EXPECT_EQ(Textures().texBadgeOrb, nullptr);  // the 255 pixel wide one
    EXPECT_NE(Textures().texBackground, nullptr);
    EXPECT_NE(Textures().texStreak, nullptr);
    int released = 0;
    ReleaseUiTextures([&](ImTextureID id) { released += id != nullptr; });
    EXPECT_EQ(released, 9);
    EXPECT_EQ(Textures().texStreak, nullptr);
}

}  // namespace
