// Widgets inside a bare window: hit areas, toggle, text placement and the glow's geometry.
#include "ui/widgets.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>
#include <set>

#include "app/settings.h"
#include "ui/theme.h"
#include "ui_harness.h"

namespace {

int VertexCount() {
    return ImGui::GetWindowDrawList()->VtxBuffer.Size;
}

TEST(UiHitButton, DisabledButtonIgnoresPressesAndKeepsTheArrow) {
    ScratchHomes homes;
    UiHarness h(FontMode::Null);
    HitResult last;
    bool everPressed = false;
    auto body = [&] {
        last = HitButton("##b", ImVec2(100.0f, 100.0f), ImVec2(50.0f, 20.0f), false);
        everPressed |= last.pressed;
    };
    h.clickWith(120.0f, 110.0f, body);
    EXPECT_FALSE(everPressed);
    EXPECT_TRUE(last.hovered);  // the caller still learns of the hover, e.g. for a fill
    EXPECT_EQ(h.lastCursor, ImGuiMouseCursor_Arrow);
}

TEST(UiHitButton, EnabledButtonPressesOnceOnRelease) {
    ScratchHomes homes;
    UiHarness h(FontMode::Null);
    int presses = 0;
    auto body = [&] {
        if (HitButton("##b", ImVec2(100.0f, 100.0f), ImVec2(50.0f, 20.0f)).pressed)
            ++presses;
    };
    h.clickWith(120.0f, 110.0f, body);
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(h.lastCursor, ImGuiMouseCursor_Hand);
    h.clickWith(120.0f, 130.0f, body);  // below the area
    EXPECT_EQ(presses, 1);
}

TEST(UiToggleSwitch, PressingTwiceClearsTheUnsavedFlag) {
    ScratchHomes homes;
    UiHarness h(FontMode::Null);
    LauncherSettings& settings = CurrentSettings();
    auto body = [&] {
        ToggleSwitch("##close_on_launch", settings.closeOnLaunch, ImVec2(200.0f, 200.0f));
    };
    h.clickWith(217.0f, 209.0f, body);
    EXPECT_TRUE(settings.closeOnLaunch);
    EXPECT_TRUE(settings.unsavedChanges);
    h.clickWith(217.0f, 209.0f, body);
    EXPECT_FALSE(settings.closeOnLaunch);
    EXPECT_FALSE(settings.unsavedChanges);
}

TEST(UiTextDrawing, NullFontDrawsNothing) {
    ScratchHomes homes;
    UiHarness h(FontMode::Null);
    h.frameWith([] {
        const int before = VertexCount();
        ImDrawList* list = ImGui::GetWindowDrawList();
        DrawTextCentered(list, nullptr, 12.0f, 50.0f, 50.0f, IM_COL32_WHITE, "abc");
        DrawTextInRect(list, nullptr, 12.0f, ImVec2(0, 0), ImVec2(10, 10), IM_COL32_WHITE, "abc");
        DrawWrappedText(list, nullptr, 12.0f, ImVec2(0, 0), 100.0f, 20.0f, 0, IM_COL32_WHITE,
                        "abc");
        EXPECT_EQ(VertexCount(), before);
    });
}

// A font of known metrics: ImGui's built-in 13 px face.
class UiDrawingWithFont : public testing::Test {
protected:
    void SetUp() override {
        context_ = ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.DisplaySize = ImVec2(800, 600);
        io.DeltaTime = 1.0f / 60.0f;
        font_ = io.Fonts->AddFontDefault();
        unsigned char* pixels = nullptr;
        int w = 0, hgt = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &hgt);
        ImGui::NewFrame();
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(io.DisplaySize);
        ImGui::Begin("t", nullptr, ImGuiWindowFlags_NoDecoration);
        list_ = ImGui::GetWindowDrawList();
    }
    void TearDown() override {
        ImGui::End();
        ImGui::Render();
        ImGui::DestroyContext(context_);
    }
    // Glyph quads add four vertices each.
    int glyphsDrawnBy(const std::function<void()>& draw) {
        const int before = list_->VtxBuffer.Size;
        draw();
        return (list_->VtxBuffer.Size - before) / 4;
    }
    // Distinct baselines among the glyph quads drawn by `draw`.
    std::set<int> linesDrawnBy(const std::function<void()>& draw) {
        const int before = list_->VtxBuffer.Size;
        draw();
        std::set<int> tops;
        for (int i = before; i < list_->VtxBuffer.Size; i += 4)
            tops.insert(static_cast<int>(list_->VtxBuffer[i].pos.y / 10));
        return tops;
    }
    ImGuiContext* context_ = nullptr;
    ImFont* font_ = nullptr;
    ImDrawList* list_ = nullptr;
};

TEST_F(UiDrawingWithFont, CentredTextSitsOnItsCentre) {
    const int before = list_->VtxBuffer.Size;
    DrawTextCentered(list_, font_, 13.0f, 300.0f, 200.0f, IM_COL32_WHITE, "HHHH");
    float minX = 1e9f, maxX = -1e9f, minY = 1e9f, maxY = -1e9f;
    for (int i = before; i < list_->VtxBuffer.Size; ++i) {
        minX = std::min(minX, list_->VtxBuffer[i].pos.x);
        maxX = std::max(maxX, list_->VtxBuffer[i].pos.x);
        minY = std::min(minY, list_->VtxBuffer[i].pos.y);
        maxY = std::max(maxY, list_->VtxBuffer[i].pos.y);
    }
    const ImVec2 size = font_->CalcTextSizeA(13.0f, FLT_MAX, 0.0f, "HHHH");
    EXPECT_NEAR(minX, 300.0f - size.x / 2.0f, 2.0f);
    EXPECT_NEAR(maxX, 300.0f + size.x / 2.0f, 2.0f);
    EXPECT_GE(minY, 200.0f - size.y / 2.0f - 0.5f);
    EXPECT_LE(maxY, 200.0f + size.y / 2.0f + 0.5f);
}

