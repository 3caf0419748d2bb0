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

namespace qs {

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

// The style at the display's scale (ImGui's own sizes scaled, e.g. the path field's padding).
void ApplyLauncherStyle(float scale = 1.0f);
// Adds the fifteen fonts to the current context's atlas in their fixed order, rasterised at their
// pixel size times `scale` so that a scaled display shows them sharp.
void LoadUiFonts(float scale = 1.0f);

// Where font and image bytes come from; FindResourceData in the launcher, anything in tests.
using ResourceLookup = std::function<std::span<const std::uint8_t>(int id)>;

// The same into `atlas` (which needs no ImGui context, so it can be built on another thread before
// one exists), with the lookup and the system-font files to try (first existing wins) handed in.
// A resource that is missing or not a readable font leaves its handles null.
void LoadUiFonts(ImFontAtlas& atlas, const ResourceLookup& lookup,
                 const std::vector<std::filesystem::path>& systemFontCandidates,
                 float scale = 1.0f);
// Into the current context's atlas.
void LoadUiFonts(const ResourceLookup& lookup,
                 const std::vector<std::filesystem::path>& systemFontCandidates,
                 float scale = 1.0f);

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

// Every image slot decoded, in the fixed order (an empty image for a failed one). Needs no ImGui
// context or GPU, so it may run on another thread. Images far larger than the pages ever draw
// them (the 3000 px logo) are halved first: the GPU then has less to take and to mipmap.
using DecodedUiImages = std::array<DecodedImage, 11>;
DecodedUiImages DecodeUiImages(const ResourceLookup& lookup);
// Uploads decoded images into their slots; a failed image leaves its slot null.
void UploadUiImages(DecodedUiImages& images, const TextureUploader& upload);
// Both at once, in the fixed order.
void LoadUiTextures(const ResourceLookup& lookup, const TextureUploader& upload);

// Halves `image` (2 x 2 averages) while its longer edge stays at least `minEdge` after halving.
void HalveWhileLarger(DecodedImage& image, int minEdge);
// Hands every non-null slot to `release` and clears it.
void ReleaseUiTextures(const std::function<void(ImTextureID)>& release);

}  // namespace qs
