#pragma once
// The main loop's state block, shared by pointer with the one worker it starts.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "selfupdate/launcher_update.h"
#include "update/update_run.h"

// What the main loop and its workers call outside this state block. Every empty member falls
// back to the real function; tests replace them.
struct WorkerHooks {
    std::function<std::filesystem::path()> clientDirectory;  // ClientDirectory
    std::function<UpdateResult(const std::filesystem::path&, const UpdateProgressCallback&)>
        runClientUpdate;  // RunClientUpdate
    std::function<bool(const std::filesystem::path&, const std::filesystem::path&, std::wstring&)>
        launchClient;  // LaunchClient
    std::function<void(std::mutex*, std::wstring*, std::atomic<bool>*, const WindowCloser*)>
        launcherUpdate;  // LauncherUpdateTask
};

struct LauncherState {
    std::mutex statusMutex;
    std::wstring statusText = L"Press Play to start the installed client.";
    std::int32_t progressIndex = 0;
    std::int32_t progressCount = 0;
    std::atomic<bool> busy{false};
    // Read by the running task's transfers; set to give the task up (closing the window).
    std::atomic<bool> cancelRequested{false};
    std::thread worker;
    WindowCloser window;
    bool autoCheckPending = true;
    WorkerHooks hooks;

    // Per-frame, main thread only: cleared at the start of every frame.
    bool requestUpdateCheck = false;
    bool requestPlay = false;
    bool requestLauncherUpdate = false;
    std::wstring statusSnapshot;
    std::int32_t indexSnapshot = 0;
    std::int32_t countSnapshot = 0;
};

// Frame steps 2 and 3: clear the requests, copy the status line and progress under the lock.
void BeginFrameRequests(LauncherState& state);

// Frame step 8: client update, Play, launcher update, in that order. `verifyOnStart` gates the
// automatic first check; `closeOnLaunch` applies after a successful Play.
void ActOnFrameRequests(LauncherState& state, bool verifyOnStart, bool closeOnLaunch);

// Asks a running task to give up: its transfer ends within about a second, every client file
// stays old or new, and the task then ends as usual. Thread-safe.
void CancelWork(LauncherState& state);

// Shutdown step 1: waits for a running task to finish.
void JoinWorker(LauncherState& state);

// Copies one progress report into the status fields under the lock; no formatting.
class ProgressSink {
public:
    ProgressSink(std::mutex* statusMutex, std::int32_t* progressIndex, std::int32_t* progressCount,
                 std::wstring* statusText)
        : statusMutex_(statusMutex),
          progressIndex_(progressIndex),
          progressCount_(progressCount),
          statusText_(statusText) {}
    void operator()(const qs::UpdateProgress& progress) const;

private:
    std::mutex* statusMutex_;
    std::int32_t* progressIndex_;
    std::int32_t* progressCount_;
    std::wstring* statusText_;
};

// Worker body of a client update run: resolves the client folder, runs the update, publishes
// the result with zeroed progress, then clears `busy` as its last act.
void ClientUpdateTask(std::mutex* statusMutex, std::int32_t* progressIndex,
                      std::int32_t* progressCount, std::wstring* statusText,
                      std::atomic<bool>* busy, const WorkerHooks& hooks = {},
                      const std::atomic<bool>* cancel = nullptr);

// Starting a worker (main thread only). Each wins `busy` itself; false when a task already
// runs and the request was dropped.
bool StartClientUpdate(LauncherState& state);
bool StartLauncherUpdate(LauncherState& state);

// The Play action: starts the client and publishes the outcome; main thread only.
void PlayClient(LauncherState& state, bool closeOnLaunch);
