#pragma once
// Routines every page shares: the hit-area pattern, text placement, toggle, tooltip, glow.
#include <imgui.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "ui/ui_state.h"

namespace qs {

struct HitResult {
    bool pressed = false;
    bool hovered = false;
};

// The pages are laid out in the 1280 x 760 design's units. The composer opens a scope for each
// frame that gives the widgets the display's scale and the keyboard focus; without one (a widget
// drawn on its own) the scale is 1 and nothing takes part in keyboard focus.
class UiFrameScope {
public:
    explicit UiFrameScope(UiState& ui);
    ~UiFrameScope();
    UiFrameScope(const UiFrameScope&) = delete;
    UiFrameScope& operator=(const UiFrameScope&) = delete;

private:
    float previousScale_;
    KeyboardFocus* previousFocus_;
};

float UiScaleFactor();
// A length of the design in pixels.
inline float Scaled(float length) {
    return length * UiScaleFactor();
}
inline ImVec2 Scaled(ImVec2 size) {
    return ImVec2(Scaled(size.x), Scaled(size.y));
}
// The design point (x, y) from a window's top-left corner, in pixels. Scaled points are rounded to
// whole pixels so that edges and text stay sharp; at scale 1 the point is exactly as given.
ImVec2 At(ImVec2 origin, float x, float y);

// Draws nothing for a null font; the draw list would otherwise fall back to ImGui's default font.
// `size` is in design units, `position` in pixels.
void AddTextIfFont(ImDrawList* drawList, ImFont* font, float size, ImVec2 position, ImU32 colour,
                   const char* text);
// The text's size in pixels at design size `size`, or `fallback` (design units) for a null font.
ImVec2 MeasureText(ImFont* font, float size, const char* text, ImVec2 fallback);

// The longest start of `text` whose width at `size` is at most `maxWidth`, followed by "..." when
// it had to be shortened: whole UTF-8 characters only, on one line (line feeds and tabs read as
// spaces). Empty when not even "..." fits, or without a font. Reads only as far as fits, so a
// text of megabytes costs no more than a short one.
std::string FitText(std::string_view text, const ImFont* font, float size, float maxWidth);

// Keyboard focus for things that are not HitButtons. A dialog's buttons sit between Begin and
// End: while any are on screen, Tab moves only among them.
void BeginFocusTrap();
void EndFocusTrap();
// Registers the last submitted item (e.g. a text field) as the next stop for Tab.
void RegisterFocusableItem(ImGuiID id);
// Whether `id` holds the focus, and whether the keyboard moved it there this frame.
bool HasKeyboardFocus(ImGuiID id);
bool KeyboardFocusArrived(ImGuiID id);
// Gives `id` the focus, e.g. a dialog's first button when it opens.
void MoveKeyboardFocus(ImGuiID id);

void PlayClickSound();
// `cursorPos` and `size` in design units. An enabled button is a stop for Tab; Enter or Space on
// it presses it as a click would.
HitResult HitButton(const char* id, ImVec2 cursorPos, ImVec2 size, bool enabled = true);
// Text sizes in design units, positions and rectangles in pixels.
void DrawTextCentered(ImDrawList* drawList, ImFont* font, float size, float centerX, float centerY,
                      ImU32 colour, const char* text);
void DrawTextInRect(ImDrawList* drawList, ImFont* font, float size, ImVec2 rectMin, ImVec2 rectMax,
                    ImU32 colour, const char* text);
// `origin` in pixels, the rest in design units. When the line limit leaves text over, the last
// line ends in "...".
void DrawWrappedText(ImDrawList* drawList, ImFont* font, float size, ImVec2 origin, float wrapWidth,
                     float lineAdvance, int maxLines, ImU32 colour, const char* text);
bool ToggleSwitch(const char* id, bool& value, ImVec2 cursorPos);
// The item's rectangle in pixels.
void DrawNavTooltip(ImDrawList* drawList, const char* label, float itemX, float itemY,
                    float itemWidth, float itemHeight, float& animation, bool show);
// All in pixels.
void AddRadialGlow(ImDrawList* drawList, ImVec2 center, float radius, ImU32 centerColour,
                   ImU32 edgeColour, int segments);
ImU32 LerpColor(ImU32 a, ImU32 b, float t);
// Stops once the result holds `maxBytes` bytes or more: a caller that keeps only the start of a
// long text need not clean all of it.
std::string SanitizeUiText(std::string_view utf8, std::size_t maxBytes = std::string_view::npos);

// Opens an address in the desktop's browser, only when it is an http or https URL.
bool OpenWebAddress(std::string_view url);

}  // namespace qs
