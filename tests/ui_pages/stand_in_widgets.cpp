// Minimal shared widgets for headless page tests while the real ones are not in the tree:
// the same hit-testing contract, simpler drawing.
#include <cfloat>

#include "app/settings.h"
#include "ui/widgets.h"

void PlayClickSound() {}

HitResult HitButton(const char* id, ImVec2 cursorPos, ImVec2 size, bool enabled) {
    ImGui::SetCursorPos(cursorPos);
    bool pressed = ImGui::InvisibleButton(id, size);
    bool hovered = ImGui::IsItemHovered();
    if (hovered && enabled)
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
    return {pressed && enabled, hovered};
}

void DrawTextCentered(ImDrawList* drawList, ImFont* font, float size, float centerX, float centerY,
                      ImU32 colour, const char* text) {
    if (!font)
        return;
    ImVec2 extent = font->CalcTextSizeA(size, FLT_MAX, 0, text);
    drawList->AddText(font, size, ImVec2(centerX - extent.x / 2, centerY - extent.y / 2), colour,
                      text);
}

void DrawTextInRect(ImDrawList* drawList, ImFont* font, float size, ImVec2 rectMin, ImVec2 rectMax,
                    ImU32 colour, const char* text) {
    if (!font)
        return;
    ImVec2 extent = font->CalcTextSizeA(size, FLT_MAX, 0, text);
    drawList->AddText(font, size,
                      ImVec2(rectMin.x + (rectMax.x - rectMin.x - extent.x) / 2,
                             rectMin.y + (rectMax.y - rectMin.y - extent.y) / 2),
                      colour, text);
}

void DrawWrappedText(ImDrawList* drawList, ImFont* font, float size, ImVec2 origin, float wrapWidth,
                     float lineAdvance, int maxLines, ImU32 colour, const char* text) {
    if (!font)
        return;
    (void)wrapWidth;
    (void)lineAdvance;
    (void)maxLines;
    drawList->AddText(font, size, origin, colour, text);
}

bool ToggleSwitch(const char* id, bool& value, ImVec2 cursorPos) {
    HitResult hit = HitButton(id, cursorPos, ImVec2(34, 18));
    if (hit.pressed) {
        value = !value;
        RecomputeUnsavedChanges(CurrentSettings());
    }
    return hit.pressed;
}

std::string SanitizeUiText(std::string_view utf8) {
    std::string out;
    for (char c : utf8) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte < 0x7F) || byte == '\t' || byte == '\n')
            out.push_back(c);
    }
    return out;
}

bool OpenWebAddress(std::string_view) {
    return false;
}
