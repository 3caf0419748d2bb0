// Weak stand-in for the launcher self-update task so this folder links on its own; the real
// task wins wherever it is linked. The tests hand their own task through WorkerHooks.
#include "selfupdate/launcher_update.h"

__attribute__((weak)) void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText,
                                              std::atomic<bool>* busy, const WindowCloser*) {
    {
        std::lock_guard<std::mutex> lock(*statusMutex);
        *statusText = L"Launcher update unavailable.";
    }
    busy->exchange(false);
}
