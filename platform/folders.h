#pragma once
// Per-user folders. Linux: XDG base directories; Windows: the shell's known folders.
#include <filesystem>
#include <optional>

namespace qs {

// Roaming application data ($XDG_DATA_HOME, else ~/.local/share; Windows: FOLDERID_RoamingAppData,
// created when missing). nullopt when unresolvable.
std::optional<std::filesystem::path> RoamingDataFolder();
// Local application data ($XDG_CONFIG_HOME, else ~/.config; Windows: CSIDL_LOCAL_APPDATA).
// nullopt when unresolvable.
std::optional<std::filesystem::path> LocalDataFolder();
// The user's private folder for run-time files such as locks ($XDG_RUNTIME_DIR); nullopt where
// there is none (always on Windows, whose named objects serve instead).
std::optional<std::filesystem::path> RuntimeFolder();
// The temporary folder ($TMPDIR, else /tmp; Windows: GetTempPathW). Empty when unresolvable.
std::filesystem::path TemporaryFolder();

}  // namespace qs
