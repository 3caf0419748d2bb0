#pragma once
// Routines every page shares: the hit-area pattern, text placement, toggle, tooltip, glow.
#include <imgui.h>

#include <cstdint>
#include <string>
#include <string_view>

struct HitResult {
    bool pressed = false;
    bool hovered = false;
};

// A point at (x, y) from a window's top-left corner.
inline ImVec2 At(ImVec2 origin, float x, float y) {
    return ImVec2(origin.x + x, origin.y + y);
}
// Draws nothing for a null font; the draw list would otherwise fall back to ImGui's default font.
void AddTextIfFont(ImDrawList* drawList, ImFont* font, float size, ImVec2 position, ImU32 colour,
                   const char* text);
// The text's size, or `fallback` for a null font.
ImVec2 MeasureText(ImFont* font, float size, const char* text, ImVec2 fallback);

void PlayClickSound();
HitResult HitButton(const char* id, ImVec2 cursorPos, ImVec2 size, bool enabled = true);
void DrawTextCentered(ImDrawList* drawList, ImFont* font, float size, float centerX, float centerY,
                      ImU32 colour, const char* text);
void DrawTextInRect(ImDrawList* drawList, ImFont* font, float size, ImVec2 rectMin, ImVec2 rectMax,
                    ImU32 colour, const char* text);
void DrawWrappedText(ImDrawList* drawList, ImFont* font, float size, ImVec2 origin, float wrapWidth,
                     float lineAdvance, int maxLines, ImU32 colour, const char* text);
bool ToggleSwitch(const char* id, bool& value, ImVec2 cursorPos);
void DrawNavTooltip(ImDrawList* drawList, const char* label, float itemX, float itemY,
                    float itemWidth, float itemHeight, float& animation, bool show);
void AddRadialGlow(ImDrawList* drawList, ImVec2 center, float radius, ImU32 centerColour,
                   ImU32 edgeColour, int segments);
ImU32 LerpColor(ImU32 a, ImU32 b, float t);
std::string SanitizeUiText(std::string_view utf8);

// Opens an address in the desktop's browser, only when it is an http or https URL.
bool OpenWebAddress(std::string_view url);
