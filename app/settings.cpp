#include "app/settings.h"

#include <fstream>
#include <string>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/folders.h"

namespace qs {

namespace {

constexpr std::string_view kCloseKey = "CloseOnLaunch=";
constexpr std::string_view kVerifyKey = "VerifyOnStart=";
constexpr std::string_view kLimitKey = "DownloadLimitMBps=";

void MarkSaved(LauncherSettings& settings) {
    settings.savedCloseOnLaunch = settings.closeOnLaunch;
    settings.savedVerifyOnStart = settings.verifyOnStart;
    settings.savedDownloadLimitMBps = settings.downloadLimitMBps;
    settings.unsavedChanges = false;
}

// A whole number of MB/s up to a sane bound; anything else leaves the limit off.
std::uint32_t ParseLimit(std::string_view text) {
    if (text.empty() || text.size() > 6)
        return 0;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value <= 100000 ? value : 0;
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
        } else if (line.starts_with(kLimitKey)) {
            settings.downloadLimitMBps =
                ParseLimit(std::string_view(line).substr(kLimitKey.size()));
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
    text.append(kLimitKey).append(std::to_string(settings.downloadLimitMBps)).append(end);
    return text;
}

std::uint32_t StepDownloadLimit(std::uint32_t current, int direction) {
    constexpr std::size_t kCount = std::size(kDownloadLimitSteps);
    if (direction > 0) {
        for (std::uint32_t step : kDownloadLimitSteps)
            if (step > current)
                return step;
        return kDownloadLimitSteps[kCount - 1];
    }
    for (std::size_t i = kCount; i-- > 0;)
        if (kDownloadLimitSteps[i] < current)
            return kDownloadLimitSteps[i];
    return 0;
}

std::uint64_t DownloadLimitBytesPerSecond(std::uint32_t megabytesPerSecond) {
    return static_cast<std::uint64_t>(megabytesPerSecond) << 20;
}

void RecomputeUnsavedChanges(LauncherSettings& settings) {
    settings.unsavedChanges = settings.closeOnLaunch != settings.savedCloseOnLaunch ||
                              settings.verifyOnStart != settings.savedVerifyOnStart ||
                              settings.downloadLimitMBps != settings.savedDownloadLimitMBps;
}

}  // namespace qs
