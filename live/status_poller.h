#pragma once
// The server status poller: one thread that asks "/status.php" every 30 seconds and publishes
// the whole record under a lock.
#include <atomic>
#include <mutex>
#include <string_view>
#include <thread>

#include "live/live.h"
#include "live/live_timing.h"
#include "net/service.h"

namespace qs {

// The record a status body describes; anything unreadable leaves the defaults (offline).
ServerStatus ParseServerStatus(std::string_view body);

class StatusPoller {
public:
    // `fetch` empty: the status/news HTTPS profile against `service`.
    explicit StatusPoller(const ServiceEndpoint& service = BuiltInService(),
                          LiveTiming timing = StatusPollTiming(), LiveFetch fetch = {});
    ~StatusPoller();
    StatusPoller(const StatusPoller&) = delete;
    StatusPoller& operator=(const StatusPoller&) = delete;

    void start();
    // Returns once the worker has ended; a poll under way is given up within about a second.
    void stop();
    ServerStatus snapshot();

    // One poll; publishes the result (the default record on any failure).
    void pollOnce();
    void run();

private:
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};  // cancels the request under way
    std::thread worker_;
    std::mutex mutex_;  // guards status_ only
    ServerStatus status_;

    ServiceEndpoint service_;
    LiveTiming timing_;
    LiveFetch fetch_;
    WakeableSleep sleep_;
};

// The shell registers its one poller here after creating it and clears it before destroying it.
void SetCurrentStatusPoller(StatusPoller* poller);

}  // namespace qs
