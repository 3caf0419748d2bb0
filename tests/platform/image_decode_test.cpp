// The platform image decoder (stb_image on Linux, WIC on Windows) against a private copy of
// stb_image: every built-in image must come out with the same size and the same RGBA bytes, and
// bad data must be refused the same way on both systems.
#include <gtest/gtest.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wcast-align"
#pragma GCC diagnostic ignored "-Wnull-dereference"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb_image.h>
#pragma GCC diagnostic pop

#include <cstring>
#include <memory>

#include "platform/image_decode.h"
#include "resources/resources.h"

using namespace qs;

namespace {

struct ExpectedImage {
    int id, width, height, channels;  // channels in the file
};

constexpr ExpectedImage kImages[] = {
    {kResBackground, 942, 619, 3},  {kResHomeArt, 520, 325, 3},   {kResLogo, 3000, 3000, 4},
    {kResNewsBanner, 2235, 325, 4}, {kResBadgeOrb, 255, 268, 4},  {kResBadgeBolt, 243, 270, 4},
    {kResBadgeSwords, 241, 273, 4}, {kResBadgeBell, 323, 347, 4}, {kResIconBolt, 133, 129, 4},
    {kResIconTrophy, 136, 132, 4},  {kResStreak, 620, 129, 4},
};

// The first pixel (x, y) where two RGBA buffers of one size differ, or (-1, -1).
std::pair<int, int> FirstDifference(const std::vector<std::uint8_t>& a, const std::uint8_t* b,
                                    int width) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return {int(i / 4 % width), int(i / 4 / width)};
    return {-1, -1};
}

TEST(ImageDecode, EveryBuiltInImageMatchesTheReferenceDecoderByteForByte) {
    for (const ExpectedImage& expected : kImages) {
        SCOPED_TRACE(expected.id);
        const auto data = FindResourceData(expected.id);
        ASSERT_FALSE(data.empty());
        DecodedImage image;
        ASSERT_TRUE(DecodeImage(data, image));
        EXPECT_EQ(image.width, expected.width);
        EXPECT_EQ(image.height, expected.height);
        ASSERT_EQ(image.rgba.size(), std::size_t(expected.width) * expected.height * 4);

        int width = 0, height = 0, channels = 0;
        const std::unique_ptr<stbi_uc, void (*)(void*)> reference(
            stbi_load_from_memory(data.data(), int(data.size()), &width, &height, &channels, 4),
            stbi_image_free);
        ASSERT_NE(reference, nullptr);
        ASSERT_EQ(width, image.width);
        ASSERT_EQ(height, image.height);
        EXPECT_EQ(channels, expected.channels);
        const auto [x, y] = FirstDifference(image.rgba, reference.get(), width);
        EXPECT_EQ(x, -1) << "first differing pixel at " << x << ", " << y;
    }
}

TEST(ImageDecode, RejectsEmptyBrokenHugeAndTruncatedData) {
    DecodedImage image;
    EXPECT_FALSE(DecodeImage({}, image));
    const std::uint8_t garbage[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(DecodeImage(garbage, image));
    // A PNG header claiming 100000 x 100000 pixels is refused before any pixel is allocated.
    const auto logo = FindResourceData(kResLogo);
    std::vector<std::uint8_t> bomb(logo.begin(), logo.begin() + 64);
    const std::uint8_t huge[] = {0x00, 0x01, 0x86, 0xA0};
    std::memcpy(&bomb[16], huge, 4);
    std::memcpy(&bomb[20], huge, 4);
    EXPECT_FALSE(DecodeImage(bomb, image));
    EXPECT_EQ(image.width, 0);
    EXPECT_TRUE(image.rgba.empty());
    // Truncated data fails cleanly and leaves nothing behind.
    ASSERT_TRUE(DecodeImage(logo, image));
    EXPECT_FALSE(DecodeImage(logo.subspan(0, logo.size() / 2), image));
    EXPECT_EQ(image.width, 0);
    EXPECT_TRUE(image.rgba.empty());
}

}  // namespace
