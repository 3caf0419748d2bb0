#pragma once
// Ranges of one file requested several at once. Each range costs a round trip, so a patch of many
// small runs waits for a few round trips instead of one per run. The caller takes the bytes in
// order and accounts for them as if they had streamed in.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/https.h"

namespace qs {

// At most this many ranges of one file are in flight at once.
inline constexpr std::size_t kRangesAtOnce = 8;
inline constexpr std::size_t kFewestRangesAhead = 3;

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive
};

class RangesAhead {
public:
    // The bytes of one range, exactly, over `connection`; throws on anything amiss.
    using Fetch = std::function<std::string(HttpsConnection& connection, const ByteRange& range)>;

    // Starts fetching `ranges`, in order, on up to kRangesAtOnce connections of their own that go
    // the way `connection` does (its pool, where it has one); with fewer than
    // kFewestRangesAhead, take() fetches each on `connection` itself, as a new connection's
    // handshake would cost more round trips than it saves. `cancel` is the run's.
    RangesAhead(std::vector<ByteRange> ranges, Fetch fetch, HttpsConnection& connection,
                const std::atomic<bool>* cancel);
    // Ends what is still in flight (within about a second) and waits for it.
    ~RangesAhead();
    RangesAhead(const RangesAhead&) = delete;
    RangesAhead& operator=(const RangesAhead&) = delete;

    // The bytes of range `index`, once fetched; throws what fetching it threw, or UpdateCancelled
    // once `cancel` reads true. Each range is taken once.
    std::string take(std::size_t index);

private:
    void work(HttpsConnection& connection);

    const std::vector<ByteRange> ranges_;
    const Fetch fetch_;
    HttpsConnection& connection_;
    const std::atomic<bool>* cancel_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::optional<std::string>> bytes_;
    std::vector<std::exception_ptr> failures_;
    std::deque<HttpsConnection> connections_;
    std::vector<std::thread> threads_;
};

}  // namespace qs