TEST_F(UiDrawingWithFont, WrappedTextHonoursLineLimitAndLineFeeds) {
    const char* paragraph = "one two three four five six seven eight nine ten eleven twelve";
    EXPECT_EQ(linesDrawnBy([&] {
                  DrawWrappedText(list_, font_, 13.0f, ImVec2(0, 0), 60.0f, 22.0f, 2,
                                  IM_COL32_WHITE, paragraph);
              }).size(),
              2u);
    const auto all = linesDrawnBy([&] {
        DrawWrappedText(list_, font_, 13.0f, ImVec2(0, 100), 60.0f, 22.0f, 0, IM_COL32_WHITE,
                        paragraph);
    });
    EXPECT_GT(all.size(), 3u);
    // A line feed ends a line: with a one-line limit only the first line is drawn.
    EXPECT_EQ(glyphsDrawnBy([&] {
                  DrawWrappedText(list_, font_, 13.0f, ImVec2(0, 300), 400.0f, 22.0f, 1,
                                  IM_COL32_WHITE, "ab\ncd");
              }),
              2);
    EXPECT_EQ(glyphsDrawnBy([&] {
                  DrawWrappedText(list_, font_, 13.0f, ImVec2(0, 300), 400.0f, 22.0f, 0,
                                  IM_COL32_WHITE, "ab\n\n  cd");
              }),
              4);
    // A word wider than the wrap width is still drawn, not looped on.
    EXPECT_EQ(glyphsDrawnBy([&] {
                  DrawWrappedText(list_, font_, 13.0f, ImVec2(0, 400), 5.0f, 22.0f, 0,
                                  IM_COL32_WHITE, "abcdef");
              }),
              6);
}

TEST_F(UiDrawingWithFont, RadialGlowGeometry) {
    const int vertices = list_->VtxBuffer.Size;
    const int indices = list_->IdxBuffer.Size;
    AddRadialGlow(list_, ImVec2(0, 141), 56.0f, IM_COL32(0xD7, 0x32, 0x36, 45),
                  IM_COL32(0xD7, 0x32, 0x36, 0), 36);
    EXPECT_EQ(list_->VtxBuffer.Size - vertices, 37);
    EXPECT_EQ(list_->IdxBuffer.Size - indices, 108);
    EXPECT_EQ(list_->VtxBuffer[vertices].col, IM_COL32(0xD7, 0x32, 0x36, 45));
    EXPECT_FLOAT_EQ(list_->VtxBuffer[vertices + 1].pos.x, 56.0f);
    // Triangle i joins the centre, rim vertex i and rim vertex i + 1; the last wraps to the first.
    const ImDrawIdx base = list_->IdxBuffer[indices];
    EXPECT_EQ(list_->IdxBuffer[indices + 105], base);
    EXPECT_EQ(list_->IdxBuffer[indices + 106], base + 36);
    EXPECT_EQ(list_->IdxBuffer[indices + 107], base + 1);

    const int after = list_->VtxBuffer.Size;
    AddRadialGlow(list_, ImVec2(0, 0), 0.0f, IM_COL32_WHITE, 0, 36);
    AddRadialGlow(list_, ImVec2(0, 0), 20.0f, IM_COL32(255, 255, 255, 0), 0, 36);
    AddRadialGlow(list_, ImVec2(0, 0), 20.0f, IM_COL32_WHITE, 0, 0);
    EXPECT_EQ(list_->VtxBuffer.Size, after);
}

TEST_F(UiDrawingWithFont, NavTooltipFadesInAndNeverOvershoots) {
    Fonts().fontMedium11 = font_;
    float level = 0.0f;
    DrawNavTooltip(list_, "News", 15.0f, 168.0f, 42.0f, 42.0f, level, true);
    EXPECT_FLOAT_EQ(level, 0.2f);  // 12 per second at 60 frames per second
    ImGui::GetIO().DeltaTime = 0.5f;
    const int before = list_->VtxBuffer.Size;
    DrawNavTooltip(list_, "News", 15.0f, 168.0f, 42.0f, 42.0f, level, true);
    EXPECT_EQ(level, 1.0f);
    EXPECT_GT(list_->VtxBuffer.Size, before);
    // Fully shown: the box's alpha is exactly 250, not wrapped around.
    bool sawFill = false;
    for (int i = before; i < list_->VtxBuffer.Size; ++i)
        sawFill |= list_->VtxBuffer[i].col == IM_COL32(0x15, 0x15, 0x1A, 250);
    EXPECT_TRUE(sawFill);
    DrawNavTooltip(list_, "News", 15.0f, 168.0f, 42.0f, 42.0f, level, false);
    EXPECT_EQ(level, 0.0f);
    const int hidden = list_->VtxBuffer.Size;
    DrawNavTooltip(list_, "News", 15.0f, 168.0f, 42.0f, 42.0f, level, false);
    EXPECT_EQ(list_->VtxBuffer.Size, hidden);
    Fonts() = UiFonts{};
}

}  // namespace
