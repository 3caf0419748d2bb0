#pragma once
// The News page drawn from a given list, with the link opener handed in (tests record links).
#include <imgui.h>

#include <functional>
#include <string>
#include <vector>

#include "live/live.h"
#include "ui/ui_state.h"

namespace qs {

// Receives only addresses that passed WebAddressToOpen.
using NewsLinkOpener = std::function<void(const std::string& address)>;

void DrawNewsPageItems(UiState& ui, const std::vector<NewsItem>& items,
                       const NewsLinkOpener& openLink, ImDrawList* drawList, ImVec2 windowPos,
                       float width, float height);

}  // namespace qs
