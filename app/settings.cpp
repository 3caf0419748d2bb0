#include "app/settings.h"

#include <fstream>
#include <string>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/folders.h"

namespace {

constexpr std::string_view kCloseKey = "CloseOnLaunch=";
constexpr std::string_view kVerifyKey = "VerifyOnStart=";

void MarkSaved(LauncherSettings& settings) {
    settings.savedCloseOnLaunch = settings.closeOnLaunch;
    settings.savedVerifyOnStart = settings.verifyOnStart;
    settings.unsavedChanges = false;
}

}  // namespace

LauncherSettings& CurrentSettings() {
    static LauncherSettings settings;
    return settings;
}

std::filesystem::path SettingsFilePath() {
    auto folder = LocalDataFolder();
    if (!folder)
        return {};
    return *folder / "QuillonSagaLauncher" / "settings.ini";
}

void LoadSettings() {
    LoadSettings(CurrentSettings(), SettingsFilePath());
}

void SaveSettings() {
    SaveSettings(CurrentSettings(), SettingsFilePath());
}

void LoadSettings(LauncherSettings& settings, const std::filesystem::path& file) {
    if (file.empty())
        return;
    std::error_code error;
    if (!std::filesystem::exists(file, error))
        return;  // missing, or unreadable status: defaults stay
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return;
    std::string line;
    while (std::getline(in, line)) {
        // Files written on Windows end their lines with CR LF; they read the same as LF.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.starts_with(kCloseKey)) {
            settings.closeOnLaunch = line.substr(kCloseKey.size()) == "1";
        } else if (line.starts_with(kVerifyKey)) {
            settings.verifyOnStart = line.substr(kVerifyKey.size()) == "1";
        }
    }
    MarkSaved(settings);
}

void SaveSettings(LauncherSettings& settings, const std::filesystem::path& file) {
    if (file.empty())
        return;
    std::error_code error;
    std::filesystem::path folder = file.parent_path();
    if (!std::filesystem::exists(folder, error)) {
        if (error)
            return;
        std::filesystem::create_directories(folder, error);
        if (error)
            return;  // the change stays unsaved; SAVE stays active
    }
    const std::string content = SettingsFileText(settings);
    // Through a temporary file, so a crash mid-save never leaves a truncated settings file.
    if (WriteFileDurably(file, content.data(), content.size()) != 0)
        return;
    MarkSaved(settings);
}

std::string SettingsFileText(const LauncherSettings& settings, HostSystem system) {
    const std::string_view end = TextLineEnd(system);
    std::string text;
    text.append(kCloseKey).append(settings.closeOnLaunch ? "1" : "0").append(end);
    text.append(kVerifyKey).append(settings.verifyOnStart ? "1" : "0").append(end);
    return text;
}

void RecomputeUnsavedChanges(LauncherSettings& settings) {
    settings.unsavedChanges = settings.closeOnLaunch != settings.savedCloseOnLaunch ||
                              settings.verifyOnStart != settings.savedVerifyOnStart;
}
