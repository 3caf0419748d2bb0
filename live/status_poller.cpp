#include "live/status_poller.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "net/https.h"
#include "net/json_reply.h"

namespace qs {

namespace {

// Integers keep their low 32 bits; floating values truncate toward zero and saturate (a plain
// cast of an out-of-range double is undefined).
std::int32_t NumberAsInt32(const nlohmann::json& value) {
    if (value.is_number_unsigned())
        return static_cast<std::int32_t>(value.get<std::uint64_t>());
    if (value.is_number_integer())
        return static_cast<std::int32_t>(value.get<std::int64_t>());
    const double number = std::trunc(value.get<double>());
    if (std::isnan(number))
        return 0;
    if (number <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    if (number >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(number);
}

std::mutex currentPollerMutex;
StatusPoller* currentPoller = nullptr;

}  // namespace

ServerStatus ParseServerStatus(std::string_view body) {
    ServerStatus status;
    nlohmann::json root = ParseJsonReplyOrDiscarded(body);
    if (!root.is_object())
        return status;  // a parse failure is "discarded", not an object
    auto field = [&](const char* key) -> const nlohmann::json* {
        auto found = root.find(key);
        return found == root.end() ? nullptr : &*found;
    };
    if (auto* v = field("online"); v && v->is_boolean())
        status.online = v->get<bool>();
    if (auto* v = field("players"); v && v->is_number())
        status.players = NumberAsInt32(*v);
    if (auto* v = field("maxPlayers"); v && v->is_number())
        status.maxPlayers = NumberAsInt32(*v);
    if (auto* v = field("maintenance"); v && v->is_boolean())
        status.maintenance = v->get<bool>();
    if (auto* v = field("motd"); v && v->is_string())
        status.motd = v->get<std::string>();
    if (auto* v = field("serverName"); v && v->is_string())
        status.serverName = v->get<std::string>();
    return status;
}

StatusPoller::StatusPoller(const ServiceEndpoint& service, LiveTiming timing, LiveFetch fetch)
    : service_(service),
      timing_(timing),
      fetch_(fetch ? std::move(fetch) : HttpsLiveFetch(service, &stopping_)) {}

StatusPoller::~StatusPoller() {
    stop();
}

void StatusPoller::start() {
    StartLiveWorker({worker_, running_, stopping_, sleep_}, [this] { run(); });
}

void StatusPoller::stop() {
    StopLiveWorker({worker_, running_, stopping_, sleep_});
}

ServerStatus StatusPoller::snapshot() {
    std::lock_guard lock(mutex_);
    return status_;
}

void StatusPoller::pollOnce() {
    ServerStatus status;
    try {
        if (auto body = fetch_(ServiceUrl(service_, "/status.php"), kStatusMaxBytes))
            status = ParseServerStatus(*body);
    } catch (...) {
        status =
            ServerStatus{};  // a failed poll is reported as offline, never thrown out of the thread
    }
    std::lock_guard lock(mutex_);
    status_ = std::move(status);
}

void StatusPoller::run() {
    RunLiveLoop(timing_, running_, sleep_, [this] { pollOnce(); });
}

void SetCurrentStatusPoller(StatusPoller* poller) {
    std::lock_guard lock(currentPollerMutex);
    currentPoller = poller;
}

ServerStatus CurrentServerStatus() {
    std::lock_guard lock(currentPollerMutex);
    return currentPoller ? currentPoller->snapshot() : ServerStatus{};
}

}  // namespace qs
