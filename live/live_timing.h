#pragma once
// What the two background clients share: their timing, how they fetch, and a sleep that a stop
// request cuts short.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "net/service.h"

namespace qs {

// The worker waits `firstDelay`, works once, then repeats: up to `ticksBetweenRuns` waits of
// `tick` (leaving early once stopped), then works again while still running.
struct LiveTiming {
    std::chrono::milliseconds firstDelay{0};
    std::chrono::milliseconds tick{1000};
    int ticksBetweenRuns = 0;
};
LiveTiming StatusPollTiming();  // 500 ms, then 30 x 1 s
LiveTiming NewsFetchTiming();   // 1 s, then 300 x 1 s

// One GET returning the body, or nullopt on any transport failure or a body over maxBytes.
using LiveFetch =
    std::function<std::optional<std::string>(const std::wstring& url, std::size_t maxBytes)>;
// The status/news request profile against `service`; a request under way is given up once
// `*cancel` reads true.
LiveFetch HttpsLiveFetch(const ServiceEndpoint& service, const std::atomic<bool>* cancel = nullptr);

// A monotonic-clock sleep that `wake` ends early.
class WakeableSleep {
public:
    // Sleeps until now + `duration` or until `running` reads false after a wake.
    void sleepFor(std::chrono::milliseconds duration, const std::atomic<bool>& running);
    void wake();

private:
    std::mutex mutex_;
    std::condition_variable wakeUp_;
};

// Runs the worker loop above: `work` once after the first delay (whatever `running` says),
// then on every period while `running` stays true.
void RunLiveLoop(const LiveTiming& timing, const std::atomic<bool>& running, WakeableSleep& sleep,
                 const std::function<void()>& work);

// A live client's worker thread, started at most once while running: a start that cannot make the
// thread leaves the client stopped. The stop cancels the request under way, cuts the sleep short
// and returns once the thread has ended.
struct LiveWorker {
    std::thread& thread;
    std::atomic<bool>& running;
    std::atomic<bool>& stopping;
    WakeableSleep& sleep;
};
void StartLiveWorker(const LiveWorker& worker, const std::function<void()>& body);
void StopLiveWorker(const LiveWorker& worker);

}  // namespace qs
