#include "live/live_timing.h"

#include "net/https.h"

namespace qs {

LiveTiming StatusPollTiming() {
    return {std::chrono::milliseconds(500), std::chrono::milliseconds(1000), 30};
}

LiveTiming NewsFetchTiming() {
    return {std::chrono::milliseconds(1000), std::chrono::milliseconds(1000), 300};
}

LiveFetch HttpsLiveFetch(const ServiceEndpoint& service, const std::atomic<bool>* cancel) {
    return [service, cancel](const std::wstring& url, std::size_t maxBytes) {
        return LiveHttpsGet(url, maxBytes, service, cancel);
    };
}

void WakeableSleep::sleepFor(std::chrono::milliseconds duration, const std::atomic<bool>& running) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    std::unique_lock lock(mutex_);
    wakeUp_.wait_until(lock, deadline, [&] { return !running.load(); });
}

void WakeableSleep::wake() {
    // Taking the lock orders the wake after a sleeper's predicate check, so none is lost.
    { std::lock_guard lock(mutex_); }
    wakeUp_.notify_all();
}

void RunLiveLoop(const LiveTiming& timing, const std::atomic<bool>& running, WakeableSleep& sleep,
                 const std::function<void()>& work) {
    sleep.sleepFor(timing.firstDelay, running);
    work();
    while (running.load()) {
        for (int tick = 0; tick < timing.ticksBetweenRuns; ++tick) {
            if (!running.load())
                break;
            sleep.sleepFor(timing.tick, running);
        }
        if (running.load())
            work();
    }
}

void StartLiveWorker(const LiveWorker& worker, const std::function<void()>& body) {
    if (worker.running.exchange(true))
        return;
    worker.stopping.store(false);
    try {
        worker.thread = std::thread(body);
    } catch (...) {
        worker.running.store(false);
        throw;
    }
}

void StopLiveWorker(const LiveWorker& worker) {
    worker.stopping.store(true);
    if (worker.running.exchange(false))
        worker.sleep.wake();
    if (worker.thread.joinable())
        worker.thread.join();
}

}  // namespace qs
