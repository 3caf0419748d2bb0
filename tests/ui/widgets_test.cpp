// Widgets inside a bare window: hit areas, text placement and the glow's geometry.
#include "ui/widgets.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <set>

#include "ui/theme.h"
#include "ui_harness.h"

using namespace qs;

namespace {

// Text drawing tests run inside one frame with ImGui's built-in 13 px face.
class UiDrawing : public testing::Test {
protected:
    void Draw(const std::function<void(ImDrawList*)>& body) {
        h.frameWith([&] { body(ImGui::GetWindowDrawList()); });
    }
    // Distinct lines among the glyph quads (four vertices each) drawn by `draw`, for paragraphs
    // that start on a multiple of the 22 px line advance.
    static std::set<int> LinesDrawnBy(ImDrawList* list, const std::function<void()>& draw) {
        const int before = list->VtxBuffer.Size;
        draw();
        std::set<int> tops;
        for (int i = before; i < list->VtxBuffer.Size; i += 4)
            tops.insert(static_cast<int>(list->VtxBuffer[i].pos.y / 22));
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
        EXPECT_GT(LinesDrawnBy(list, [&] { wrapped(110, 60.0f, 0, paragraph); }).size(), 3u);
        // A line feed ends a line: with a one-line limit only the first is drawn, and "..." says
        // there is more.
        EXPECT_EQ(GlyphsDrawnBy(list, [&] { wrapped(308, 400.0f, 1, "ab\ncd"); }), 5);
        EXPECT_EQ(GlyphsDrawnBy(list, [&] { wrapped(308, 400.0f, 0, "ab\n\n  cd"); }), 4);
        // A word wider than the wrap width is still drawn, not looped on.
        EXPECT_EQ(GlyphsDrawnBy(list, [&] { wrapped(396, 5.0f, 0, "abcdef"); }), 6);
        // The last line of a paragraph cut by the limit stays inside the wrap width.
        const int before = list->VtxBuffer.Size;
        wrapped(440, 60.0f, 2, paragraph);
        for (int i = before; i < list->VtxBuffer.Size; ++i)
            EXPECT_LE(list->VtxBuffer[i].pos.x, 60.0f);
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

// ImGui's built-in face advances every character by 7 px at 13 px, "..." by 21: a text of n
// characters is 7n wide.
TEST_F(UiDrawing, FitTextKeepsWholeCharactersWithinTheWidth) {
    const std::string e = "\xC3\xA9", smile = "\xF0\x9F\x98\x80";
    const struct {
        std::string text;
        float width;
        std::string fitted;
    } cases[] = {
        {"", 100, ""},
        {"abc", 21, "abc"},             // exactly fits
        {"abcd", 21, "..."},            // room for the dots only
        {"abc", 20, ""},                // not even the dots
        {"abcdefghij", 50, "abcd..."},  // 4 x 7 + 21 = 49
        {"abcdefghij", 70, "abcdefghij"},
        {"ab cdefgh", 42, "ab..."},                  // no blank before the dots
        {"ab\ncd\tef", 100, "ab cd ef"},             // one line
        {e + e + e + e + e + e, 35, e + e + "..."},  // two-byte letters kept whole
        {smile + smile + smile + smile + smile + smile, 35, smile + smile + "..."},
        {"\xFF\xFE\xFD\xFC\xFB\xFA", 35, "\xFF\xFE..."},  // stray bytes count one each
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text) + " in " + std::to_string(c.width));
        const std::string fitted = FitText(c.text, h.font, 13.0f, c.width);
        EXPECT_EQ(fitted, c.fitted);
        EXPECT_LE(h.font->CalcTextSizeA(13.0f, FLT_MAX, 0.0f, fitted.c_str()).x, c.width);
    }
    // Only as much is read as fits: four megabytes cost what forty bytes do.
    const std::string huge(4u << 20, 'w');
    EXPECT_EQ(FitText(huge, h.font, 13.0f, 49.0f), "wwww...");
    // The fit depends on size and width together, so design units and pixels agree.
    EXPECT_EQ(FitText("abcdefghij", h.font, 26.0f, 100.0f), "abcd...");
    EXPECT_EQ(FitText("abc", nullptr, 13.0f, 100.0f), "");
}

// The design's positions, sizes and hit areas times the scale, rounded to whole pixels for
// positions; at scale 1 exactly the design's. A button presses once, on the release inside it; a
// disabled one never, though it still reports the hover (for a fill).
TEST(UiScale, PositionsSizesAndHitAreas) {
    const struct {
        float scale;
        ImVec2 point;           // At(origin 0, 141.5, 462)
        ImVec2 hitMin, hitMax;  // HitButton at (100, 100), 50 x 20
        bool enabled = true;
    } cases[] = {
        {1.0f, {141.5f, 462.0f}, {100.0f, 100.0f}, {150.0f, 120.0f}},
        {1.0f, {141.5f, 462.0f}, {100.0f, 100.0f}, {150.0f, 120.0f}, false},
        {1.25f, {177.0f, 578.0f}, {125.0f, 125.0f}, {187.5f, 150.0f}},
        {1.5f, {212.0f, 693.0f}, {150.0f, 150.0f}, {225.0f, 180.0f}},
        {2.0f, {283.0f, 924.0f}, {200.0f, 200.0f}, {300.0f, 240.0f}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.scale << (c.enabled ? "" : " disabled"));
        UiHarness h(FontMode::Null, ImVec2(1280.0f, 760.0f), c.scale);
        HitResult hit;
        ImVec2 point, hitMin, hitMax;
        int presses = 0;
        const auto body = [&] {
            const UiFrameScope scope(h.ui);
            point = At(ImVec2(0.0f, 0.0f), 141.5f, 462.0f);
            hit = HitButton("##b", ImVec2(100.0f, 100.0f), ImVec2(50.0f, 20.0f), c.enabled);
            hitMin = ImGui::GetItemRectMin();
            hitMax = ImGui::GetItemRectMax();
            presses += hit.pressed;
        };
        h.clickWith((c.hitMin.x + c.hitMax.x) / 2, (c.hitMin.y + c.hitMax.y) / 2, body);
        EXPECT_EQ(presses, c.enabled ? 1 : 0);
        EXPECT_TRUE(hit.hovered);
        EXPECT_EQ(h.lastCursor, c.enabled ? ImGuiMouseCursor_Hand : ImGuiMouseCursor_Arrow);
        EXPECT_EQ(point.x, c.point.x);
        EXPECT_EQ(point.y, c.point.y);
        EXPECT_EQ(hitMin.x, c.hitMin.x);
        EXPECT_EQ(hitMin.y, c.hitMin.y);
        EXPECT_EQ(hitMax.x, c.hitMax.x);
        EXPECT_EQ(hitMax.y, c.hitMax.y);
        h.clickWith(c.hitMax.x + 1.0f, c.hitMax.y + 1.0f, body);  // just outside
        EXPECT_EQ(presses, c.enabled ? 1 : 0);
    }
}

}  // namespace
