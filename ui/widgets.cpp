#include "ui/widgets.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "app/settings.h"
#include "platform/process.h"
#include "platform/sound.h"
#include "ui/theme.h"
#include "ui/ui_logic.h"

namespace qs {

namespace {

// The frame's context, set by UiFrameScope: a pointer to the frame-owned focus, not state itself.
float g_scale = 1.0f;
KeyboardFocus* g_focus = nullptr;

// The chime's bytes, built on the first click and kept for the process's life: the audio layer
// may still be reading them when the next frame runs.
const std::vector<std::uint8_t>& ClickSoundWave() {
    static const std::vector<std::uint8_t> wave = BuildClickSoundWave();
    return wave;
}

// A multi-byte sequence and the text it becomes; nullptr drops it.
struct Replacement {
    const char* bytes;
    std::size_t length;
    const char* text;
};

constexpr Replacement kReplacements[] = {
    {"\xC2\xA0", 2, " "},       {"\xC2\xB7", 2, "-"},      {"\xE2\x80\x93", 3, "-"},
    {"\xE2\x80\x94", 3, "-"},   {"\xE2\x80\x98", 3, "'"},  {"\xE2\x80\x99", 3, "'"},
    {"\xE2\x80\x9C", 3, "\""},  {"\xE2\x80\x9D", 3, "\""}, {"\xE2\x80\xA2", 3, "-"},
    {"\xE2\x80\xA6", 3, "..."}, {"\xE2\x89\x88", 3, " "},
};

}  // namespace

UiFrameScope::UiFrameScope(UiState& ui) : previousScale_(g_scale), previousFocus_(g_focus) {
    g_scale = ui.scale > 0.0f ? ui.scale : 1.0f;
    g_focus = &ui.focus;
}

UiFrameScope::~UiFrameScope() {
    g_scale = previousScale_;
    g_focus = previousFocus_;
}

float UiScaleFactor() {
    return g_scale;
}

ImVec2 At(ImVec2 origin, float x, float y) {
    if (g_scale == 1.0f)
        return ImVec2(origin.x + x, origin.y + y);
    return ImVec2(origin.x + std::round(x * g_scale), origin.y + std::round(y * g_scale));
}

void BeginFocusTrap() {
    if (g_focus)
        ++g_focus->trapDepth;
}

void EndFocusTrap() {
    if (g_focus && g_focus->trapDepth > 0)
        --g_focus->trapDepth;
}

void RegisterFocusableItem(ImGuiID id) {
    if (g_focus)
        g_focus->current.push_back(
            {id, ImGui::GetItemRectMin(), ImGui::GetItemRectMax(), g_focus->trapDepth > 0});
}

bool HasKeyboardFocus(ImGuiID id) {
    return g_focus && id != 0 && g_focus->focused == id;
}

bool KeyboardFocusArrived(ImGuiID id) {
    return HasKeyboardFocus(id) && g_focus->moved;
}

void MoveKeyboardFocus(ImGuiID id) {
    if (g_focus)
        g_focus->focused = id;
}

void PlayClickSound() {
    PlayWaveAsync(ClickSoundWave());
}

HitResult HitButton(const char* id, ImVec2 cursorPos, ImVec2 size, bool enabled) {
    const ImGuiID itemId = ImGui::GetID(id);
    ImGui::SetCursorPos(At(ImVec2(0.0f, 0.0f), cursorPos.x, cursorPos.y));
    const bool clicked = ImGui::InvisibleButton(id, Scaled(size));
    HitResult result;
    result.hovered = ImGui::IsItemHovered();
    if (result.hovered && enabled)
        ImGui::SetMouseCursor(ImGuiMouseCursor_Hand);
    if (!enabled)
        return result;
    RegisterFocusableItem(itemId);
    if (clicked)
        MoveKeyboardFocus(itemId);  // Tab goes on from what was clicked
    if (clicked || (g_focus && g_focus->activate == itemId)) {
        result.pressed = true;
        PlayClickSound();
    }
    return result;
}

void DrawTextCentered(ImDrawList* drawList, ImFont* font, float size, float centerX, float centerY,
                      ImU32 colour, const char* text) {
    if (!font || !text)
        return;
    const float pixels = Scaled(size);
    const ImVec2 extent = font->CalcTextSizeA(pixels, FLT_MAX, 0.0f, text);
    drawList->AddText(font, pixels, ImVec2(centerX - extent.x / 2.0f, centerY - extent.y / 2.0f),
                      colour, text);
}

void DrawTextInRect(ImDrawList* drawList, ImFont* font, float size, ImVec2 rectMin, ImVec2 rectMax,
                    ImU32 colour, const char* text) {
    if (!font || !text)
        return;
    const float pixels = Scaled(size);
    const ImVec2 extent = font->CalcTextSizeA(pixels, FLT_MAX, 0.0f, text);
    drawList->AddText(font, pixels,
                      ImVec2(rectMin.x + (rectMax.x - rectMin.x - extent.x) / 2.0f,
                             rectMin.y + (rectMax.y - rectMin.y - extent.y) / 2.0f),
                      colour, text);
}

void DrawWrappedText(ImDrawList* drawList, ImFont* font, float size, ImVec2 origin, float wrapWidth,
                     float lineAdvance, int maxLines, ImU32 colour, const char* text) {
    if (!font || !text)
        return;
    const float pixels = Scaled(size);
    const float wrapPixels = Scaled(wrapWidth);
    const char* cursor = text;
    const char* const end = text + std::strlen(text);
    ImVec2 position = origin;
    int lines = 0;
    while (cursor < end && (maxLines <= 0 || lines < maxLines)) {
        // Measured at the font's own size, as every caller draws at it.
        const char* lineEnd = font->CalcWordWrapPositionA(1.0f, cursor, end, wrapPixels);
        if (lineEnd == cursor)
            lineEnd = end;
        // The wrap finder steps over line feeds; a line feed still ends the line, or AddText
        // would draw the rest on top of the next line.
        if (const void* feed =
                std::memchr(cursor, '\n', static_cast<std::size_t>(lineEnd - cursor)))
            lineEnd = static_cast<const char*>(feed);
        const char* next = lineEnd;
        while (next < end && (*next == ' ' || *next == '\n'))
            ++next;
        if (maxLines > 0 && lines + 1 == maxLines && next < end) {
            // The last line the box allows, with more to come: it ends in "...", shortened
            // further when that does not fit.
            std::string last(cursor, lineEnd);
            last += "...";
            if (font->CalcTextSizeA(pixels, FLT_MAX, 0.0f, last.c_str()).x > wrapPixels)
                last = FitText(std::string_view(cursor, static_cast<std::size_t>(end - cursor)),
                               font, size, wrapWidth);
            drawList->AddText(font, pixels, position, colour, last.c_str());
            return;
        }
        drawList->AddText(font, pixels, position, colour, cursor, lineEnd);
        position.y += Scaled(lineAdvance);
        ++lines;
        cursor = next;
    }
}

bool ToggleSwitch(const char* id, bool& value, ImVec2 cursorPos) {
    const HitResult hit = HitButton(id, cursorPos, ImVec2(34.0f, 18.0f), true);
    if (hit.pressed) {
        value = !value;
        RecomputeUnsavedChanges(CurrentSettings());
    }
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    const ImVec2 p = ImGui::GetItemRectMin();
    drawList->AddRectFilled(p, At(p, 34.0f, 18.0f),
                            value ? palette::kAccentViolet : palette::White(31), Scaled(9.0f));
    if (value) {
        drawList->AddCircleFilled(At(p, 25.0f, 9.0f), Scaled(6.0f), palette::kWhite);
    } else {
        drawList->AddCircleFilled(At(p, 9.0f, 9.0f), Scaled(6.0f), palette::kSecondaryText);
    }
    return hit.pressed;
}

void DrawNavTooltip(ImDrawList* drawList, const char* label, float itemX, float itemY,
                    float itemWidth, float itemHeight, float& animation, bool show) {
    animation = ApproachLevel(animation, show ? 1.0f : 0.0f,
                              AnimationRate(ImGui::GetIO().DeltaTime, 12.0f));
    ImFont* font = Fonts().fontMedium11;
    if (animation < 0.01f || !font || !label)
        return;
    const float a = animation;
    const ImVec2 extent = MeasureText(font, 12.0f, label, ImVec2(0.0f, 0.0f));
    const float boxWidth = extent.x + Scaled(20.0f);
    const float boxHeight = Scaled(30.0f);
    const float left = itemX + itemWidth + Scaled(8.0f) - Scaled(12.0f) * (1.0f - a);
    const float top = itemY + (itemHeight - boxHeight) / 2.0f;
    const ImVec2 boxMin(left, top);
    const ImVec2 boxMax(left + boxWidth, top + boxHeight);
    drawList->AddRectFilled(boxMin, boxMax, IM_COL32(0x15, 0x15, 0x1A, LevelAlpha(a, 250)),
                            Scaled(6.0f));
    drawList->AddRect(boxMin, boxMax, IM_COL32(0x26, 0x26, 0x2A, LevelAlpha(a, 255)), Scaled(6.0f),
                      0, Scaled(1.0f));
    AddTextIfFont(drawList, font, 12.0f,
                  ImVec2(left + Scaled(10.0f), top + (boxHeight - extent.y) / 2.0f),
                  IM_COL32(0xF0, 0xF0, 0xF5, LevelAlpha(a, 255)), label);
}

void AddRadialGlow(ImDrawList* drawList, ImVec2 center, float radius, ImU32 centerColour,
                   ImU32 edgeColour, int segments) {
    if (radius <= 0.0f || (centerColour & IM_COL32_A_MASK) == 0 || segments < 3)
        return;
    const ImVec2 uv = ImGui::GetFontTexUvWhitePixel();
    drawList->PrimReserve(3 * segments, segments + 1);
    const auto base = static_cast<ImDrawIdx>(drawList->_VtxCurrentIdx);
    drawList->PrimWriteVtx(center, uv, centerColour);
    const float step = 2.0f * 3.14159265f / static_cast<float>(segments);
    for (int i = 0; i < segments; ++i) {
        const float angle = static_cast<float>(i) * step;
        drawList->PrimWriteVtx(
            ImVec2(center.x + radius * std::cos(angle), center.y + radius * std::sin(angle)), uv,
            edgeColour);
    }
    for (int i = 0; i < segments; ++i) {
        drawList->PrimWriteIdx(base);
        drawList->PrimWriteIdx(static_cast<ImDrawIdx>(base + 1 + i));
        drawList->PrimWriteIdx(static_cast<ImDrawIdx>(base + 1 + (i + 1) % segments));
    }
}

ImU32 LerpColor(ImU32 a, ImU32 b, float t) {
    if (t <= 0.0f)
        return a;
    if (t >= 1.0f)
        return b;
    ImU32 result = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const int from = static_cast<int>((a >> shift) & 0xFF);
        const int to = static_cast<int>((b >> shift) & 0xFF);
        const int channel = from + static_cast<int>(static_cast<float>(to - from) * t);
        result |= static_cast<ImU32>(channel & 0xFF) << shift;
    }
    return result;
}

