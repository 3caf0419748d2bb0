#include <cfloat>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/client.h"
#include "app/client_data.h"
#include "app/settings.h"
#include "platform/process.h"
#include "ui/pages.h"
#include "ui/theme.h"
#include "ui/ui_logic.h"
#include "ui/widgets.h"

namespace qs {

namespace {

using palette::kAccentViolet;
using palette::kCardGround;
using palette::kLightViolet;
using palette::kSecondaryText;
using palette::kWhite;
using palette::White;
constexpr ImU32 kSectionLabel = palette::kMutedIcon;
constexpr ImU32 kCancelFill = palette::kOfflineFill;
constexpr ImU32 kDisabledFill = IM_COL32(0x3C, 0x3C, 0x41, 38);
constexpr ImU32 kDisabledOutline = IM_COL32(0x50, 0x50, 0x55, 77);
constexpr ImU32 kDisabledLabel = IM_COL32(0x78, 0x78, 0x7D, 255);
constexpr ImU32 kGreyFill = IM_COL32(0x3C, 0x3E, 0x44, 255);
constexpr ImU32 kGreyOutline = IM_COL32(0x50, 0x52, 0x58, 255);
constexpr ImU32 kSaveIdleLabel = IM_COL32(0x8C, 0x8E, 0x94, 255);
constexpr ImU32 kShade = IM_COL32(0, 0, 0, 180);

constexpr float kCardLeft = 124.0f;
constexpr float kCardRight = 1232.0f;
constexpr float kCardTextLeft = 138.0f;
constexpr float kCardTextRight = 1044.0f;  // short of the leftmost card button

class SettingsPainter {
public:
    SettingsPainter(ImDrawList* drawList, ImVec2 origin) : drawList_(drawList), origin_(origin) {}

    void SectionLabel(float y, const char* label) const {
        AddTextIfFont(drawList_, Fonts().fontMedium9, 9, At(origin_, kCardLeft, y), kSectionLabel,
                      label);
    }

    void Card(float top, float bottom) const {
        drawList_->AddRectFilled(At(origin_, kCardLeft, top), At(origin_, kCardRight, bottom),
                                 kCardGround, Scaled(6));
        drawList_->AddRect(At(origin_, kCardLeft, top), At(origin_, kCardRight, bottom), White(10),
                           Scaled(6), 0, Scaled(1));
    }

    void CardTexts(float titleY, float descriptionY, const char* title, const char* description,
                   ImU32 descriptionColour = kSecondaryText) const {
        AddTextIfFont(drawList_, Fonts().fontMedium12, 12, At(origin_, kCardTextLeft, titleY),
                      kWhite, title);
        AddTextIfFont(drawList_, Fonts().fontMedium10, 10, At(origin_, kCardTextLeft, descriptionY),
                      descriptionColour, description);
    }

    // A card's second line speaks for its action once it ran: the status line while the task
    // works, then its outcome until the next action.
    void CardTextsWithOutcome(float titleY, float descriptionY, const char* title,
                              const char* description, const UiState& ui,
                              const LauncherState& state, TaskKind kind) const {
        // The status line can carry any error text: it stops short of the card's buttons.
        const std::string status =
            FitText(ui.statusLine.data(), Fonts().fontMedium10, 10, kCardTextRight - kCardTextLeft);
        if (state.runningTask == kind)
            CardTexts(titleY, descriptionY, title, status.c_str());
        else if (state.outcome.kind == kind)
            CardTexts(titleY, descriptionY, title, status.c_str(),
                      OutcomeColour(state.outcome.tone));
        else
            CardTexts(titleY, descriptionY, title, description);
    }

    void PrimaryButtonLook(ImVec2 itemMin, ImVec2 itemMax, bool hovered, const char* label) const {
        drawList_->AddRectFilled(itemMin, itemMax, hovered ? kLightViolet : kAccentViolet,
                                 Scaled(5));
        drawList_->AddRect(itemMin, itemMax, kAccentViolet, Scaled(5), 0, Scaled(1));
        DrawTextInRect(drawList_, Fonts().fontMedium10, 10, itemMin, itemMax, kWhite, label);
    }

