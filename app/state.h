#pragma once
// The main loop's state block, shared by pointer with the one worker it starts.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Asks the main window to close; thread-safe (the shell pushes an SDL quit event).
using WindowCloser = std::function<void()>;

struct LauncherState {
    std::mutex statusMutex;
    std::wstring statusText = L"Press Play to start the installed client.";
    std::int32_t progressIndex = 0;
    std::int32_t progressCount = 0;
    std::atomic<bool> busy{false};
    std::thread worker;
    WindowCloser window;
    bool autoCheckPending = true;

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

// Shutdown step 1: waits for a running task to finish.
void JoinWorker(LauncherState& state);
