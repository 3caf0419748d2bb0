#include "app/client_data.h"

#include <system_error>
#include <utility>

namespace qs {

bool ClearFolderContents(const std::filesystem::path& folder) {
    std::error_code error;
    auto status = std::filesystem::symlink_status(folder, error);
    if (error || !std::filesystem::exists(status))
        return false;
    std::filesystem::remove_all(folder, error);
    if (error)
        return false;
    std::filesystem::create_directories(folder, error);
    if (error)
        return false;
    return std::filesystem::is_empty(folder, error) && !error;
}

bool StartClearClientData(LauncherState& state, std::filesystem::path folder) {
    if (state.busy.exchange(true))
        return false;
    // The previous task has cleared busy already, so this join only meets its exit path.
    if (state.worker.joinable())
        state.worker.join();
    try {
        state.worker = std::thread([&busy = state.busy, target = std::move(folder)] {
            try {
                ClearFolderContents(target);
            } catch (...) {
                // Allocation failures inside the file-system library; the folder stays as it is.
            }
            busy.exchange(false);
        });
    } catch (const std::system_error&) {
        state.busy.exchange(false);
        return false;
    }
    return true;
}

}  // namespace qs
