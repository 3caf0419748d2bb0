#include "app/shell/window_rules.h"

bool IsInDragStrip(int x, int y) {
    return y < 60 && x >= 73 && x <= 1159;
}

int MinimumFrameMilliseconds(bool vsyncActive, bool minimized) {
    if (minimized)
        return 50;
    return vsyncActive ? 4 : 16;
}
