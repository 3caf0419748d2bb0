// The drag strip of the borderless window, the display scale, frame pacing and the short-click
// latch.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "shell/window_rules.h"

using namespace qs;

namespace {

// The strip is the design's (73 <= x < 1160, y < 60) times the display's scale.
TEST(DragStrip, EdgesOfTheTitleStripAtEveryScale) {
    const struct {
        float scale;
        int x, y;
        bool drags;
    } cases[] = {
        {1.0f, 73, 0, true},     {1.0f, 1159, 59, true},  {1.0f, 500, -1, true},  // above counts
        {1.0f, 72, 10, false},   {1.0f, 1160, 10, false}, {1.0f, 73, 60, false},
        {1.0f, 700, 400, false}, {1.25f, 92, 0, true},    {1.25f, 91, 0, false},
        {1.25f, 1449, 74, true}, {1.25f, 1450, 0, false}, {1.25f, 500, 75, false},
        {1.5f, 110, 0, true},    {1.5f, 109, 10, false},  {1.5f, 1739, 89, true},
        {1.5f, 1740, 10, false}, {1.5f, 500, 90, false},  {2.0f, 146, 0, true},
        {2.0f, 145, 0, false},   {2.0f, 2319, 119, true}, {2.0f, 2320, 0, false},
        {2.0f, 500, 120, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsInDragStrip(c.x, c.y, c.scale), c.drags)
            << c.scale << ": " << c.x << "," << c.y;
    EXPECT_TRUE(IsInDragStrip(73, 0));  // the design scale unless told
}

TEST(DisplayScale, WindowSizeDpiAndOverride) {
    for (const auto& [scale, width, height] :
         {std::tuple{1.0f, 1280, 760}, std::tuple{1.25f, 1600, 950}, std::tuple{1.5f, 1920, 1140},
          std::tuple{2.0f, 2560, 1520}}) {
        EXPECT_EQ(WindowSizeForScale(scale).width, width) << scale;
        EXPECT_EQ(WindowSizeForScale(scale).height, height) << scale;
    }
    // Quarter steps, never below the design size; nonsense reads as 96 dpi.
    for (const auto& [dpi, scale] :
         {std::pair{96.0f, 1.0f}, std::pair{120.0f, 1.25f}, std::pair{144.0f, 1.5f},
          std::pair{192.0f, 2.0f}, std::pair{110.0f, 1.25f}, std::pair{72.0f, 1.0f},
          std::pair{500.0f, 4.0f}, std::pair{0.0f, 1.0f}, std::pair{-96.0f, 1.0f},
          std::pair{1e9f, 1.0f}, std::pair{std::nanf(""), 1.0f}})
        EXPECT_EQ(ScaleFromDpi(dpi), scale) << dpi;
    for (const auto& [text, scale] :
         {std::pair{"1.5", 1.5f}, std::pair{"2", 2.0f}, std::pair{"4", 4.0f}, std::pair{"1", 1.0f},
          std::pair{"", 0.0f}, std::pair{"0.5", 0.0f}, std::pair{"4.5", 0.0f},
          std::pair{"1.5x", 0.0f}, std::pair{"big", 0.0f}, std::pair{"nan", 0.0f}})
        EXPECT_EQ(ParseScaleOverride(text), scale) << text;
    EXPECT_EQ(ParseScaleOverride(nullptr), 0.0f);
    EXPECT_EQ(ChooseUiScale("1.75", 96.0f), 1.75f);
    EXPECT_EQ(ChooseUiScale("x", 192.0f), 2.0f);
    EXPECT_EQ(ChooseUiScale(nullptr, 144.0f), 1.5f);
}

TEST(FramePacing, NeverSpinsWithoutVsyncOrWhileMinimised) {
    EXPECT_GE(MinimumFrameMilliseconds(false, false), 16);
    EXPECT_GE(MinimumFrameMilliseconds(true, true), 16);
    EXPECT_GE(MinimumFrameMilliseconds(false, true), 16);
    // With vsync the display sets the pace; the floor only catches drivers that ignore it.
    EXPECT_LE(MinimumFrameMilliseconds(true, false), 1000 / 144);
}

// One frame: what the latch sees pumped, then the button state the frame reads.
struct PumpedFrame {
    bool pressedAmongMessages;
    bool downAfterMessages;  // what the messages left (a release clears it)
    bool frameReadsDown;
};

TEST(ShortClickLatch, AClickInsideOneFrameIsDownForExactlyThatFrame) {
    const struct {
        const char* name;
        std::vector<PumpedFrame> frames;
    } cases[] = {
        {"press and release between two frames",
         {{true, false, true}, {false, false, false}, {false, false, false}}},
        {"press held across frames, then released",
         {{true, true, true}, {false, true, true}, {false, false, false}}},
        {"two quick clicks in two frames in a row",
         {{true, false, true}, {true, false, true}, {false, false, false}}},
        {"quick click, then a press that is held",
         {{true, false, true}, {true, true, true}, {false, true, true}}},
        {"no clicks", {{false, false, false}, {false, false, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ShortClickLatch latch;
        bool mouseDown[ShortClickLatch::kButtons] = {};
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            const PumpedFrame& frame = c.frames[i];
            latch.beforePump(mouseDown);
            // The backend writes the state as the messages arrive.
            if (frame.pressedAmongMessages) {
                mouseDown[0] = true;
                latch.pressed(0);
            }
            mouseDown[0] = frame.downAfterMessages;
            latch.afterPump(mouseDown);
            EXPECT_EQ(mouseDown[0], frame.frameReadsDown) << "frame " << i;
        }
    }
}

TEST(ShortClickLatch, ButtonsAreIndependentAndOutOfRangeIsIgnored) {
    ShortClickLatch latch;
    bool mouseDown[ShortClickLatch::kButtons] = {false, true, false, false, false};
    latch.beforePump(mouseDown);
    latch.pressed(4);
    latch.pressed(-1);
    latch.pressed(ShortClickLatch::kButtons);
    latch.afterPump(mouseDown);
    const bool expected[ShortClickLatch::kButtons] = {false, true, false, false, true};
    for (int b = 0; b < ShortClickLatch::kButtons; ++b)
        EXPECT_EQ(mouseDown[b], expected[b]) << b;
    latch.beforePump(mouseDown);
    latch.afterPump(mouseDown);
    EXPECT_TRUE(mouseDown[1]);  // really held: the latch leaves it alone
    EXPECT_FALSE(mouseDown[4]);
}

}  // namespace