    // A primary button; true when pressed.
    bool PrimaryButton(const char* id, float x, float y, float w, float h,
                       const char* label) const {
        HitResult hit = HitButton(id, ImVec2(x, y), ImVec2(w, h));
        PrimaryButtonLook(ImGui::GetItemRectMin(), ImGui::GetItemRectMax(), hit.hovered, label);
        return hit.pressed;
    }

    void Heading() const {
        const UiFonts& fonts = Fonts();
        ImGui::SetCursorPos(At(ImVec2(), 124, 80));
        if (fonts.fontBold18)
            ImGui::PushFont(fonts.fontBold18);
        ImGui::TextUnformatted("Settings");
        if (fonts.fontBold18)
            ImGui::PopFont();

        ImGui::SetCursorPos(At(ImVec2(), 124, 103));
        if (fonts.fontMedium11)
            ImGui::PushFont(fonts.fontMedium11);
        ImGui::PushStyleColor(ImGuiCol_Text, kSecondaryText);
        ImGui::TextUnformatted("Configure the launcher and game client directory.");
        ImGui::PopStyleColor();
        if (fonts.fontMedium11)
            ImGui::PopFont();
    }

    void GameClient(UiState& ui) const {
        SectionLabel(138, "GAME CLIENT");
        Card(156, 210);
        CardTexts(166, 182, "Game Directory", "Path to the Quillon Saga client folder.");

        ImGui::PushStyleColor(ImGuiCol_FrameBg, ImVec4(0.055f, 0.055f, 0.07f, 0.5f));
        ImGui::PushStyleColor(ImGuiCol_Border, White(18));
        ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, Scaled(5.0f));
        ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, Scaled(ImVec2(10, 7)));
        ImGui::PushStyleVar(ImGuiStyleVar_FrameBorderSize, Scaled(1.0f));
        ImFont* pathFont = SystemFont();
        if (pathFont)
            ImGui::PushFont(pathFont);
        ImGui::SetCursorPos(At(ImVec2(), 480, 167));
        ImGui::SetNextItemWidth(Scaled(540));
        ui.gameDirBuffer.back() = '\0';
        // A stop in our own Tab order, not ImGui's; reaching it gives it the keyboard, so the
        // path can be selected and copied.
        const ImGuiID fieldId = ImGui::GetID("##gamedir");
        if (KeyboardFocusArrived(fieldId))
            ImGui::SetKeyboardFocusHere();
        ImGui::PushAllowKeyboardFocus(false);
        ImGui::InputText("##gamedir", ui.gameDirBuffer.data(), ui.gameDirBuffer.size(),
                         ImGuiInputTextFlags_ReadOnly);
        ImGui::PopAllowKeyboardFocus();
        RegisterFocusableItem(fieldId);
        if (pathFont)
            ImGui::PopFont();
        ImGui::PopStyleVar(3);
        ImGui::PopStyleColor(2);

        HitResult open = HitButton("##open_dir", ImVec2(1104, 167), ImVec2(114, 32));
        if (open.pressed) {
            try {
                const std::u8string folder = ClientDirectory().u8string();
                OpenWithDesktop(std::string(folder.begin(), folder.end()));
            } catch (const std::exception&) {
                // No folder to show; the press only clicks.
            }
        }
        ImVec2 itemMin = ImGui::GetItemRectMin();
        ImVec2 itemMax = ImGui::GetItemRectMax();
        drawList_->AddRect(itemMin, itemMax, open.hovered ? kAccentViolet : White(18), Scaled(5), 0,
                           Scaled(1));
        ImU32 colour = open.hovered ? kWhite : kSecondaryText;
        const char* label = "OPEN FOLDER";
        ImVec2 labelSize = MeasureText(Fonts().fontMedium9, 9, label, ImVec2(60, 9));
        float x0 = itemMin.x + (Scaled(114) - (labelSize.x + Scaled(16))) / 2;
        float centerY = (itemMin.y + itemMax.y) / 2;
        DrawTextCentered(drawList_, Fonts().iconSolid10, 10, x0 + Scaled(5), centerY, colour,
                         icon::kFolderOpen);
        AddTextIfFont(drawList_, Fonts().fontMedium9, 9,
                      ImVec2(x0 + Scaled(16), centerY - labelSize.y / 2), colour, label);
    }

