#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "selfupdate/launcher_update.h"

namespace qs {

namespace {

// Each status of a launcher update is one of its decisions: the log keeps them all.
void SetStatus(std::mutex* statusMutex, std::wstring* statusText, std::wstring text) {
    LogEvent("launcher update: " + LogText(text));
    std::lock_guard lock(*statusMutex);
    *statusText = std::move(text);
}

// The final text and how the task ended, together under the lock.
void SetFinal(std::mutex* statusMutex, std::wstring* statusText, RunOutcome* outcome,
              std::wstring text, RunOutcome ended) {
    std::lock_guard lock(*statusMutex);
    *statusText = std::move(text);
    if (outcome)
        *outcome = ended;
}

}  // namespace

void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText, RunOutcome* outcome,
                        std::atomic<bool>* busy, const WindowCloser* window) {
    LauncherUpdateTask(statusMutex, statusText, outcome, busy, window, SelfUpdateTarget{});
}

void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText, RunOutcome* outcome,
                        std::atomic<bool>* busy, const WindowCloser* window,
                        const SelfUpdateTarget& target) {
    bool installerStarted = false;
    try {
        const LauncherRelease release =
            CheckLauncherRelease(target.service, target.cancel, target.serialRecord);
        if (!release.error.empty()) {
            SetFinal(statusMutex, statusText, outcome, L"Update check failed: " + release.error,
                     RunOutcome::Failed);
        } else if (!release.updateAvailable) {
            SetFinal(statusMutex, statusText, outcome,
                     L"Launcher is up to date (" + release.version + L")", RunOutcome::UpToDate);
        } else {
            SetStatus(statusMutex, statusText,
                      L"Downloading launcher update " + release.version + L"...");
            const UpdateResult result = InstallLauncherUpdate(release, target);
            SetFinal(statusMutex, statusText, outcome, result.message, result.outcome);
            installerStarted = result.outcome == RunOutcome::InstallerStarted;
        }
    } catch (...) {
        // Only an allocation failure gets here; the launcher must still leave the busy state.
        installerStarted = false;
    }
    busy->store(false);
    if (installerStarted && window && *window)
        (*window)();
}

}  // namespace qs
