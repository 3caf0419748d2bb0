#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/host_system.h"

namespace qs {

// The user options and the copies last read from or written to "settings.ini".
struct LauncherSettings {
    bool closeOnLaunch = false;
    bool verifyOnStart = true;
    std::uint32_t downloadLimitMBps = 0;  // 0: no limit
    bool savedCloseOnLaunch = false;
    bool savedVerifyOnStart = true;
    std::uint32_t savedDownloadLimitMBps = 0;
    bool unsavedChanges = false;
};

// The speed limits the Settings page steps through, in MB/s; 0 is off.
inline constexpr std::uint32_t kDownloadLimitSteps[] = {0, 1, 2, 5, 10, 20, 50, 100};
// The next or previous step from `current` (a value between steps moves to its neighbour).
std::uint32_t StepDownloadLimit(std::uint32_t current, int direction);
// Bytes per second for a limit in MB/s (binary megabytes, as sizes are shown).
std::uint64_t DownloadLimitBytesPerSecond(std::uint32_t megabytesPerSecond);

// The process-wide record; main thread only.
LauncherSettings& CurrentSettings();

// <config home>/QuillonSagaLauncher/settings.ini; empty when no home folder can be found.
std::filesystem::path SettingsFilePath();

// Operate on the process-wide record and SettingsFilePath().
void LoadSettings();
void SaveSettings();

// The same on an explicit record and file; never throw.
void LoadSettings(LauncherSettings& settings, const std::filesystem::path& file);
void SaveSettings(LauncherSettings& settings, const std::filesystem::path& file);

// The file's lines, the two original ones first and in their form, the speed limit after them
// (readers that know only the first two skip it), ended as the system's text files are (CR LF on
// Windows).
std::string SettingsFileText(const LauncherSettings& settings, HostSystem system = kHostSystem);

// What a toggle press recomputes.
void RecomputeUnsavedChanges(LauncherSettings& settings);

}  // namespace qs
