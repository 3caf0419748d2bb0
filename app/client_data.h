#pragma once
// Clearing the game client's files, off the interface thread.
#include <filesystem>

#include "app/state.h"

namespace qs {

// Removes `folder` with everything in it and creates it again, empty, with any missing parents.
// Nothing happens when the folder does not exist. File-system errors end the work silently and
// may leave the folder partly cleared. Returns whether the folder ended present and empty.
bool ClearFolderContents(const std::filesystem::path& folder);

// Takes `busy` and runs ClearFolderContents(folder) on `state.worker`, which clears `busy` when
// done; the shell's JoinWorker covers it at shutdown. Refused (false) while a task holds `busy`:
// deleting files under a running download would corrupt both.
bool StartClearClientData(LauncherState& state, std::filesystem::path folder);

}  // namespace qs
