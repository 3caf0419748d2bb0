#include "headless_frame.h"

#include <cstdint>
#include <cstdlib>

#include "ui/theme.h"

HeadlessFrame::HeadlessFrame() {
    // A click plays the chime; tests need no sound device.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    context_ = ImGui::CreateContext();
    ImGuiIO& io = ImGui::GetIO();
    io.IniFilename = nullptr;
    io.LogFilename = nullptr;
    io.DisplaySize = ImVec2(1280, 760);
    io.DeltaTime = 1.0f / 60.0f;
    ImGui::GetStyle().WindowPadding = ImVec2(0, 0);
    ImFont* font = io.Fonts->AddFontDefault();
    unsigned char* pixels = nullptr;
    int width = 0;
    int height = 0;
    io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(static_cast<std::intptr_t>(1)));

    // Every text role gets the built-in font, so texts are measured and drawn for real.
    UiFonts& fonts = Fonts();
    for (ImFont** slot :
         {&fonts.fontMedium9, &fonts.fontMedium10, &fonts.fontMedium11, &fonts.fontLight13,
          &fonts.fontMedium12, &fonts.fontBold18, &fonts.fontRegular28, &fonts.fontBold52,
          &fonts.fontSystem14, &fonts.iconSolid10, &fonts.iconSolid12, &fonts.iconSolid14,
          &fonts.iconSolid16, &fonts.iconBrands10, &fonts.iconBrands14})
        *slot = font;
    // Images are only handles to the draw list; any non-null value is drawn.
    UiTextures& textures = Textures();
    ImTextureID image = reinterpret_cast<ImTextureID>(static_cast<std::intptr_t>(2));
    textures.texNewsBanner = textures.texBadgeOrb = textures.texBadgeBolt = textures.texBadgeBell =
        textures.texStreak = image;
}

HeadlessFrame::~HeadlessFrame() {
    Fonts() = UiFonts{};
    Textures() = UiTextures{};
    ImGui::DestroyContext(context_);
}

void HeadlessFrame::Run(const Page& page, ImVec2 mouse, bool mouseDown) {
    ImGuiIO& io = ImGui::GetIO();
    io.MousePos = mouse;
    io.MouseDown[0] = mouseDown;
    ImGui::NewFrame();
    ImGui::SetNextWindowPos(ImVec2(0, 0), ImGuiCond_Always, ImVec2(0, 0));
    ImGui::SetNextWindowSize(io.DisplaySize, ImGuiCond_Always);
    ImGui::Begin("QS", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse |
                     ImGuiWindowFlags_NoCollapse);
    page(ImGui::GetWindowDrawList(), ImGui::GetWindowPos(), io.DisplaySize.x, io.DisplaySize.y);
    ImGui::End();
    ImGui::Render();
}

void HeadlessFrame::Click(const Page& page, ImVec2 point) {
    Run(page, point, false);
    Run(page, point, true);
    Run(page, point, false);
}
