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

namespace qs {

// What the main loop and its workers call outside this state block. Every empty member falls
// back to the real function; tests replace them.
struct WorkerHooks {
    std::function<std::filesystem::path()> clientDirectory;  // ClientDirectory
    std::function<UpdateResult(const std::filesystem::path&, const UpdateProgressCallback&)>
        runClientUpdate;  // RunClientUpdate
    std::function<bool(const std::filesystem::path&, const std::filesystem::path&, std::wstring&)>
        launchClient;  // LaunchClient
    std::function<void(std::mutex*, std::wstring*, RunOutcome*, std::atomic<bool>*,
                       const WindowCloser*)>
        launcherUpdate;  // LauncherUpdateTask
};

// The byte side of a run's progress, copied with the counters under the status lock.
struct ByteProgress {
    std::uint64_t done = 0;
    std::uint64_t total = 0;  // 0: not known
    std::uint64_t fetched = 0;
    double fraction = 0.0;
    std::uint64_t reused = 0;  // of done, taken from old copies: not to be fetched
};

// Which action the status line last spoke for, and how it ended; the interface shows the
// outcome until the next action begins.
enum class TaskKind { None, ClientUpdate, LauncherUpdate, Play };
enum class OutcomeTone { Neutral, Success, Warning };
struct ActionOutcome {
    TaskKind kind = TaskKind::None;
    OutcomeTone tone = OutcomeTone::Neutral;
    // A client run that did not end ready left a client that was whole before it as it was.
    bool clientAsBefore = false;
    bool operator==(const ActionOutcome&) const = default;
};

// How a finished task shows: a client run that did not end ready and a launcher update that
// neither found itself current nor started the installer are warnings; a cancelled client run is
// neither good nor bad news.
ActionOutcome OutcomeOf(TaskKind kind, RunOutcome ended);

struct LauncherState {
    std::mutex statusMutex;
    std::wstring statusText = L"Press Play to start the installed client.";
    std::int32_t progressIndex = 0;
    std::int32_t progressCount = 0;
    ByteProgress bytes;           // guarded by statusMutex
    bool clientAsBefore = false;  // guarded by statusMutex: of the last client run that ended
    RunOutcome ended = RunOutcome::Failed;  // guarded by statusMutex: of the last task that ended
    std::atomic<bool> busy{false};
    // Read by the running task's transfers; set to give the task up (the player's cancel,
    // closing the window).
    std::atomic<bool> cancelRequested{false};
    // Bytes per second for downloads (Settings), read by a running transfer; 0: no limit.
    std::atomic<std::uint64_t> speedLimit{0};
    // Main thread: the task that runs now, and the outcome of the last one that ended.
    TaskKind runningTask = TaskKind::None;
    ActionOutcome outcome;
    std::thread worker;
    WindowCloser window;
    bool autoCheckPending = true;
    WorkerHooks hooks;

    // Per-frame, main thread only: cleared at the start of every frame.
    bool requestUpdateCheck = false;
    bool requestPlay = false;
    bool requestLauncherUpdate = false;
    bool requestCancel = false;
    bool requestRepair = false;  // a client run that reads every file, whatever was proven before
    std::wstring statusSnapshot;
    std::int32_t indexSnapshot = 0;
    std::int32_t countSnapshot = 0;
    ByteProgress bytesSnapshot;
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
                 std::wstring* statusText, ByteProgress* bytes = nullptr)
        : statusMutex_(statusMutex),
          progressIndex_(progressIndex),
          progressCount_(progressCount),
          statusText_(statusText),
          bytes_(bytes) {}
    void operator()(const qs::UpdateProgress& progress) const;

private:
    std::mutex* statusMutex_;
    std::int32_t* progressIndex_;
    std::int32_t* progressCount_;
    std::wstring* statusText_;
    ByteProgress* bytes_;
};

// What a client update task shares with the main loop beyond the status fields.
struct ClientUpdateLinks {
    ByteProgress* bytes = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    const std::atomic<std::uint64_t>* speedLimit = nullptr;
    bool repair = false;
    // Receive, with the final status line, whether the run left a whole client untouched and
    // how it ended.
    bool* clientAsBefore = nullptr;
    RunOutcome* ended = nullptr;
};

// Where the record of proven client files lives: the launcher's data folder; empty when there is
// none (every check then reads every file).
std::filesystem::path VerifiedRecordPath();

// Whether a run that ended left the client as it was when it was whole before: nothing placed.
bool RunLeftClientAsBefore(const UpdateResult& result);

// Worker body of a client update run: resolves the client folder, runs the update, publishes
// the result with zeroed progress, then clears `busy` as its last act.
void ClientUpdateTask(std::mutex* statusMutex, std::int32_t* progressIndex,
                      std::int32_t* progressCount, std::wstring* statusText,
                      std::atomic<bool>* busy, const WorkerHooks& hooks = {},
                      const ClientUpdateLinks& links = {});

// Starting a worker (main thread only). Each wins `busy` itself; false when a task already
// runs and the request was dropped.
bool StartClientUpdate(LauncherState& state, bool repair = false);
bool StartLauncherUpdate(LauncherState& state);

// The Play action: starts the client and publishes the outcome; main thread only.
void PlayClient(LauncherState& state, bool closeOnLaunch);

}  // namespace qs
