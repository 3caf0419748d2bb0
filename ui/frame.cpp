#include <imgui_internal.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <exception>
#include <string>

#include "app/client.h"
#include "app/settings.h"
#include "live/live.h"
#include "platform/wide_text.h"
#include "ui/links.h"
#include "ui/pages.h"
#include "ui/theme.h"
#include "ui/ui_logic.h"
#include "ui/widgets.h"

namespace qs {

namespace {

constexpr float kSidebarWidth = 72.0f;

void FillFirstFrameFields(UiState& ui) {
    LoadSettings();
    try {
        const auto folder = ClientDirectory().u8string();
        CopyTruncated(
            ui.gameDirBuffer.data(), ui.gameDirBuffer.size(),
            std::string_view(reinterpret_cast<const char*>(folder.data()), folder.size()));
    } catch (const std::exception&) {
        CopyTruncated(ui.gameDirBuffer.data(), ui.gameDirBuffer.size(),
                      FallbackClientFolderText(kHostSystem));
    }
}

void FillStatusLine(UiState& ui, const std::wstring& snapshot) {
    ui.statusLine.fill('\0');
    try {
        const std::string utf8 = WideToUtf8(snapshot);
        CopyTruncated(ui.statusLine.data(), ui.statusLine.size(), utf8);
    } catch (const std::exception&) {
        ui.statusLine.fill('\0');  // an unconvertible status shows as an empty detail line
    }
}

void DrawBackground(ImDrawList* drawList, ImVec2 origin, float width, float height) {
    const ImVec2 windowMax = At(origin, width, height);
    drawList->AddRectFilled(origin, windowMax, palette::kWindowGround);
    ImTextureID background = Textures().texBackground;
    if (!background)
        return;
    drawList->AddImage(background, origin, windowMax);
    auto shade = [](int alpha) { return palette::WithAlpha(palette::kWindowGround, alpha); };
    const float x1 = 0.38f * width;
    const float x2 = 0.65f * width;
    drawList->AddRectFilledMultiColor(origin, At(origin, x1, height), shade(245), shade(219),
                                      shade(219), shade(245));
    drawList->AddRectFilledMultiColor(At(origin, x1, 0.0f), At(origin, x2, height), shade(219),
                                      shade(166), shade(166), shade(219));
    drawList->AddRectFilledMultiColor(At(origin, x2, 0.0f), windowMax, shade(166), shade(204),
                                      shade(204), shade(166));
    drawList->AddRectFilledMultiColor(At(origin, 0.0f, 0.68f * height), windowMax, shade(0),
                                      shade(0), shade(240), shade(240));
}

struct NavEntry {
    ActivePage page;
    const char* id;
    const char* glyph;
    const char* label;
    float* selection;
    float* hover;
    float* tooltip;
};

void DrawCommunityButton(ImDrawList* drawList, ImVec2 origin, const char* id, float top,
                         ImFont* font, const char* glyph, bool discord) {
    const HitResult hit = HitButton(id, ImVec2(19.0f, top), ImVec2(34.0f, 34.0f));
    if (hit.pressed)
        OpenWebAddress(discord ? CommunityInviteUrl() : WebSiteUrl());
    const ImVec2 centre = At(origin, 36.0f, top + 17.0f);
    DrawTextCentered(drawList, font, 14.0f, centre.x, centre.y,
                     hit.hovered ? palette::kWhite : palette::kSidebarIconIdle, glyph);
}

// The pill's text never runs past the free part of the title strip, whatever the server reports.
constexpr float kPillTextMaxWidth = 160.0f;
// The download box's detail line ends before the progress ring.
constexpr float kDownloadDetailMaxWidth = 124.0f;

const char* NavButtonId(ActivePage page) {
    switch (page) {
        case ActivePage::News:
            return "##nav_news";
        case ActivePage::Settings:
            return "##nav_settings";
        case ActivePage::Home:
            break;
    }
    return "##nav_home";
}

void SelectPage(UiState& ui, ActivePage page) {
    ui.activePage = page;
    if (page == ActivePage::News)
        MarkNewsSeen();
}

KeyPresses ReadKeys(UiState& ui) {
    const ImGuiIO& io = ImGui::GetIO();
    auto pressed = [](int index, bool repeat) {
        return index >= 0 && ImGui::IsKeyPressed(index, repeat);
    };
    KeyPresses keys;
    const bool plain = !io.KeyCtrl && !io.KeyAlt && !io.KeySuper;
    keys.tab = plain && pressed(io.KeyMap[ImGuiKey_Tab], true);
    keys.shift = io.KeyShift;
    // An active field (the folder path) keeps Enter and Space to itself.
    keys.activate = plain && !ImGui::IsAnyItemActive() &&
                    (pressed(io.KeyMap[ImGuiKey_Enter], false) ||
                     pressed(io.KeyMap[ImGuiKey_KeyPadEnter], false) ||
                     pressed(io.KeyMap[ImGuiKey_Space], false));
    keys.escape = pressed(io.KeyMap[ImGuiKey_Escape], false);
    for (int i = 0; i < 3; ++i)
        if (io.KeyCtrl && !io.KeyAlt && pressed(ui.pageKeys[static_cast<std::size_t>(i)], false))
            keys.page = i;
    // Against our own last sighting: a pointer that just arrived has no delta in ImGui.
    const bool moved = ImGui::IsMousePosValid() && (io.MousePos.x != ui.focus.lastPointer.x ||
                                                    io.MousePos.y != ui.focus.lastPointer.y);
    keys.mouseUsed = moved || io.MouseWheel != 0.0f || ImGui::IsAnyMouseDown();
    ui.focus.lastPointer = io.MousePos;
    return keys;
}

void HandleKeys(UiState& ui) {
    const KeyPresses keys = ReadKeys(ui);
    if (keys.page >= 0) {
        const ActivePage page = keys.page == 1   ? ActivePage::News
                                : keys.page == 2 ? ActivePage::Settings
                                                 : ActivePage::Home;
        SelectPage(ui, page);
        ui.focus.focused = ImGui::GetID(NavButtonId(page));
    }
    ApplyKeys(ui.focus, keys);
    // A field that had the keyboard gives it up when Tab moves on.
    if (ui.focus.moved && ImGui::GetActiveID() != 0)
        ImGui::ClearActiveID();
}

void DrawFocusRing(UiState& ui, ImDrawList* drawList) {
    const FocusItem* item = FinishFocusFrame(ui.focus);
    if (!item || !ui.focus.ringVisible)
        return;
    const float pad = Scaled(3.0f);
    drawList->AddRect(ImVec2(item->min.x - pad, item->min.y - pad),
                      ImVec2(item->max.x + pad, item->max.y + pad), palette::kAccentViolet,
                      Scaled(7.0f), 0, Scaled(2.0f));
}

}  // namespace

void DrawSidebar(UiState& ui, ImDrawList* drawList, ImVec2 windowPos, float /*width*/,
                 float height) {
    const ImVec2 p = windowPos;
    drawList->AddRectFilled(p, At(p, kSidebarWidth, height), IM_COL32(0x0E, 0x0E, 0x12, 230));
    drawList->AddLine(At(p, kSidebarWidth, 0.0f), At(p, kSidebarWidth, height), palette::White(10),
                      Scaled(1.0f));
    if (ImTextureID logo = Textures().texLogo) {
        drawList->AddImageRounded(logo, At(p, 8.0f, 28.0f), At(p, 64.0f, 84.0f), ImVec2(0.0f, 0.0f),
                                  ImVec2(1.0f, 1.0f), palette::White(242), Scaled(6.0f));
    }

    SidebarAnimation& anim = ui.sidebar;
    const float dt = ImGui::GetIO().DeltaTime;
    const float hoverRate = AnimationRate(dt, 14.0f);
    const float selectRate = AnimationRate(dt, 12.0f);
    NavEntry entries[] = {
        {ActivePage::Home, "##nav_home", icon::kHouse, "Home", &anim.homeActive, &anim.homeHover,
         &anim.homeTooltip},
        {ActivePage::News, "##nav_news", icon::kBell, "News", &anim.newsActive, &anim.newsHover,
         &anim.newsTooltip},
        {ActivePage::Settings, "##nav_settings", icon::kGear, "Settings", &anim.settingsActive,
         &anim.settingsHover, &anim.settingsTooltip},
    };

    const float target = NavButtonTop(ui.activePage);
    if (!anim.initialised) {
        anim.indicatorY = target;
        for (NavEntry& entry : entries)
            *entry.selection = entry.page == ui.activePage ? 1.0f : 0.0f;
        anim.initialised = true;
    }
    anim.indicatorY = ApproachLevel(anim.indicatorY, target, selectRate);
    float activeLevel = 0.0f;
    for (NavEntry& entry : entries) {
        const bool active = entry.page == ui.activePage;
        *entry.selection = ApproachLevel(*entry.selection, active ? 1.0f : 0.0f, selectRate);
        if (active)
            activeLevel = *entry.selection;
    }

    if (activeLevel > 0.005f) {
        const ImVec2 glowCentre = At(p, 0.0f, anim.indicatorY + 21.0f);
        AddRadialGlow(drawList, glowCentre, Scaled(56.0f),
                      IM_COL32(0xD7, 0x32, 0x36, LevelAlpha(activeLevel, 45)),
                      IM_COL32(0xD7, 0x32, 0x36, 0), 36);
        AddRadialGlow(drawList, glowCentre, Scaled(26.0f),
                      IM_COL32(0xEB, 0x4B, 0x3C, LevelAlpha(activeLevel, 55)),
                      IM_COL32(0xEB, 0x4B, 0x3C, 0), 36);
    }
    drawList->AddRectFilled(At(p, 0.0f, anim.indicatorY + 8.0f),
                            At(p, 3.5f, anim.indicatorY + 34.0f), IM_COL32(0xD5, 0x32, 0x36, 255),
                            Scaled(1.75f));

    ImFont* navFont = Fonts().iconSolid16;
    for (NavEntry& entry : entries) {
        const float top = NavButtonTop(entry.page);
        const ImVec2 buttonMin = At(p, 15.0f, top);
        const ImVec2 buttonMax = At(p, 57.0f, top + 42.0f);
        const bool hoverTarget =
            ImGui::IsMouseHoveringRect(buttonMin, buttonMax) && entry.page != ui.activePage;
        *entry.hover = ApproachLevel(*entry.hover, hoverTarget ? 1.0f : 0.0f, hoverRate);
        if (const int alpha = NavFillAlpha(*entry.selection, *entry.hover); alpha > 0)
            drawList->AddRectFilled(buttonMin, buttonMax, palette::White(alpha), Scaled(11.0f));

        if (HitButton(entry.id, ImVec2(15.0f, top), ImVec2(42.0f, 42.0f)).pressed)
            SelectPage(ui, entry.page);
        const float level = std::max(*entry.selection, *entry.hover);
        const ImVec2 iconCentre = At(p, 36.0f, top + 21.0f);
        DrawTextCentered(drawList, navFont, 16.0f, iconCentre.x, iconCentre.y,
                         LerpColor(palette::kSidebarIconIdle, palette::kWhite, level), entry.glyph);
        if (entry.page == ActivePage::News && NewsHasUnseen())
            drawList->AddCircleFilled(At(p, 44.0f, top + 13.0f), Scaled(4.0f),
                                      palette::kOnlineGreen);
        DrawNavTooltip(drawList, entry.label, buttonMin.x, buttonMin.y, buttonMax.x - buttonMin.x,
                       buttonMax.y - buttonMin.y, *entry.tooltip, hoverTarget);
    }

    DrawCommunityButton(drawList, p, "##side_discord", height - 96.0f, Fonts().iconBrands14,
                        icon::kDiscord, true);
    DrawCommunityButton(drawList, p, "##side_website", height - 54.0f, Fonts().iconSolid14,
                        icon::kGlobe, false);
}

namespace {

void DrawServerPill(ImDrawList* drawList, ImVec2 p, const UiFonts& fonts) {
    const ServerStatus status = CurrentServerStatus();
    const std::string pillText =
        FitText(ServerPillText(status), fonts.fontMedium11, 11.0f, kPillTextMaxWidth);
    const ImVec2 pillTextSize =
        MeasureText(fonts.fontMedium11, 11.0f, pillText.c_str(), ImVec2(50.0f, 11.0f));
    const ImVec2 pillMin = At(p, 94.0f, 15.0f);
    const ImVec2 pillMax(At(p, 94.0f, 0.0f).x + pillTextSize.x + Scaled(37.0f),
                         At(p, 0.0f, 45.0f).y);
    drawList->AddRectFilled(pillMin, pillMax, palette::WithAlpha(palette::kCardGround, 178),
                            Scaled(15.0f));
    drawList->AddRect(pillMin, pillMax, palette::White(18), Scaled(15.0f), 0, Scaled(1.0f));
    drawList->AddCircleFilled(At(p, 109.0f, 30.0f), Scaled(3.0f),
                              status.online ? palette::kOnlineGreen : palette::kOfflineRed);
    AddTextIfFont(drawList, fonts.fontMedium11, 11.0f,
                  ImVec2(At(p, 119.0f, 0.0f).x, At(p, 0.0f, 30.0f).y - pillTextSize.y / 2.0f),
                  palette::kSecondaryText, pillText.c_str());
}

// The share of the run done, clockwise from the top of the ring.
void DrawRingArc(ImDrawList* drawList, ImVec2 ringCentre, float ringRadius, float fraction) {
    if (fraction <= 0.01f)
        return;
    constexpr int kMaxSegments = 32;
    std::array<ImVec2, kMaxSegments + 1> arc{};
    const int segments = std::min(RingSegmentCount(fraction), kMaxSegments);
    for (int i = 0; i <= segments; ++i) {
        const float angle =
            -3.14159265f / 2.0f +
            (static_cast<float>(i) / static_cast<float>(segments)) * 2.0f * 3.14159265f * fraction;
        arc[static_cast<std::size_t>(i)] = ImVec2(ringCentre.x + ringRadius * std::cos(angle),
                                                  ringCentre.y + ringRadius * std::sin(angle));
    }
    drawList->AddPolyline(arc.data(), segments + 1, palette::kAccentViolet, 0, Scaled(2.5f));
}

void DrawDownloadBox(UiState& ui, LauncherState& state, ImDrawList* drawList, ImVec2 p, float width,
                     const UiFonts& fonts) {
    const float fraction =
        DownloadRingFraction(state.indexSnapshot, state.countSnapshot, state.bytesSnapshot);
    const float x0 = kSidebarWidth + (width - kSidebarWidth) / 2.0f - 100.0f;
    const ImVec2 boxMin = At(p, x0, 6.0f);
    const ImVec2 boxMax = At(p, x0 + 200.0f, 54.0f);
    drawList->AddRectFilled(boxMin, boxMax, palette::WithAlpha(palette::kCardGround, 178),
                            Scaled(24.0f));
    drawList->AddRect(boxMin, boxMax, palette::White(18), Scaled(24.0f), 0, Scaled(1.0f));
    const ImVec2 arrowCentre = At(p, x0 + 18.0f, 30.0f);
    DrawTextCentered(drawList, fonts.iconSolid12, 12.0f, arrowCentre.x, arrowCentre.y,
                     palette::kAccentViolet, icon::kArrowDown);
    AddTextIfFont(drawList, fonts.fontMedium11, 11.0f, At(p, x0 + 36.0f, 17.0f), palette::kWhite,
                  "Downloading Files");
    if (fonts.fontMedium10) {
        const std::string detail =
            FitText(DownloadBoxDetail(ui.statusLine.data(), state.bytesSnapshot, ui.downloadRate),
                    fonts.fontMedium10, 9.0f, kDownloadDetailMaxWidth);
        AddTextIfFont(drawList, fonts.fontMedium10, 9.0f, At(p, x0 + 36.0f, 33.0f),
                      palette::kSecondaryText, detail.c_str());
    }
    const ImVec2 ringCentre = At(p, x0 + 178.0f, 30.0f);
    const float ringRadius = Scaled(10.0f);
    drawList->AddCircle(ringCentre, ringRadius, IM_COL32(0x3C, 0x3E, 0x44, 255), 32, Scaled(2.5f));
    DrawRingArc(drawList, ringCentre, ringRadius, fraction);
    // The ring is also the box's cancel control: a cross shows in it under the pointer.
    const HitResult cancel =
        HitButton("##cancel_download", ImVec2(x0 + 164.0f, 16.0f), ImVec2(28.0f, 28.0f));
    if (cancel.hovered)
        DrawTextCentered(drawList, fonts.iconSolid10, 10.0f, ringCentre.x, ringCentre.y,
                         palette::kWhite, icon::kXMark);
    if (cancel.pressed)
        state.requestCancel = true;
}

// The shell acts on the requests after the frame.
void DrawWindowButtons(UiState& ui, ImDrawList* drawList, ImVec2 p, float width,
                       const UiFonts& fonts) {
    const HitResult close =
        HitButton("##close", ImVec2(width - 40.0f, 14.0f), ImVec2(32.0f, 32.0f));
    if (close.pressed)
        ui.requestClose = true;
    if (close.hovered)
        drawList->AddRectFilled(ImGui::GetItemRectMin(), ImGui::GetItemRectMax(),
                                palette::WithAlpha(palette::kOfflineRed, 60), Scaled(8.0f));
    const ImVec2 closeCentre = At(p, width - 24.0f, 30.0f);
    DrawTextCentered(drawList, fonts.iconSolid12, 12.0f, closeCentre.x, closeCentre.y,
                     palette::kMutedIcon, icon::kXMark);

    const HitResult minimise =
        HitButton("##minimize", ImVec2(width - 76.0f, 14.0f), ImVec2(32.0f, 32.0f));
    if (minimise.pressed)
        ui.requestMinimize = true;
    if (minimise.hovered)
        drawList->AddRectFilled(ImGui::GetItemRectMin(), ImGui::GetItemRectMax(),
                                palette::White(16), Scaled(8.0f));
    const ImVec2 minimiseCentre = At(p, width - 60.0f, 30.0f);
    DrawTextCentered(drawList, fonts.iconSolid12, 12.0f, minimiseCentre.x, minimiseCentre.y,
                     palette::kMutedIcon, icon::kMinus);
}

}  // namespace

void DrawTitleBar(UiState& ui, LauncherState& state, ImDrawList* drawList, ImVec2 windowPos,
                  float width, float /*height*/) {
    const UiFonts& fonts = Fonts();
    DrawServerPill(drawList, windowPos, fonts);
    // Only while files are being fetched.
    if (ShowDownloadBox(state.indexSnapshot, state.countSnapshot))
        DrawDownloadBox(ui, state, drawList, windowPos, width, fonts);
    DrawWindowButtons(ui, drawList, windowPos, width, fonts);
}

void DrawLauncherFrame(UiState& ui, LauncherState& state) {
    const UiFrameScope scope(ui);
    const ImGuiIO& io = ImGui::GetIO();
    // The pages lay out in design units; the display is that times the scale.
    const float width = io.DisplaySize.x / UiScaleFactor();
    const float height = io.DisplaySize.y / UiScaleFactor();
    ImGui::SetNextWindowPos(ImVec2(0.0f, 0.0f), ImGuiCond_Always, ImVec2(0.0f, 0.0f));
    ImGui::SetNextWindowSize(io.DisplaySize, ImGuiCond_Always);
    ImGui::Begin("QS", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                     ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoScrollWithMouse |
                     ImGuiWindowFlags_NoCollapse);
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    const ImVec2 origin = ImGui::GetWindowPos();

    if (!ui.firstFrameDone) {
        FillFirstFrameFields(ui);
        ui.firstFrameDone = true;
    }
    HandleKeys(ui);
    FillStatusLine(ui, state.statusSnapshot);
    UpdateTransferRate(ui.downloadRate, ImGui::GetTime(), state.bytesSnapshot.fetched);

    DrawBackground(drawList, origin, width, height);
    DrawSidebar(ui, drawList, origin, width, height);
    DrawTitleBar(ui, state, drawList, origin, width, height);

    switch (ui.activePage) {
        case ActivePage::News:
            DrawNewsPage(ui, drawList, origin, width, height);
            break;
        case ActivePage::Settings:
            DrawSettingsPage(ui, state, drawList, origin, width, height, &state.requestUpdateCheck,
                             &state.requestLauncherUpdate, state.indexSnapshot,
                             state.countSnapshot);
            break;
        case ActivePage::Home:
            DrawHomePage(ui, state, drawList, origin, width, height);
            break;
    }
    DrawFocusRing(ui, drawList);
    ImGui::End();
}

}  // namespace qs