    void Launcher(LauncherSettings& settings) const {
        SectionLabel(222, "LAUNCHER");
        Card(240, 286);
        CardTexts(247, 263, "Close launcher when game starts", "Frees memory while you play.");
        if (ToggleSwitch("##tgl_close", settings.closeOnLaunch, ImVec2(1184, 254)))
            RecomputeUnsavedChanges(settings);
        Card(288, 334);
        CardTexts(295, 311, "Verify files on startup",
                  "Check for missing or changed game files each time launcher opens.");
        if (ToggleSwitch("##tgl_verify", settings.verifyOnStart, ImVec2(1184, 302)))
            RecomputeUnsavedChanges(settings);
    }

    void Maintenance(UiState& ui, LauncherState& state, float width, float height) const {
        SectionLabel(348, "MAINTENANCE");
        Card(366, 420);
        CardTextsWithOutcome(376, 392, "Check for Client Updates",
                             "Check for missing or changed game files and repair corrupted files.",
                             ui, state, TaskKind::ClientUpdate);
        // A repair: every file is read again, whatever earlier runs proved.
        if (PrimaryButton("##check_upd", 1078, 377, 140, 32, "CHECK UPDATES"))
            state.requestRepair = true;

        Card(422, 476);
        CardTexts(432, 448, "Clear Client Data",
                  "Delete the managed game files, then download a clean client copy.");
        // While a task holds busy (an update run, or a deletion already under way) the files
        // are in use: the button stays grey and inert.
        bool clientPresent = ClientExecutablePresent();
        bool clearUsable = clientPresent && !state.busy.load();
        HitResult clear;
        if (clearUsable) {
            clear = HitButton("##clear_data", ImVec2(1108, 433), ImVec2(110, 32));
            if (clear.pressed) {
                ui.clearConfirmOpen = true;
                MoveKeyboardFocus(ImGui::GetID("##cancel_clear"));
            }
        }
        if (ui.clearConfirmOpen)
            ConfirmationDialog(ui, state, width, height);

        ImVec2 clearMin = At(origin_, 1108, 433);
        ImVec2 clearMax = At(origin_, 1108 + 110, 433 + 32);
        if (clearUsable) {
            PrimaryButtonLook(clearMin, clearMax, clear.hovered, "CLEAR DATA");
        } else {
            drawList_->AddRectFilled(clearMin, clearMax, kDisabledFill, Scaled(5));
            drawList_->AddRect(clearMin, clearMax, kDisabledOutline, Scaled(5), 0, Scaled(1));
            DrawTextInRect(drawList_, Fonts().fontMedium10, 10, clearMin, clearMax, kDisabledLabel,
                           "CLEAR DATA");
        }
    }

    void LauncherUpdates(const UiState& ui, const LauncherState& state,
                         bool* requestLauncherUpdate) const {
        Card(478, 532);
        CardTextsWithOutcome(488, 504, "Check for Launcher Updates",
                             "Update the launcher itself to the latest version.", ui, state,
                             TaskKind::LauncherUpdate);
        if (PrimaryButton("##check_launcher_upd", 1058, 489, 160, 32, "CHECK LAUNCHER UPDATE") &&
            requestLauncherUpdate)
            *requestLauncherUpdate = true;
    }

