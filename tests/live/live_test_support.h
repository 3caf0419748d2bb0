#pragma once
// Stand-ins for the network and a scratch folder, for tests of the live clients.
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "live/live_timing.h"

// Answers every fetch with the body set last (nullopt: a transport failure) and records the URLs.
class ScriptedFetch {
public:
    void answer(std::optional<std::string> body) {
        std::lock_guard lock(mutex_);
        body_ = std::move(body);
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return static_cast<int>(urls_.size());
    }
    std::vector<std::wstring> urls() {
        std::lock_guard lock(mutex_);
        return urls_;
    }
    LiveFetch fetch() {
        return [this](const std::wstring& url, std::size_t) {
            std::lock_guard lock(mutex_);
            urls_.push_back(url);
            return body_;
        };
    }

private:
    std::mutex mutex_;
    std::optional<std::string> body_;
    std::vector<std::wstring> urls_;
};

class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qs-live-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline ServiceEndpoint FakeService() {
    return ServiceEndpoint{"news.test", 8443, ""};
}
