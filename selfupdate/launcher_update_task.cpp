#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "selfupdate/launcher_update.h"

namespace {

// Each status of a launcher update is one of its decisions: the log keeps them all.
void SetStatus(std::mutex* statusMutex, std::wstring* statusText, std::wstring text) {
    LogEvent("launcher update: " + LogText(text));
    std::lock_guard lock(*statusMutex);
    *statusText = std::move(text);
}

}  // namespace

void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText, std::atomic<bool>* busy,
                        const WindowCloser* window) {
    LauncherUpdateTask(statusMutex, statusText, busy, window, SelfUpdateTarget{});
}

void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText, std::atomic<bool>* busy,
                        const WindowCloser* window, const SelfUpdateTarget& target) {
    bool installerStarted = false;
    try {
        const LauncherRelease release =
            CheckLauncherRelease(target.service, target.cancel, target.serialRecord);
        if (!release.error.empty()) {
            SetStatus(statusMutex, statusText, L"Update check failed: " + release.error);
        } else if (!release.updateAvailable) {
            SetStatus(statusMutex, statusText,
                      L"Launcher is up to date (" + release.version + L")");
        } else {
            SetStatus(statusMutex, statusText,
                      L"Downloading launcher update " + release.version + L"...");
            const UpdateResult result = InstallLauncherUpdate(release, target);
            SetStatus(statusMutex, statusText, result.message);
            installerStarted = result.ok;
        }
    } catch (...) {
        // Only an allocation failure gets here; the launcher must still leave the busy state.
        installerStarted = false;
    }
    busy->store(false);
    if (installerStarted && window && *window)
        (*window)();
}