    void Downloads(LauncherSettings& settings) const {
        SectionLabel(546, "DOWNLOADS");
        Card(564, 610);
        CardTexts(571, 587, "Download speed limit",
                  "Keep game and launcher downloads below this speed.");
        const std::uint32_t limit = settings.downloadLimitMBps;
        if (StepButton("##limit_down", 1080, icon::kMinus, limit > 0)) {
            settings.downloadLimitMBps = StepDownloadLimit(limit, -1);
            RecomputeUnsavedChanges(settings);
        }
        if (StepButton("##limit_up", 1194, icon::kPlus,
                       limit < kDownloadLimitSteps[std::size(kDownloadLimitSteps) - 1])) {
            settings.downloadLimitMBps = StepDownloadLimit(limit, +1);
            RecomputeUnsavedChanges(settings);
        }
        const std::string text = DownloadLimitText(settings.downloadLimitMBps);
        DrawTextInRect(drawList_, Fonts().fontMedium11, 11, At(origin_, 1104, 575),
                       At(origin_, 1194, 599), settings.downloadLimitMBps ? kWhite : kSecondaryText,
                       text.c_str());
    }

    // Beside SAVE: the launcher's data folder, where its log is, for a player asked to send it.
    void OpenLogFolder(UiState& ui) const {
        const HitResult open = HitButton("##open_log", ImVec2(kCardLeft, 626), ImVec2(140, 32));
        if (open.pressed)
            ui.requestOpenLogFolder = true;
        const ImVec2 itemMin = ImGui::GetItemRectMin();
        const ImVec2 itemMax = ImGui::GetItemRectMax();
        drawList_->AddRect(itemMin, itemMax, open.hovered ? kAccentViolet : White(18), Scaled(5), 0,
                           Scaled(1));
        const ImU32 colour = open.hovered ? kWhite : kSecondaryText;
        const char* label = "OPEN LOG FOLDER";
        const ImVec2 labelSize = MeasureText(Fonts().fontMedium9, 9, label, ImVec2(80, 9));
        const float x0 = itemMin.x + (Scaled(140) - (labelSize.x + Scaled(16))) / 2;
        const float centerY = (itemMin.y + itemMax.y) / 2;
        DrawTextCentered(drawList_, Fonts().iconSolid10, 10, x0 + Scaled(5), centerY, colour,
                         icon::kFolderOpen);
        AddTextIfFont(drawList_, Fonts().fontMedium9, 9,
                      ImVec2(x0 + Scaled(16), centerY - labelSize.y / 2), colour, label);
    }

    void Save(LauncherSettings& settings) const {
        bool hovered = false;
        if (settings.unsavedChanges) {
            HitResult save = HitButton("##save", ImVec2(1152, 626), ImVec2(80, 32));
            hovered = save.hovered;
            if (save.pressed)
                SaveSettings();
        }
        bool active = settings.unsavedChanges;
        ImVec2 itemMin = At(origin_, 1152, 626);
        ImVec2 itemMax = At(origin_, 1232, 658);
        ImU32 fill = active ? (hovered ? kLightViolet : kAccentViolet) : kGreyFill;
        drawList_->AddRectFilled(itemMin, itemMax, fill, Scaled(5));
        drawList_->AddRect(itemMin, itemMax, active ? kAccentViolet : kGreyOutline, Scaled(5), 0,
                           Scaled(1));
        ImU32 colour = active ? kWhite : kSaveIdleLabel;
        const char* label = "SAVE";
        ImVec2 labelSize = MeasureText(Fonts().fontMedium10, 10, label, ImVec2(28, 10));
        float x0 = itemMin.x + (Scaled(80) - (labelSize.x + Scaled(15))) / 2;
        float centerY = (itemMin.y + itemMax.y) / 2;
        DrawTextCentered(drawList_, Fonts().iconSolid10, 10, x0 + Scaled(5), centerY, colour,
                         icon::kCheck);
        AddTextIfFont(drawList_, Fonts().fontMedium10, 10,
                      ImVec2(x0 + Scaled(15), centerY - labelSize.y / 2), colour, label);
    }

private:
    // A square button of the speed stepper; inert and dim at the end of its range.
    bool StepButton(const char* id, float x, const char* glyph, bool usable) const {
        HitResult hit;
        if (usable)
            hit = HitButton(id, ImVec2(x, 575), ImVec2(24, 24));
        const ImVec2 itemMin = At(origin_, x, 575);
        const ImVec2 itemMax = At(origin_, x + 24, 599);
        drawList_->AddRect(itemMin, itemMax, hit.hovered ? kAccentViolet : White(18), Scaled(5), 0,
                           Scaled(1));
        const ImVec2 centre = At(origin_, x + 12, 587);
        DrawTextCentered(drawList_, Fonts().iconSolid10, 10, centre.x, centre.y,
                         usable ? (hit.hovered ? kWhite : kSecondaryText) : kDisabledLabel, glyph);
        return hit.pressed;
    }

