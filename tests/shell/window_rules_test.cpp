// The drag strip of the borderless window, frame pacing and the short-click latch.
#include <gtest/gtest.h>

#include <vector>

#include "app/shell/window_rules.h"

namespace {

TEST(DragStrip, EdgesOfTheTitleStrip) {
    const struct {
        int x, y;
        bool drags;
    } cases[] = {
        {73, 0, true},     {1159, 59, true},  {500, -1, true},  // edges; above still counts
        {72, 10, false},   {1160, 10, false}, {73, 60, false},  // sidebar, window buttons, below
        {700, 400, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsInDragStrip(c.x, c.y), c.drags) << c.x << "," << c.y;
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