std::string SanitizeUiText(std::string_view utf8, std::size_t maxBytes) {
    std::string out;
    out.reserve(std::min(utf8.size(), maxBytes));
    std::size_t i = 0;
    while (i < utf8.size() && out.size() < maxBytes) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            if ((byte >= 0x20 && byte <= 0x7E) || byte == '\t' || byte == '\n')
                out.push_back(static_cast<char>(byte));
            ++i;
            continue;
        }
        const std::string_view rest = utf8.substr(i);
        const Replacement* match = nullptr;
        for (const Replacement& candidate : kReplacements) {
            if (rest.starts_with(std::string_view(candidate.bytes, candidate.length))) {
                match = &candidate;
                break;
            }
        }
        if (match) {
            out.append(match->text);
            i += match->length;
            continue;
        }
        std::size_t skip = 1;
        if ((byte & 0xE0) == 0xC0) {
            skip = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            skip = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            skip = 4;
        }
        if (skip > rest.size())
            skip = 1;
        i += skip;
    }
    return out;
}

void AddTextIfFont(ImDrawList* drawList, ImFont* font, float size, ImVec2 position, ImU32 colour,
                   const char* text) {
    if (font && text)
        drawList->AddText(font, Scaled(size), position, colour, text);
}

ImVec2 MeasureText(ImFont* font, float size, const char* text, ImVec2 fallback) {
    if (!font || !text)
        return Scaled(fallback);
    return font->CalcTextSizeA(Scaled(size), FLT_MAX, 0.0f, text);
}