    // A drawing, not an ImGui popup: everything else on the page keeps reacting to the mouse.
    void ConfirmationDialog(UiState& ui, LauncherState& state, float width, float height) const {
        const UiFonts& fonts = Fonts();
        drawList_->AddRectFilled(origin_, At(origin_, width, height), kShade);
        float x0 = (width - 400) / 2;
        float y0 = (height - 140) / 2;
        drawList_->AddRectFilled(At(origin_, x0, y0), At(origin_, x0 + 400, y0 + 140), kCardGround,
                                 Scaled(8));
        drawList_->AddRect(At(origin_, x0, y0), At(origin_, x0 + 400, y0 + 140), White(18),
                           Scaled(8), 0, Scaled(1.5f));
        AddTextIfFont(drawList_, fonts.fontBold18, 18, At(origin_, x0 + 20, y0 + 20), kWhite,
                      "Clear Client Data?");
        AddTextIfFont(drawList_, fonts.fontLight13, 12, At(origin_, x0 + 20, y0 + 50),
                      kSecondaryText,
                      "This will delete all game files. You will need to re-download.");

        BeginFocusTrap();
        HitResult cancel = HitButton("##cancel_clear", ImVec2(x0 + 20, y0 + 84), ImVec2(120, 36));
        DialogButtonLook(cancel.hovered ? kGreyFill : kCancelFill, kGreyOutline, "CANCEL");
        HitResult confirm =
            HitButton("##confirm_clear", ImVec2(x0 + 260, y0 + 84), ImVec2(120, 36));
        DialogButtonLook(confirm.hovered ? kLightViolet : kAccentViolet, kAccentViolet, "DELETE");
        EndFocusTrap();

        // Escape is a second way to cancel; the keyboard goes back to the button that opened it.
        if (cancel.pressed || ui.focus.escape) {
            ui.clearConfirmOpen = false;
            MoveKeyboardFocus(ImGui::GetID("##clear_data"));
        }
        if (confirm.pressed) {
            try {
                // Refused while busy: an update started while the dialog was open owns the files.
                StartClearClientData(state, ClientDirectory());
            } catch (const std::exception&) {
                // No client folder can be resolved: nothing to delete.
            }
            ui.clearConfirmOpen = false;
        }
    }

    void DialogButtonLook(ImU32 fill, ImU32 outline, const char* label) const {
        ImVec2 itemMin = ImGui::GetItemRectMin();
        ImVec2 itemMax = ImGui::GetItemRectMax();
        drawList_->AddRectFilled(itemMin, itemMax, fill, Scaled(6));
        drawList_->AddRect(itemMin, itemMax, outline, Scaled(6), 0, Scaled(1));
        DrawTextInRect(drawList_, Fonts().fontMedium11, 11, itemMin, itemMax, kWhite, label);
    }

    ImDrawList* drawList_;
    ImVec2 origin_;
};

}  // namespace

void DrawSettingsPage(UiState& ui, LauncherState& state, ImDrawList* drawList, ImVec2 windowPos,
                      float width, float height, bool* requestUpdateCheck,
                      bool* requestLauncherUpdate, std::int32_t progressIndex,
                      std::int32_t progressCount) {
    (void)progressIndex;
    (void)progressCount;
    LauncherSettings& settings = CurrentSettings();
    SettingsPainter painter(drawList, windowPos);
    painter.Heading();
    painter.GameClient(ui);
    painter.Launcher(settings);
    (void)requestUpdateCheck;
    painter.Maintenance(ui, state, width, height);
    painter.LauncherUpdates(ui, state, requestLauncherUpdate);
    painter.Downloads(settings);
    painter.OpenLogFolder(ui);
    painter.Save(settings);
}

}  // namespace qs
