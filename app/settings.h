#pragma once
#include <filesystem>
#include <string>

#include "platform/host_system.h"

// The two user options and the copies last read from or written to "settings.ini".
struct LauncherSettings {
    bool closeOnLaunch = false;
    bool verifyOnStart = true;
    bool savedCloseOnLaunch = false;
    bool savedVerifyOnStart = true;
    bool unsavedChanges = false;
};

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

// The file's two lines, ended as the system's text files are (CR LF on Windows).
std::string SettingsFileText(const LauncherSettings& settings, HostSystem system = kHostSystem);

// What a toggle press recomputes.
void RecomputeUnsavedChanges(LauncherSettings& settings);
