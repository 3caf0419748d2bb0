// The drag strip of the borderless window.
#include <gtest/gtest.h>

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

}  // namespace
