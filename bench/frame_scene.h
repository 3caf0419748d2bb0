#pragma once
// The interface without a window, as the frame benchmarks draw it: an ImGui context with the
// launcher's real fonts and images (as handles), a status poller that says the service is online
// and a full news list. Settings and the client folder are kept in a temporary home.
#include <filesystem>
#include <memory>

#include "app/state.h"
#include "ui/ui_state.h"

namespace qs::bench {

class HeadlessInterface {
public:
    HeadlessInterface();  // throws when the fonts do not load
    ~HeadlessInterface();
    HeadlessInterface(const HeadlessInterface&) = delete;
    HeadlessInterface& operator=(const HeadlessInterface&) = delete;

    // One frame as the launcher builds it, without the GPU upload.
    void Frame(UiState& ui, LauncherState& state, bool copyStatus = false);

private:
    struct Live;
    std::filesystem::path home_;
    std::unique_ptr<Live> live_;
};

}  // namespace qs::bench
