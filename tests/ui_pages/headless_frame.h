#pragma once
// An ImGui context without a window: 1280 x 760 display, built font atlas, and a mouse that
// tests move and press across frames.
#include <imgui.h>

#include <functional>

class HeadlessFrame {
public:
    using Page =
        std::function<void(ImDrawList* drawList, ImVec2 windowPos, float width, float height)>;

    HeadlessFrame();
    ~HeadlessFrame();
    HeadlessFrame(const HeadlessFrame&) = delete;
    HeadlessFrame& operator=(const HeadlessFrame&) = delete;

    // One frame with the mouse at `mouse` and the left button as given.
    void Run(const Page& page, ImVec2 mouse = ImVec2(-1000, -1000), bool mouseDown = false);
    // Hover, press and release at `point` over three frames; the page acts on the last one.
    void Click(const Page& page, ImVec2 point);

private:
    ImGuiContext* context_;
};
