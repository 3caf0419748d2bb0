#pragma once
// An antivirus scanner or the search indexer often opens a new file for a moment just after it is
// written, so a rename over it or a reopening of it can fail for a few hundred milliseconds. Such
// a call is tried again for a while before the file is reported as in use.
#include <chrono>
#include <functional>

namespace qs {

struct HeldFileRetry {
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds patience{2000};  // from the first failure to the last try
    std::chrono::milliseconds pause{50};
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    std::function<void(std::chrono::milliseconds)> sleep;  // empty: the thread sleeps
};

// Whether a call that failed with `error` is worth another try `elapsed` after its first failure:
// only while another program holds the file (`heldError`) and patience lasts.
inline bool TryHeldFileAgain(bool heldError, std::chrono::milliseconds elapsed,
                             std::chrono::milliseconds patience) {
    return heldError && elapsed < patience;
}

// Runs `attempt` (0 on success, else a platform error code) until it succeeds, fails with an
// error for which `isHeld` is false, or patience runs out; returns its last result.
int RetryWhileHeld(const std::function<int()>& attempt, const std::function<bool(int)>& isHeld,
                   const HeldFileRetry& retry = {});

}  // namespace qs
