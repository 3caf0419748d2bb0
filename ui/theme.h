#pragma once
// The launcher's look: ImGui style, the fifteen fonts and the images, all loaded once at start-up.
#include <imgui.h>

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
