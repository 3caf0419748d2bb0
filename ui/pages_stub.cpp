// Stand-ins until the News and Settings pages land; removed then.
#include "ui/pages.h"

void DrawNewsPage(UiState&, ImDrawList*, ImVec2, float, float) {}
void DrawSettingsPage(UiState&, LauncherState&, ImDrawList*, ImVec2, float, float, bool*, bool*,
                      std::int32_t, std::int32_t) {}
