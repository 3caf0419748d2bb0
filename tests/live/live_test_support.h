#pragma once
// A stand-in for the network, for tests of the live clients.
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "live/live_timing.h"

using namespace qs;

// Answers every fetch with the body set last (nullopt: a transport failure, or a throw when
// `throwing`) and records the URLs.
class ScriptedFetch {
public:
    void answer(std::optional<std::string> body, bool throwing = false) {
        std::lock_guard lock(mutex_);
        body_ = std::move(body);
        throwing_ = throwing;
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    LiveFetch fetch() {
        return [this](const std::wstring&, std::size_t) {
            std::lock_guard lock(mutex_);
            ++calls_;
            if (throwing_)
                throw std::runtime_error("boom");
            return body_;
        };
    }

private:
    std::mutex mutex_;
    std::optional<std::string> body_;
    bool throwing_ = false;
    int calls_ = 0;
};

inline ServiceEndpoint FakeService() {
    return ServiceEndpoint{"news.test", 8443, ""};
}
