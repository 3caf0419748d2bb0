#include "app/shell/window_rules.h"

bool IsInDragStrip(int x, int y) {
    return y < 60 && x >= 73 && x <= 1159;
}

int MinimumFrameMilliseconds(bool vsyncActive, bool minimized) {
    if (minimized)
        return 50;
    return vsyncActive ? 4 : 16;
}

void ShortClickLatch::beforePump(bool (&mouseDown)[kButtons]) {
    for (int button = 0; button < kButtons; ++button) {
        if (held_[button])
            mouseDown[button] = false;
        held_[button] = false;
        pressed_[button] = false;
    }
}

void ShortClickLatch::pressed(int button) {
    if (button >= 0 && button < kButtons)
        pressed_[button] = true;
}

void ShortClickLatch::afterPump(bool (&mouseDown)[kButtons]) {
    for (int button = 0; button < kButtons; ++button) {
        if (pressed_[button] && !mouseDown[button]) {
            mouseDown[button] = true;
            held_[button] = true;
        }
    }
}
