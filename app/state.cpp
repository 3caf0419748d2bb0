#include "app/state.h"

#include <exception>
#include <memory>
#include <system_error>

#include "app/client.h"
#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "selfupdate/launcher_update.h"

namespace qs {

namespace {

// The worker's heap records: the addresses it may touch, in the order the tasks take them.
struct ClientUpdateCapture {
    std::mutex* statusMutex;
    std::int32_t* progressIndex;
    std::int32_t* progressCount;
    std::wstring* statusText;
    std::atomic<bool>* busy;
    WorkerHooks hooks;
    ClientUpdateLinks links;
};

struct LauncherUpdateCapture {
    std::mutex* statusMutex;
    std::wstring* statusText;
    RunOutcome* ended;
    std::atomic<bool>* busy;
    const WindowCloser* window;
    WorkerHooks hooks;
    const std::atomic<bool>* cancel;
    const std::atomic<std::uint64_t>* speedLimit;
};

void SetStatus(LauncherState& state, std::wstring text) {
    std::lock_guard<std::mutex> lock(state.statusMutex);
    state.statusText = std::move(text);
}

std::filesystem::path ResolveClientDirectory(const WorkerHooks& hooks) {
    return hooks.clientDirectory ? hooks.clientDirectory() : ClientDirectory();
}

// Steps 3 to 6 of starting a worker, after `busy` has been won. When no thread can be created
// the launcher must not stay busy forever: say so and give `busy` back.
template <typename Capture, typename Body>
void LaunchWorker(LauncherState& state, const wchar_t* startText, std::unique_ptr<Capture> capture,
                  Body body) {
    JoinWorker(state);
    {
        std::lock_guard<std::mutex> lock(state.statusMutex);
        state.statusText = startText;
        state.ended = RunOutcome::Failed;  // until the task says how it ended
    }
    try {
        state.worker = std::thread([record = std::move(capture), body]() mutable {
            body(*record);
            record.reset();
        });
    } catch (const std::system_error&) {
        SetStatus(state, L"Could not start a background task.");
        state.busy.exchange(false);
    }
}

}  // namespace

void ProgressSink::operator()(const qs::UpdateProgress& progress) const {
    std::lock_guard<std::mutex> lock(*statusMutex_);
    *progressIndex_ = progress.fileIndex;
    *progressCount_ = progress.fileCount;
    if (bytes_)
        *bytes_ = {progress.amountDone, progress.amountTotal, progress.amountFetched,
                   progress.fraction, progress.amountReused};
    if (&progress.message != statusText_)
        *statusText_ = progress.message;
}

void ClientUpdateTask(std::mutex* statusMutex, std::int32_t* progressIndex,
                      std::int32_t* progressCount, std::wstring* statusText,
                      std::atomic<bool>* busy, const WorkerHooks& hooks,
                      const ClientUpdateLinks& links) {
    std::wstring finalText;
    bool asBefore = false;
    RunOutcome ended = RunOutcome::Failed;
    try {
        const ProgressSink sink(statusMutex, progressIndex, progressCount, statusText, links.bytes);
        const UpdateProgressCallback callback = [&sink](const qs::UpdateProgress& progress) {
            sink(progress);
        };
        // A folder that cannot be resolved ends the task like a failed run would.
        const std::filesystem::path folder = ResolveClientDirectory(hooks);
        UpdateEnvironment environment;
        environment.cancel = links.cancel;
        environment.speedLimit = links.speedLimit;
        environment.verifiedRecord = VerifiedRecordPath();
        if (!environment.verifiedRecord.empty()) {
            environment.serialRecord =
                environment.verifiedRecord.parent_path() / "update-serial.txt";
            environment.wholeMark = environment.verifiedRecord.parent_path() / "client-whole.txt";
        }
        environment.hashEverything = links.repair;
        UpdateResult result = hooks.runClientUpdate
                                  ? hooks.runClientUpdate(folder, callback)
                                  : RunClientUpdate(folder, callback, environment);
        finalText = std::move(result.message);
        asBefore = RunLeftClientAsBefore(result);
        ended = result.outcome;
    } catch (const std::exception& failure) {
        LogEvent(std::string("update run failed before it began: ") + failure.what());
        finalText = FailureMessage(failure.what());
    } catch (...) {
        finalText = L"Update failed";
    }
    {
        std::lock_guard<std::mutex> lock(*statusMutex);
        *statusText = std::move(finalText);
        *progressIndex = 0;
        *progressCount = 0;
        if (links.bytes)
            *links.bytes = {};
        if (links.clientAsBefore)
            *links.clientAsBefore = asBefore;
        if (links.ended)
            *links.ended = ended;
    }
    busy->exchange(false);
}

std::filesystem::path VerifiedRecordPath() {
    const std::filesystem::path folder = LauncherDataFolder();
    return folder.empty() ? folder : folder / "verified-files.txt";
}

bool RunLeftClientAsBefore(const UpdateResult& result) {
    return !result.ok && !result.placedFiles && result.provenBefore;
}

bool StartClientUpdate(LauncherState& state, bool repair) {
    if (state.busy.exchange(true))
        return false;
    state.cancelRequested.store(false);
    state.runningTask = TaskKind::ClientUpdate;
    state.outcome = {};
    auto capture = std::make_unique<ClientUpdateCapture>(ClientUpdateCapture{
        &state.statusMutex, &state.progressIndex, &state.progressCount, &state.statusText,
        &state.busy, state.hooks,
        ClientUpdateLinks{&state.bytes, &state.cancelRequested, &state.speedLimit, repair,
                          &state.clientAsBefore, &state.ended}});
    LaunchWorker(
        state, L"Checking for updates...", std::move(capture), [](ClientUpdateCapture& record) {
            ClientUpdateTask(record.statusMutex, record.progressIndex, record.progressCount,
                             record.statusText, record.busy, record.hooks, record.links);
        });
    return true;
}

bool StartLauncherUpdate(LauncherState& state) {
    if (state.busy.exchange(true))
        return false;
    state.cancelRequested.store(false);
    state.runningTask = TaskKind::LauncherUpdate;
    state.outcome = {};
    auto capture = std::make_unique<LauncherUpdateCapture>(LauncherUpdateCapture{
        &state.statusMutex, &state.statusText, &state.ended, &state.busy, &state.window,
        state.hooks, &state.cancelRequested, &state.speedLimit});
    LaunchWorker(state, L"Checking for launcher updates...", std::move(capture),
                 [](LauncherUpdateCapture& record) {
                     if (record.hooks.launcherUpdate)
                         record.hooks.launcherUpdate(record.statusMutex, record.statusText,
                                                     record.ended, record.busy, record.window);
                     else {
                         SelfUpdateTarget target;
                         target.cancel = record.cancel;
                         target.speedLimit = record.speedLimit;
                         if (const auto verified = VerifiedRecordPath(); !verified.empty())
                             target.serialRecord = verified.parent_path() / "launcher-serial.txt";
                         LauncherUpdateTask(record.statusMutex, record.statusText, record.ended,
                                            record.busy, record.window, target);
                     }
                 });
    return true;
}

void PlayClient(LauncherState& state, bool closeOnLaunch) {
    std::wstring outcome;
    bool started = false;
    try {
        const std::filesystem::path folder = ResolveClientDirectory(state.hooks);
        const std::filesystem::path executable = folder / WideToUtf8(ClientExecutableName);
        std::wstring error;
        started = state.hooks.launchClient ? state.hooks.launchClient(executable, folder, error)
                                           : LaunchClient(executable, folder, error);
        outcome = started ? L"Client started." : error;
    } catch (const std::exception& failure) {
        outcome = FailureMessage(failure.what());
    }
    LogEvent((started ? "play: " : "play failed: ") + LogText(outcome));
    state.outcome = {TaskKind::Play, started ? OutcomeTone::Success : OutcomeTone::Warning};
    std::lock_guard<std::mutex> lock(state.statusMutex);
    state.statusText = std::move(outcome);
    if (started && closeOnLaunch && state.window)
        state.window();
}

ActionOutcome OutcomeOf(TaskKind kind, RunOutcome ended) {
    switch (kind) {
        case TaskKind::ClientUpdate:
            if (ended == RunOutcome::Ready)
                return {kind, OutcomeTone::Success};
            if (ended == RunOutcome::Cancelled)
                return {kind, OutcomeTone::Neutral};
            return {kind, OutcomeTone::Warning};
        case TaskKind::LauncherUpdate:
            if (ended == RunOutcome::UpToDate || ended == RunOutcome::InstallerStarted)
                return {kind, OutcomeTone::Success};
            return {kind, OutcomeTone::Warning};
        default:
            return {kind, OutcomeTone::Neutral};
    }
}

void BeginFrameRequests(LauncherState& state) {
    state.requestUpdateCheck = false;
    state.requestPlay = false;
    state.requestLauncherUpdate = false;
    state.requestCancel = false;
    state.requestRepair = false;
    state.statusSnapshot.clear();
    std::lock_guard<std::mutex> lock(state.statusMutex);
    state.statusSnapshot = state.statusText;
    state.indexSnapshot = state.progressIndex;
    state.countSnapshot = state.progressCount;
    state.bytesSnapshot = state.bytes;
    // `busy` is cleared after the final text is written, so a task seen ended here has said
    // its last word.
    if (state.runningTask != TaskKind::None && !state.busy.load()) {
        state.outcome = OutcomeOf(state.runningTask, state.ended);
        state.outcome.clientAsBefore =
            state.runningTask == TaskKind::ClientUpdate && state.clientAsBefore;
        state.runningTask = TaskKind::None;
    }
}

void ActOnFrameRequests(LauncherState& state, bool verifyOnStart, bool closeOnLaunch) {
    if (state.requestCancel)
        CancelWork(state);
    // The automatic first check is spent on the first frame whether or not the settings ask
    // for it.
    const bool automaticCheck = state.autoCheckPending && verifyOnStart;
    if (state.requestUpdateCheck || state.requestRepair || state.autoCheckPending) {
        state.autoCheckPending = false;
        if (state.requestUpdateCheck || state.requestRepair || automaticCheck)
            StartClientUpdate(state, state.requestRepair);
    }
    if (state.requestPlay && !state.busy.load())
        PlayClient(state, closeOnLaunch);
    if (state.requestLauncherUpdate && !state.busy.load())
        StartLauncherUpdate(state);
}

void CancelWork(LauncherState& state) {
    state.cancelRequested.store(true);
}

void JoinWorker(LauncherState& state) {
    if (state.worker.joinable() && state.worker.get_id() != std::this_thread::get_id())
        state.worker.join();
}

}  // namespace qs
