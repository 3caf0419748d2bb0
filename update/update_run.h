#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace qs {
struct UpdateProgress {
    std::int32_t fileIndex = 0;
    std::int32_t fileCount = 0;
    std::wstring message;
    std::uint64_t amountDone = 0;
    std::uint64_t amountTotal = 0;
    double fraction = 0.0;
};
}  // namespace qs

struct UpdateResult {
    bool ok = false;
    std::wstring message;
};

struct UpdatePlanEntry {
    std::string relativePath;
    std::string checksum;
};

using UpdateProgressCallback = std::function<void(const qs::UpdateProgress&)>;
