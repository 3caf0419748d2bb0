#include <cfloat>
#include <exception>
#include <filesystem>
#include <system_error>

#include "app/client.h"
#include "live/live.h"
#include "net/client_location.h"
#include "ui/links.h"
#include "ui/pages.h"
#include "ui/theme.h"
#include "ui/ui_logic.h"
#include "ui/widgets.h"

namespace qs {

namespace {

constexpr const char* kDescription =
    "Quillon Saga is an online role-playing game of transformations and energy techniques, fought "
    "out in "
    "player-versus-player battles. Take on quests, clear dungeons and leave your mark on an "
    "evolving world.";

void TextWithFont(ImVec2 cursor, ImFont* font, const ImVec4* colour, const char* text) {
    ImGui::SetCursorPos(At(ImVec2(0.0f, 0.0f), cursor.x, cursor.y));
    if (font)
        ImGui::PushFont(font);
    if (colour)
        ImGui::PushStyleColor(ImGuiCol_Text, *colour);
    ImGui::TextUnformatted(text);
    if (colour)
        ImGui::PopStyleColor();
    if (font)
        ImGui::PopFont();
}

void DrawPrimaryButton(ImDrawList* drawList, LauncherState& state, bool updating, bool clientReady,
                       bool online) {
    const UiFonts& fonts = Fonts();
    const HitResult hit =
        HitButton("##play", ImVec2(141.0f, 462.0f), ImVec2(159.0f, 42.0f), online || updating);
    switch (PlayButtonAction(hit.pressed, online, clientReady, updating)) {
        case PlayAction::Play:
            state.requestPlay = true;
            break;
        case PlayAction::UpdateCheck:
            state.requestUpdateCheck = true;
            break;
        case PlayAction::Cancel:
            state.requestCancel = true;
            break;
        case PlayAction::None:
            break;
    }
    const PlayButtonLook look = ChoosePlayButton(updating, clientReady, online, hit.hovered);
    const ImVec2 itemMin = ImGui::GetItemRectMin();
    const ImVec2 itemMax = ImGui::GetItemRectMax();
    drawList->AddRectFilled(itemMin, itemMax, look.fill, Scaled(8.0f));
    const ImVec2 label = MeasureText(fonts.fontMedium11, 11.0f, look.label, ImVec2(60.0f, 11.0f));
    const float x0 = itemMin.x + (Scaled(159.0f) - (label.x + Scaled(18.0f))) / 2.0f;
    const float cy = (itemMin.y + itemMax.y) / 2.0f;
    DrawTextCentered(drawList, fonts.iconSolid10, 10.0f, x0 + Scaled(5.0f), cy, look.iconColour,
                     look.glyph);
    AddTextIfFont(drawList, fonts.fontMedium11, 11.0f,
                  ImVec2(x0 + Scaled(18.0f), cy - label.y / 2.0f), look.labelColour, look.label);
}

// Under the buttons: a thin bar with the amounts while files come in, else the last outcome.
void DrawProgressOrOutcome(const UiState& ui, const LauncherState& state, ImDrawList* drawList,
                           ImVec2 p, bool updating) {
    constexpr float kLeft = 141.0f, kRight = 424.0f, kBarTop = 518.0f;
    ImFont* font = Fonts().fontMedium10;
    if (updating) {
        const float fraction =
            DownloadRingFraction(state.indexSnapshot, state.countSnapshot, state.bytesSnapshot);
        drawList->AddRectFilled(At(p, kLeft, kBarTop), At(p, kRight, kBarTop + 3.0f),
                                IM_COL32(0x3C, 0x3E, 0x44, 255), Scaled(1.5f));
        drawList->AddRectFilled(At(p, kLeft, kBarTop),
                                At(p, kLeft + (kRight - kLeft) * fraction, kBarTop + 3.0f),
                                palette::kAccentViolet, Scaled(1.5f));
        const std::string line = HomeProgressText(state.indexSnapshot, state.countSnapshot,
                                                  state.bytesSnapshot, ui.downloadRate);
        AddTextIfFont(drawList, font, 10.0f, At(p, kLeft, kBarTop + 10.0f), palette::kSecondaryText,
                      line.c_str());
        return;
    }
    if (!ShowsOnHome(state.outcome, state.runningTask) || !font)
        return;
    DrawWrappedText(drawList, font, 10.0f, At(p, kLeft, kBarTop), kRight - kLeft + 120.0f, 15.0f, 2,
                    OutcomeColour(state.outcome.tone), ui.statusLine.data());
    const std::string details = LogLocationLine(state.outcome, LauncherDataFolder());
    if (!details.empty())
        AddTextIfFont(
            drawList, font, 10.0f, At(p, kLeft, kBarTop + 32.0f), palette::kSecondaryText,
            FitText(SanitizeUiText(details), font, 10.0f, kRight - kLeft + 120.0f).c_str());
}

void DrawSettingsButton(UiState& ui, ImDrawList* drawList) {
    const UiFonts& fonts = Fonts();
    const HitResult hit =
        HitButton("##settings_btn", ImVec2(309.0f, 462.0f), ImVec2(115.0f, 42.0f));
    if (hit.pressed)
        ui.activePage = ActivePage::Settings;
    const ImVec2 itemMin = ImGui::GetItemRectMin();
    const ImVec2 itemMax = ImGui::GetItemRectMax();
    drawList->AddRectFilled(itemMin, itemMax, palette::White(hit.hovered ? 28 : 18), Scaled(8.0f));
    drawList->AddRect(itemMin, itemMax, palette::White(18), Scaled(8.0f), 0, Scaled(1.0f));
    const char* text = "SETTINGS";
    const ImVec2 label = MeasureText(fonts.fontMedium11, 11.0f, text, ImVec2(60.0f, 11.0f));
    const float x0 = itemMin.x + (Scaled(115.0f) - (label.x + Scaled(19.0f))) / 2.0f;
    const float cy = (itemMin.y + itemMax.y) / 2.0f;
    const ImU32 colour = hit.hovered ? palette::kSecondaryText : IM_COL32(0x78, 0x79, 0x80, 255);
    DrawTextCentered(drawList, fonts.iconSolid12, 12.0f, x0 + Scaled(6.0f), cy, colour,
                     icon::kGear);
    AddTextIfFont(drawList, fonts.fontMedium11, 11.0f,
                  ImVec2(x0 + Scaled(19.0f), cy - label.y / 2.0f), colour, text);
}

void DrawTrailerPanel(ImDrawList* drawList, ImVec2 p) {
    const UiFonts& fonts = Fonts();
    const ImVec2 panelMin = At(p, 612.0f, 210.0f);
    const ImVec2 panelMax = At(p, 1132.0f, 535.0f);
    if (ImTextureID art = Textures().texHomeArt)
        drawList->AddImage(art, panelMin, panelMax);
    const ImU32 shade = IM_COL32(0x0E, 0x0F, 0x13, 0);
    drawList->AddRectFilledMultiColor(panelMin, panelMax, palette::WithAlpha(shade, 120), shade,
                                      shade, palette::WithAlpha(shade, 120));
    drawList->AddRectFilledMultiColor(At(p, 612.0f, 405.0f), panelMax, shade, shade,
                                      palette::WithAlpha(shade, 220),
                                      palette::WithAlpha(shade, 220));
    drawList->AddRect(panelMin, panelMax, palette::White(18), 0.0f, 0, Scaled(1.0f));
    const ImVec2 videoCentre = At(p, 612.0f + 21.5f, 535.0f - 19.0f);
    DrawTextCentered(drawList, fonts.iconSolid12, 11.0f, videoCentre.x, videoCentre.y,
                     palette::White(160), icon::kVideo);
    if (fonts.fontMedium9) {
        const char* caption = "WATCH TRAILER";
        const ImVec2 size = MeasureText(fonts.fontMedium9, 9.0f, caption, ImVec2(0.0f, 0.0f));
        AddTextIfFont(drawList, fonts.fontMedium9, 9.0f,
                      ImVec2(At(p, 612.0f + 33.0f, 0.0f).x, At(p, 0.0f, 516.0f).y - size.y / 2.0f),
                      palette::White(160), caption);
    }
    if (HitButton("##trailer", ImVec2(612.0f, 210.0f), ImVec2(520.0f, 325.0f)).pressed)
        OpenWebAddress(TrailerUrl());
}

void DrawFooterLink(ImDrawList* drawList, ImVec2 p, float height, const char* id, float left,
                    float buttonWidth, ImFont* iconFont, float iconSize, float iconCentreX,
                    const char* glyph, float labelX, const char* label, bool discord) {
    const HitResult hit = HitButton(id, ImVec2(left, height - 46.0f), ImVec2(buttonWidth, 44.0f));
    if (hit.pressed)
        OpenWebAddress(discord ? CommunityInviteUrl() : WebSiteUrl());
    const ImVec2 iconCentre = At(p, iconCentreX, height - 24.0f);
    const ImU32 colour = hit.hovered ? palette::kSecondaryText : palette::kMutedIcon;
    DrawTextCentered(drawList, iconFont, iconSize, iconCentre.x, iconCentre.y, colour, glyph);
    if (ImFont* font = Fonts().fontMedium9) {
        const ImVec2 size = MeasureText(font, 9.0f, label, ImVec2(0.0f, 0.0f));
        AddTextIfFont(drawList, font, 9.0f,
                      ImVec2(At(p, labelX, 0.0f).x, iconCentre.y - size.y / 2.0f), colour, label);
    }
}

}  // namespace

void DrawHomePage(UiState& ui, LauncherState& state, ImDrawList* drawList, ImVec2 windowPos,
                  float width, float height) {
    const ImVec2 p = windowPos;
    const UiFonts& fonts = Fonts();
    const bool updating = IsUpdating(state.indexSnapshot, state.countSnapshot);
    const bool clientReady = ClientReady(ClientExecutablePresent(), updating, state.outcome);
    const bool online = CurrentServerStatus().online;

    // Title block.
    drawList->AddCircleFilled(At(p, 145.0f, 238.0f), 2.5f, IM_COL32(0x8A, 0x8B, 0x91, 255));
    const ImVec4 taglineColour = ImGui::ColorConvertU32ToFloat4(IM_COL32(0x8A, 0x8B, 0x91, 255));
    TextWithFont(ImVec2(154.0f, 232.0f), fonts.fontMedium10, &taglineColour, "QUILLON SAGA MMORPG");
    const ImVec4 greyTitle(0.65f, 0.65f, 0.67f, 1.0f);
    TextWithFont(ImVec2(141.0f, 254.0f), fonts.fontRegular28, &greyTitle, "Quillon");
    TextWithFont(ImVec2(141.0f, 282.0f), fonts.fontBold52, nullptr, "SAGA");
    if (fonts.fontLight13) {
        const float size = fonts.fontLight13->FontSize / UiScaleFactor();  // its own size
        DrawWrappedText(drawList, fonts.fontLight13, size, At(p, 141.0f, 354.0f), 400.0f,
                        1.7f * size, 0, palette::kSecondaryText, kDescription);
    }

    DrawPrimaryButton(drawList, state, updating, clientReady, online);
    DrawSettingsButton(ui, drawList);
    DrawProgressOrOutcome(ui, state, drawList, p, updating);
    DrawTrailerPanel(drawList, p);

    DrawFooterLink(drawList, p, height, "##ftr_discord", 130.0f, 76.0f, fonts.iconBrands10, 12.0f,
                   136.0f, icon::kDiscord, 147.0f, "DISCORD", true);
    DrawFooterLink(drawList, p, height, "##ftr_website", 214.0f, 80.0f, fonts.iconSolid10, 11.0f,
                   219.5f, icon::kGlobe, 230.0f, "WEBSITE", false);
    if (fonts.fontMedium9) {
        const ImVec2 size = MeasureText(fonts.fontMedium9, 9.0f, kLauncherVersionText, ImVec2());
        const ImVec2 right = At(p, width - 16.0f, height - 24.0f);
        AddTextIfFont(drawList, fonts.fontMedium9, 9.0f,
                      ImVec2(right.x - size.x, right.y - size.y / 2.0f), palette::kMutedIcon,
                      kLauncherVersionText);
    }
}

}  // namespace qs
