#include "ui/theme.h"

#ifdef _WIN32
// No system stb here: validate with ImGui's own copy, kept private to this file.
#define STBTT_STATIC
#define STB_TRUETYPE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <imstb_truetype.h>
#pragma GCC diagnostic pop
#else
#include <stb_truetype.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

#include "resources/resources.h"

namespace qs {

namespace {

UiFonts g_fonts;
UiTextures g_textures;

// The icon faces hold well over a thousand glyphs; rasterising only the ones the pages draw keeps
// the atlas small and its build short, at every scale.
constexpr ImWchar kSolidGlyphRanges[] = {
    0x0020, 0x0020, 0x002B, 0x002B,  // space, plus
    0xF00C, 0xF00D, 0xF013, 0xF013, 0xF015, 0xF015, 0xF019, 0xF019, 0xF03A, 0xF03A, 0xF03D,
    0xF03D, 0xF04B, 0xF04B, 0xF053, 0xF054, 0xF05A, 0xF05A, 0xF063, 0xF063, 0xF068, 0xF068,
    0xF07C, 0xF07C, 0xF0AC, 0xF0AC, 0xF0F3, 0xF0F3, 0xF105, 0xF105, 0,
};
constexpr ImWchar kBrandGlyphRanges[] = {0x0020, 0x0020, 0xF392, 0xF392, 0};

// Latin-1 and the punctuation of news texts and progress lines (dashes, quotes, bullet, ellipsis)
// that the text face has.
constexpr ImWchar kTextGlyphRanges[] = {0x0020, 0x00FF, 0x2013, 0x2014, 0x2018, 0x201A, 0x201C,
                                        0x201E, 0x2022, 0x2022, 0x2026, 0x2026, 0};

// The two title faces set only the words "Quillon" and "SAGA": letters are all they need, and at
// 28 and 52 px the full Latin range would be most of the atlas's work.
constexpr ImWchar kTitleGlyphRanges[] = {0x0020, 0x0020, 0x0041, 0x005A, 0x0061, 0x007A, 0};

// The longest edge the pages ever need of the logo: 56 design pixels at the largest scale.
constexpr int kLogoEdge = 56 * 4;

// ImGui asserts (or builds an empty atlas) on bytes that are not a font, so check them first.
bool IsReadableFont(std::span<const std::uint8_t> data) {
    if (data.size() < 12 || data.size() > INT_MAX)
        return false;
    const int offset = stbtt_GetFontOffsetForIndex(data.data(), 0);
    if (offset < 0 || static_cast<std::size_t>(offset) >= data.size())
        return false;
    stbtt_fontinfo info;
    return stbtt_InitFont(&info, data.data(), offset) != 0;
}

// The atlas takes ownership of an ImGui::MemAlloc copy of the bytes.
ImFont* AddFontFromBytes(ImFontAtlas& atlas, std::span<const std::uint8_t> data, float pixelSize,
                         const ImFontConfig& config, const ImWchar* ranges) {
    if (!IsReadableFont(data))
        return nullptr;
    void* copy = ImGui::MemAlloc(data.size());
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, data.data(), data.size());
    return atlas.AddFontFromMemoryTTF(copy, static_cast<int>(data.size()), pixelSize, &config,
                                      ranges);
}

ImFont* AddSystemFont(ImFontAtlas& atlas, const std::vector<std::filesystem::path>& candidates,
                      float pixelSize, const ImFontConfig& config) {
    for (const auto& path : candidates) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error))
            continue;
        std::ifstream file(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        // The first existing file decides, as with the Windows font folder.
        return AddFontFromBytes(atlas, bytes, pixelSize, config, nullptr);
    }
    return nullptr;
}

}  // namespace

UiFonts& Fonts() {
    return g_fonts;
}
UiTextures& Textures() {
    return g_textures;
}

ImFont* SystemFont() {
    return g_fonts.fontSystem14 != nullptr ? g_fonts.fontSystem14 : g_fonts.fontMedium11;
}

void ApplyLauncherStyle(float scale) {
    ImGuiStyle& style = ImGui::GetStyle();
    style = ImGuiStyle();  // from scratch: scaling twice must not compound
    ImGui::StyleColorsDark();
    style.WindowPadding = ImVec2(0.0f, 0.0f);
    style.FramePadding = ImVec2(12.0f, 8.0f);
    style.FrameRounding = 6.0f;
    style.FrameBorderSize = 1.0f;
    style.PopupRounding = 8.0f;
    style.GrabRounding = 6.0f;
    style.Colors[ImGuiCol_Border] = ImVec4(1.0f, 1.0f, 1.0f, 0.07f);
    style.Colors[ImGuiCol_Button] = ImVec4(1.0f, 1.0f, 1.0f, 0.07f);
    style.Colors[ImGuiCol_ButtonHovered] = ImVec4(1.0f, 1.0f, 1.0f, 0.11f);
    style.Colors[ImGuiCol_ButtonActive] = ImVec4(0.49f, 0.40f, 0.80f, 0.30f);
    if (scale != 1.0f)
        style.ScaleAllSizes(scale);
}

std::vector<std::filesystem::path> SystemFontCandidates() {
#ifdef _WIN32
    return {L"C:\\Windows\\Fonts\\segoeui.ttf", L"C:\\Windows\\Fonts\\arial.ttf"};
#else
    return {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
            "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
            "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf"};
#endif
}

