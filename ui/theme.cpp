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

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>

#include "resources/resources.h"

namespace {

UiFonts g_fonts;
UiTextures g_textures;

// Icon faces: everything from the space to the end of the basic plane.
constexpr ImWchar kIconGlyphRanges[] = {0x0020, 0xFFFF, 0};

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
ImFont* AddFontFromBytes(std::span<const std::uint8_t> data, float pixelSize,
                         const ImFontConfig& config, const ImWchar* ranges) {
    if (!IsReadableFont(data))
        return nullptr;
    void* copy = ImGui::MemAlloc(data.size());
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, data.data(), data.size());
    return ImGui::GetIO().Fonts->AddFontFromMemoryTTF(copy, static_cast<int>(data.size()),
                                                      pixelSize, &config, ranges);
}

ImFont* AddSystemFont(const std::vector<std::filesystem::path>& candidates,
                      const ImFontConfig& config) {
    for (const auto& path : candidates) {
        std::error_code error;
        if (!std::filesystem::is_regular_file(path, error))
            continue;
        std::ifstream file(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
        // The first existing file decides, as with the Windows font folder.
        return AddFontFromBytes(bytes, 14.0f, config, nullptr);
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

void ApplyLauncherStyle() {
    ImGui::StyleColorsDark();
    ImGuiStyle& style = ImGui::GetStyle();
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

void LoadUiFonts() {
    LoadUiFonts(FindResourceData, SystemFontCandidates());
}

void LoadUiFonts(const ResourceLookup& lookup,
                 const std::vector<std::filesystem::path>& systemFontCandidates) {
    ImFontConfig config;
    config.FontDataOwnedByAtlas = true;
    const ImWchar* latin = ImGui::GetIO().Fonts->GetGlyphRangesDefault();
    auto add = [&](int id, float size, const ImWchar* ranges) {
        return AddFontFromBytes(lookup(id), size, config, ranges);
    };

    UiFonts& f = g_fonts;
    f.fontMedium9 = add(kResFontMedium, 9.0f, latin);
    f.fontMedium10 = add(kResFontMedium, 10.0f, latin);
    f.fontMedium11 = add(kResFontMedium, 11.0f, latin);
    f.fontLight13 = add(kResFontLight, 13.0f, latin);
    f.fontMedium12 = add(kResFontMedium, 12.0f, latin);
    f.fontBold18 = add(kResFontBold, 18.0f, latin);
    f.fontRegular28 = add(kResFontRegular, 28.0f, latin);
    f.fontBold52 = add(kResFontBold, 52.0f, latin);
    f.fontSystem14 = AddSystemFont(systemFontCandidates, config);
    f.iconSolid10 = add(kResIconSolid, 10.0f, kIconGlyphRanges);
    f.iconSolid12 = add(kResIconSolid, 12.0f, kIconGlyphRanges);
    f.iconSolid14 = add(kResIconSolid, 14.0f, kIconGlyphRanges);
    f.iconSolid16 = add(kResIconSolid, 16.0f, kIconGlyphRanges);
    f.iconBrands10 = add(kResIconBrands, 10.0f, kIconGlyphRanges);
    f.iconBrands14 = add(kResIconBrands, 14.0f, kIconGlyphRanges);
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

void LoadUiTextures(const ResourceLookup& lookup, const TextureUploader& upload) {
    for (const UiTextureSlot& slot : kUiTextureSlots) {
        DecodedImage image;
        g_textures.*slot.handle =
            DecodeImage(lookup(slot.resourceId), image) ? upload(image) : nullptr;
    }
}

void ReleaseUiTextures(const std::function<void(ImTextureID)>& release) {
    for (const UiTextureSlot& slot : kUiTextureSlots) {
        ImTextureID& handle = g_textures.*slot.handle;
        if (handle != nullptr)
            release(handle);
        handle = nullptr;
    }
}
