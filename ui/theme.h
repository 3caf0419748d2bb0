#pragma once
// The launcher's look: ImGui style, the fifteen fonts and the images, all loaded once at start-up.
#include <imgui.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <vector>

#include "platform/image_decode.h"

struct UiFonts {
    ImFont* fontMedium9 = nullptr;
    ImFont* fontMedium10 = nullptr;
    ImFont* fontMedium11 = nullptr;
    ImFont* fontLight13 = nullptr;
    ImFont* fontMedium12 = nullptr;
    ImFont* fontBold18 = nullptr;
    ImFont* fontRegular28 = nullptr;
    ImFont* fontBold52 = nullptr;
    ImFont* fontSystem14 = nullptr;
    ImFont* iconSolid10 = nullptr;
    ImFont* iconSolid12 = nullptr;
    ImFont* iconSolid14 = nullptr;
    ImFont* iconSolid16 = nullptr;
    ImFont* iconBrands10 = nullptr;
    ImFont* iconBrands14 = nullptr;
};

struct UiTextures {
    ImTextureID texBackground = nullptr;
    ImTextureID texHomeArt = nullptr;
    ImTextureID texLogo = nullptr;
    ImTextureID texNewsBanner = nullptr;
    ImTextureID texBadgeOrb = nullptr;
    ImTextureID texBadgeBolt = nullptr;
    ImTextureID texBadgeSwords = nullptr;
    ImTextureID texBadgeBell = nullptr;
    ImTextureID texIconBolt = nullptr;
    ImTextureID texIconTrophy = nullptr;
    ImTextureID texStreak = nullptr;
};

// Process-wide handles (null when not loaded). Tests may set them directly.
UiFonts& Fonts();
UiTextures& Textures();

// The system-font accessor: fontSystem14, else fontMedium11.
ImFont* SystemFont();

void ApplyLauncherStyle();
// Adds the fifteen fonts to the current context's atlas in their fixed order.
void LoadUiFonts();

// Where font and image bytes come from; FindResourceData in the launcher, anything in tests.
using ResourceLookup = std::function<std::span<const std::uint8_t>(int id)>;

// The same with the lookup and the system-font files to try (first existing wins) handed in.
// A resource that is missing or not a readable font leaves its handles null.
void LoadUiFonts(const ResourceLookup& lookup,
                 const std::vector<std::filesystem::path>& systemFontCandidates);

// Linux: DejaVu Sans, else Liberation Sans (the metric twin of Arial). Windows: Segoe UI, else
// Arial, from the Windows font folder.
std::vector<std::filesystem::path> SystemFontCandidates();

// One image slot of UiTextures and its resource id, in the fixed load order.
struct UiTextureSlot {
    int resourceId;
    ImTextureID UiTextures::*handle;
};
extern const std::array<UiTextureSlot, 11> kUiTextureSlots;

// Makes a GPU texture of the pixels; null on failure. Supplied by the shell, which owns the GPU.
using TextureUploader = std::function<ImTextureID(const DecodedImage& image)>;

// Decodes and uploads every image slot in the fixed order; a failed image leaves its slot null.
void LoadUiTextures(const ResourceLookup& lookup, const TextureUploader& upload);
// Hands every non-null slot to `release` and clears it.
void ReleaseUiTextures(const std::function<void(ImTextureID)>& release);
