#pragma once
// Window decisions of the shells, free of SDL, Win32 and ImGui so they can be tested.

namespace qs {

// The strip of the client area that drags the window: the title strip between the sidebar and
// the window buttons. (x, y) in pixels of a window drawn at `scale`.
bool IsInDragStrip(int x, int y, float scale = 1.0f);

// The window's size in pixels at `scale`: the 1280 x 760 design, rounded to whole pixels.
struct WindowSize {
    int width;
    int height;
};
WindowSize WindowSizeForScale(float scale);

inline constexpr float kMinUiScale = 1.0f;
inline constexpr float kMaxUiScale = 4.0f;
// A display's scale from its dots per inch (96 is 1.0), in quarter steps and never below 1: a
// display that reports less, or nothing sensible, gets the design size.
float ScaleFromDpi(float dpi);
// QS_UI_SCALE: a number from kMinUiScale to kMaxUiScale, e.g. "1.5"; anything else is no override
// (0).
float ParseScaleOverride(const char* text);
// The override when there is one, else the display's.
float ChooseUiScale(const char* overrideText, float dpi);

// Shortest time between two frames. Presentation waits for the vertical blank, but a driver
// without vsync, a minimised window or a virtual display returns at once and would spin a core.
int MinimumFrameMilliseconds(bool vsyncActive, bool minimized);

// Dear ImGui 1.86 sees only whether a mouse button is down at the start of a frame, so a click
// whose press and release both arrive between two frames (a touchpad tap, a slow frame) would
// be lost. The latch reports such a button down for that one frame and up at the next.
class ShortClickLatch {
public:
    static constexpr int kButtons = 5;
    // Before a frame's messages: lets go of the buttons held over from the last frame.
    void beforePump(bool (&mouseDown)[kButtons]);
    // A press of `button` (0 left, 1 right, 2 middle, 3 and 4 the extra buttons) was pumped.
    void pressed(int button);
    // After the messages: a button pressed among them and already up again reads as down.
    void afterPump(bool (&mouseDown)[kButtons]);

private:
    bool pressed_[kButtons] = {};
    bool held_[kButtons] = {};
};

}  // namespace qs
