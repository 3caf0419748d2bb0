#include "shell/window_rules.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qs {

bool IsInDragStrip(int x, int y, float scale) {
    if (!(scale > 0.0f))
        scale = 1.0f;
    // In design units: below 60, from 73 up to the window buttons at 1160.
    const float designX = static_cast<float>(x) / scale;
    const float designY = static_cast<float>(y) / scale;
    return designY < 60.0f && designX >= 73.0f && designX < 1160.0f;
}

WindowSize WindowSizeForScale(float scale) {
    return {static_cast<int>(std::lround(1280.0f * scale)),
            static_cast<int>(std::lround(760.0f * scale))};
}

float ScaleFromDpi(float dpi) {
    if (!(dpi > 0.0f) || dpi > 96.0f * kMaxUiScale * 2.0f)
        return 1.0f;
    const float quarters = std::round(dpi / 96.0f * 4.0f) / 4.0f;
    return std::clamp(quarters, kMinUiScale, kMaxUiScale);
}

float ParseScaleOverride(const char* text) {
    if (text == nullptr || *text == '\0')
        return 0.0f;
    char* end = nullptr;
    const float value = std::strtof(text, &end);
    if (end == text || *end != '\0' || !(value >= kMinUiScale && value <= kMaxUiScale))
        return 0.0f;
    return value;
}

float ChooseUiScale(const char* overrideText, float dpi) {
    const float chosen = ParseScaleOverride(overrideText);
    return chosen > 0.0f ? chosen : ScaleFromDpi(dpi);
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

}  // namespace qs
