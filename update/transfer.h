#pragma once
// The arithmetic of a transfer a player watches: sizes as a player reads them, the speed limit's
// pacing, the free-space check, and the rules for a resumed download's reply.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qs {

// "0 bytes", "812 KB", "12.4 MB", "3.2 GB": binary multiples with one decimal from MB up, the
// units a file manager shows.
std::string FormatBytes(std::uint64_t bytes);

// Room kept free beyond what a download needs, for the file system's own bookkeeping.
inline constexpr std::uint64_t kDiskSpaceMargin = std::uint64_t{16} << 20;

// "Not enough disk space: 3.2 GB needed, 1.1 GB free." when `needed` plus the margin does not fit
// in `available`, the figure needed being that sum; nullopt when it does.
std::optional<std::string> DiskSpaceShortfall(std::uint64_t needed, std::uint64_t available);

// How long to wait after `bytes` went through in `elapsed` so that the average stays at or under
// `bytesPerSecond` (0: no limit, no wait).
std::chrono::nanoseconds PaceDelay(std::uint64_t bytes, std::chrono::nanoseconds elapsed,
                                   std::uint64_t bytesPerSecond);

// Holds a transfer to a byte rate, measured over windows of about a second. The limit is read
// at every step, so a change applies at once; the wait ends early once `cancel` reads true.
class RatePacer {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    using Sleep = std::function<void(std::chrono::nanoseconds)>;
    RatePacer(const std::atomic<std::uint64_t>* bytesPerSecond, const std::atomic<bool>* cancel,
              Clock clock = {}, Sleep sleep = {});
    // After `bytes` more have gone through: waits as long as the limit asks.
    void account(std::uint64_t bytes);

private:
    const std::atomic<std::uint64_t>* limit_;
    const std::atomic<bool>* cancel_;
    Clock clock_;
    Sleep sleep_;
    std::chrono::steady_clock::time_point windowStart_;
    std::uint64_t windowBytes_ = 0;
    bool started_ = false;
};

// A "Content-Range: bytes first-last/total" value; total is nullopt for "*".
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> total;
};
std::optional<ContentRange> ParseContentRange(std::string_view text);

// What to do with the reply to a request for the rest of a file from `offset`.
enum class RangeReply {
    Append,   // 206 with exactly the rest: add it to what is on disk
    Restart,  // 200: the server sent the whole file; start the download file afresh
    Refetch,  // 416, or a 206 that does not fit: ask again for the whole file
    Other,    // any other status: the request's own failure decides
};
RangeReply ClassifyRangeReply(std::uint64_t offset, long status, std::string_view contentRange,
                              std::optional<std::uint64_t> expectedSize);

}  // namespace qs