void LoadUiFonts(float scale) {
    LoadUiFonts(FindResourceData, SystemFontCandidates(), scale);
}

void LoadUiFonts(const ResourceLookup& lookup,
                 const std::vector<std::filesystem::path>& systemFontCandidates, float scale) {
    LoadUiFonts(*ImGui::GetIO().Fonts, lookup, systemFontCandidates, scale);
}

void LoadUiFonts(ImFontAtlas& atlas, const ResourceLookup& lookup,
                 const std::vector<std::filesystem::path>& systemFontCandidates, float scale) {
    ImFontConfig config;
    config.FontDataOwnedByAtlas = true;
    const ImWchar* text = kTextGlyphRanges;
    auto add = [&](int id, float size, const ImWchar* ranges) {
        return AddFontFromBytes(atlas, lookup(id), size * scale, config, ranges);
    };

    UiFonts& f = g_fonts;
    f.fontMedium9 = add(kResFontMedium, 9.0f, text);
    f.fontMedium10 = add(kResFontMedium, 10.0f, text);
    f.fontMedium11 = add(kResFontMedium, 11.0f, text);
    f.fontLight13 = add(kResFontLight, 13.0f, text);
    f.fontMedium12 = add(kResFontMedium, 12.0f, text);
    f.fontBold18 = add(kResFontBold, 18.0f, text);
    f.fontRegular28 = add(kResFontRegular, 28.0f, kTitleGlyphRanges);
    f.fontBold52 = add(kResFontBold, 52.0f, kTitleGlyphRanges);
    f.fontSystem14 = AddSystemFont(atlas, systemFontCandidates, 14.0f * scale, config);
    f.iconSolid10 = add(kResIconSolid, 10.0f, kSolidGlyphRanges);
    f.iconSolid12 = add(kResIconSolid, 12.0f, kSolidGlyphRanges);
    f.iconSolid14 = add(kResIconSolid, 14.0f, kSolidGlyphRanges);
    f.iconSolid16 = add(kResIconSolid, 16.0f, kSolidGlyphRanges);
    f.iconBrands10 = add(kResIconBrands, 10.0f, kBrandGlyphRanges);
    f.iconBrands14 = add(kResIconBrands, 14.0f, kBrandGlyphRanges);
}

const std::array<UiTextureSlot, 11> kUiTextureSlots = {{
    {kResBackground, &UiTextures::texBackground},
    {kResHomeArt, &UiTextures::texHomeArt},
    {kResLogo, &UiTextures::texLogo},
    {kResNewsBanner, &UiTextures::texNewsBanner},
    {kResBadgeOrb, &UiTextures::texBadgeOrb},
    {kResBadgeBolt, &UiTextures::texBadgeBolt},
    {kResBadgeSwords, &UiTextures::texBadgeSwords},
    {kResBadgeBell, &UiTextures::texBadgeBell},
    {kResIconBolt, &UiTextures::texIconBolt},
    {kResIconTrophy, &UiTextures::texIconTrophy},
    {kResStreak, &UiTextures::texStreak},
}};

void HalveWhileLarger(DecodedImage& image, int minEdge) {
    while (std::max(image.width, image.height) / 2 >= minEdge && image.width >= 2 &&
           image.height >= 2) {
        const int width = image.width / 2, height = image.height / 2;
        const std::size_t stride = std::size_t(image.width) * 4;
        std::vector<std::uint8_t> half(std::size_t(width) * height * 4);
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* top = image.rgba.data() + std::size_t(2 * y) * stride;
            const std::uint8_t* bottom = top + stride;
            std::uint8_t* out = half.data() + std::size_t(y) * width * 4;
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 4; ++c) {
                    const std::size_t at = std::size_t(2 * x) * 4 + c;
                    out[std::size_t(x) * 4 + c] = static_cast<std::uint8_t>(
                        (top[at] + top[at + 4] + bottom[at] + bottom[at + 4] + 2) / 4);
                }
        }
        image = {width, height, std::move(half)};
    }
}

DecodedUiImages DecodeUiImages(const ResourceLookup& lookup) {
    DecodedUiImages images;
    for (std::size_t i = 0; i < kUiTextureSlots.size(); ++i) {
        if (!DecodeImage(lookup(kUiTextureSlots[i].resourceId), images[i]))
            images[i] = DecodedImage{};
        if (kUiTextureSlots[i].resourceId == kResLogo)
            HalveWhileLarger(images[i], kLogoEdge);
    }
    return images;
}

void UploadUiImages(DecodedUiImages& images, const TextureUploader& upload) {
    for (std::size_t i = 0; i < kUiTextureSlots.size(); ++i) {
        DecodedImage& image = images[i];
        g_textures.*kUiTextureSlots[i].handle = image.width > 0 ? upload(image) : nullptr;
        image = DecodedImage{};  // the GPU has its copy
    }
}

void LoadUiTextures(const ResourceLookup& lookup, const TextureUploader& upload) {
    DecodedUiImages images = DecodeUiImages(lookup);
    UploadUiImages(images, upload);
}

void ReleaseUiTextures(const std::function<void(ImTextureID)>& release) {
    for (const UiTextureSlot& slot : kUiTextureSlots) {
        ImTextureID& handle = g_textures.*slot.handle;
        if (handle != nullptr)
            release(handle);
        handle = nullptr;
    }
}

}  // namespace qs
