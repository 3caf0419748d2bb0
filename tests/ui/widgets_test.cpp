// Widgets inside a bare window: hit areas, text placement and the glow's geometry.
#include "ui/widgets.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <set>

#include "ui/theme.h"
#include "ui_harness.h"

namespace {

TEST(UiHitButton, PressesOnceOnReleaseOnlyWhenEnabled) {
    for (bool enabled : {true, false}) {
        UiHarness h(FontMode::Null);
        HitResult last;
        int presses = 0;
        auto body = [&] {
            last = HitButton("##b", ImVec2(100.0f, 100.0f), ImVec2(50.0f, 20.0f), enabled);
            presses += last.pressed;
        };
        h.clickWith(120.0f, 110.0f, body);
        EXPECT_EQ(presses, enabled ? 1 : 0);
        EXPECT_TRUE(last.hovered);  // a disabled button still reports the hover, e.g. for a fill
        EXPECT_EQ(h.lastCursor, enabled ? ImGuiMouseCursor_Hand : ImGuiMouseCursor_Arrow);
        h.clickWith(120.0f, 130.0f, body);  // below the area
        EXPECT_EQ(presses, enabled ? 1 : 0);
    }
}

// Text drawing tests run inside one frame with ImGui's built-in 13 px face.
class UiDrawing : public testing::Test {
protected:
    void Draw(const std::function<void(ImDrawList*)>& body) {
        h.frameWith([&] { body(ImGui::GetWindowDrawList()); });
    }
    // Distinct baselines among the glyph quads (four vertices each) drawn by `draw`.
    static std::set<int> LinesDrawnBy(ImDrawList* list, const std::function<void()>& draw) {
        const int before = list->VtxBuffer.Size;
        draw();
        std::set<int> tops;
        for (int i = before; i < list->VtxBuffer.Size; i += 4)
            tops.insert(static_cast<int>(list->VtxBuffer[i].pos.y / 10));
        return tops;
    }
    static int GlyphsDrawnBy(ImDrawList* list, const std::function<void()>& draw) {
        const int before = list->VtxBuffer.Size;
        draw();
        return (list->VtxBuffer.Size - before) / 4;
    }
    UiHarness h{FontMode::Default};
};

TEST_F(UiDrawing, NullFontDrawsNothing) {
    Draw([](ImDrawList* list) {
        const int before = list->VtxBuffer.Size;
        DrawTextCentered(list, nullptr, 12.0f, 50.0f, 50.0f, IM_COL32_WHITE, "abc");
        DrawTextInRect(list, nullptr, 12.0f, ImVec2(0, 0), ImVec2(10, 10), IM_COL32_WHITE, "abc");
        DrawWrappedText(list, nullptr, 12.0f, ImVec2(0, 0), 100.0f, 20.0f, 0, IM_COL32_WHITE,
                        "abc");
        EXPECT_EQ(list->VtxBuffer.Size, before);
    });
}

TEST_F(UiDrawing, CentredTextSitsOnItsCentre) {
    Draw([&](ImDrawList* list) {
        const int before = list->VtxBuffer.Size;
        DrawTextCentered(list, h.font, 13.0f, 300.0f, 200.0f, IM_COL32_WHITE, "HHHH");
        ImVec2 min(1e9f, 1e9f), max(-1e9f, -1e9f);
        for (int i = before; i < list->VtxBuffer.Size; ++i) {
            const ImVec2 p = list->VtxBuffer[i].pos;
            min = ImVec2(std::min(min.x, p.x), std::min(min.y, p.y));
            max = ImVec2(std::max(max.x, p.x), std::max(max.y, p.y));
        }
        const ImVec2 size = h.font->CalcTextSizeA(13.0f, FLT_MAX, 0.0f, "HHHH");
        EXPECT_NEAR(min.x, 300.0f - size.x / 2.0f, 2.0f);
        EXPECT_NEAR(max.x, 300.0f + size.x / 2.0f, 2.0f);
        EXPECT_GE(min.y, 200.0f - size.y / 2.0f - 0.5f);
        EXPECT_LE(max.y, 200.0f + size.y / 2.0f + 0.5f);
    });
}

TEST_F(UiDrawing, WrappedTextHonoursLineLimitAndLineFeeds) {
    Draw([&](ImDrawList* list) {
        const auto wrapped = [&](float y, float width, int maxLines, const char* text) {
            DrawWrappedText(list, h.font, 13.0f, ImVec2(0, y), width, 22.0f, maxLines,
                            IM_COL32_WHITE, text);
        };
        const char* paragraph = "one two three four five six seven eight nine ten eleven twelve";
        EXPECT_EQ(LinesDrawnBy(list, [&] { wrapped(0, 60.0f, 2, paragraph); }).size(), 2u);
        EXPECT_GT(LinesDrawnBy(list, [&] { wrapped(100, 60.0f, 0, paragraph); }).size(), 3u);
        // A line feed ends a line: with a one-line limit only the first line is drawn.
        EXPECT_EQ(GlyphsDrawnBy(list, [&] { wrapped(300, 400.0f, 1, "ab\ncd"); }), 2);
        EXPECT_EQ(GlyphsDrawnBy(list, [&] { wrapped(300, 400.0f, 0, "ab\n\n  cd"); }), 4);
        // A word wider than the wrap width is still drawn, not looped on.
        EXPECT_EQ(GlyphsDrawnBy(list, [&] { wrapped(400, 5.0f, 0, "abcdef"); }), 6);
    });
}

TEST_F(UiDrawing, RadialGlowClosesItsFanAndSkipsInvisibleGlows) {
    Draw([](ImDrawList* list) {
        const int vertices = list->VtxBuffer.Size;
        const int indices = list->IdxBuffer.Size;
        AddRadialGlow(list, ImVec2(0, 141), 56.0f, IM_COL32(0xD7, 0x32, 0x36, 45),
                      IM_COL32(0xD7, 0x32, 0x36, 0), 36);
        EXPECT_EQ(list->VtxBuffer.Size - vertices, 37);
        EXPECT_EQ(list->IdxBuffer.Size - indices, 108);
        // The last triangle joins the centre, the last rim vertex and the first.
        const ImDrawIdx base = list->IdxBuffer[indices];
        EXPECT_EQ(list->IdxBuffer[indices + 106], base + 36);
        EXPECT_EQ(list->IdxBuffer[indices + 107], base + 1);

        const int after = list->VtxBuffer.Size;
        AddRadialGlow(list, ImVec2(0, 0), 0.0f, IM_COL32_WHITE, 0, 36);
        AddRadialGlow(list, ImVec2(0, 0), 20.0f, IM_COL32(255, 255, 255, 0), 0, 36);
        AddRadialGlow(list, ImVec2(0, 0), 20.0f, IM_COL32_WHITE, 0, 0);
        EXPECT_EQ(list->VtxBuffer.Size, after);
    });
}

}  // namespace