std::string FitText(std::string_view text, const ImFont* font, float size, float maxWidth) {
    if (!font || !(font->FontSize > 0.0f) || !(maxWidth > 0.0f))
        return {};
    const float scale = size / font->FontSize;
    auto advance = [&](unsigned int c) {
        return font->GetCharAdvance(static_cast<ImWchar>(c)) * scale;
    };
    const float ellipsis = 3.0f * advance('.');
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    std::string line;
    float width = 0.0f;
    std::size_t keep = 0;  // bytes of `line` that leave room for "..."
    for (const char* cursor = begin; cursor < end;) {
        unsigned int c = 0;
        const int length = ImTextCharFromUtf8(&c, cursor, end);
        const char* const next = cursor + (length > 0 ? length : 1);
        const bool blank = c == '\n' || c == '\t' || c == '\r';
        width += advance(blank ? ' ' : c);
        if (width > maxWidth) {
            line.resize(keep);
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            if (ellipsis > maxWidth)
                return {};
            return line + "...";
        }
        if (blank)
            line.push_back(' ');
        else
            line.append(cursor, next);
        if (width + ellipsis <= maxWidth)
            keep = line.size();
        cursor = next;
    }
    return line;
}

bool OpenWebAddress(std::string_view url) {
    if (!IsWebAddress(url))
        return false;
    return OpenWithDesktop(std::string(url));
}

}  // namespace qs
