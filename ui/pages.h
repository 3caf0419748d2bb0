#pragma once
#include <imgui.h>

#include <cstdint>
#include <string>

#include "app/state.h"
#include "ui/ui_state.h"

namespace qs {

// Once per frame between ImGui::NewFrame and ImGui::Render.
void DrawLauncherFrame(UiState& ui, LauncherState& state);

void DrawSidebar(UiState& ui, ImDrawList* drawList, ImVec2 windowPos, float width, float height);
// Both read the frame's snapshots in `state` and raise its per-frame requests.
void DrawTitleBar(UiState& ui, LauncherState& state, ImDrawList* drawList, ImVec2 windowPos,
                  float width, float height);
void DrawHomePage(UiState& ui, LauncherState& state, ImDrawList* drawList, ImVec2 windowPos,
                  float width, float height);
void DrawNewsPage(UiState& ui, ImDrawList* drawList, ImVec2 windowPos, float width, float height);
void DrawSettingsPage(UiState& ui, LauncherState& state, ImDrawList* drawList, ImVec2 windowPos,
                      float width, float height, bool* requestUpdateCheck,
                      bool* requestLauncherUpdate, std::int32_t progressIndex,
                      std::int32_t progressCount);

}  // namespace qs
