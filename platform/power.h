#pragma once
// Keeping the system awake while the launcher transfers files.

namespace qs {

// Held by the main loop while a transfer runs, so the machine does not go to sleep in the middle
// of a long download. Windows: the calling thread's execution state (SetThreadExecutionState with
// ES_CONTINUOUS | ES_SYSTEM_REQUIRED; the display may still turn off), released when the transfer
// ends or the holder goes. Linux: nothing is asked of the system (no logind inhibitor is taken);
// a suspend pauses a transfer, which then resumes or retries.
class SleepBlocker {
public:
    SleepBlocker() = default;
    ~SleepBlocker();
    SleepBlocker(const SleepBlocker&) = delete;
    SleepBlocker& operator=(const SleepBlocker&) = delete;
    // Called as often as the caller likes, on one thread; the system is asked only on a change.
    void hold(bool transferRunning);

private:
    bool holding_ = false;
};

}  // namespace qs
