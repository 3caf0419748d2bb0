#include "update/ranges_ahead.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace qs {

RangesAhead::RangesAhead(std::vector<ByteRange> ranges, Fetch fetch, HttpsConnection& connection,
                         const std::atomic<bool>* cancel)
    : ranges_(std::move(ranges)),
      fetch_(std::move(fetch)),
      connection_(connection),
      cancel_(cancel),
      bytes_(ranges_.size()),
      failures_(ranges_.size()) {
    const std::size_t workers =
        ranges_.size() < kFewestRangesAhead ? 0 : std::min(ranges_.size(), kRangesAtOnce);
    try {
        for (std::size_t i = 0; i < workers; ++i) {
            HttpsConnection& own = connections_.emplace_back();
            own.joinPoolOf(connection);
            // Its own flag, so that a failure elsewhere ends the requests in flight as well.
            own.setCancel(&stop_);
            threads_.emplace_back([this, &own] { work(own); });
        }
    } catch (...) {
        // Fewer threads, or none: take() then fetches on the caller's connection.
    }
}

RangesAhead::~RangesAhead() {
    stop_.store(true);
    for (std::thread& thread : threads_)
        thread.join();
}

void RangesAhead::work(HttpsConnection& connection) {
    for (std::size_t index = next_++; index < ranges_.size() && !stop_.load(); index = next_++) {
        std::optional<std::string> bytes;
        std::exception_ptr failure;
        try {
            bytes = fetch_(connection, ranges_[index]);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard lock(mutex_);
            bytes_[index] = std::move(bytes);
            failures_[index] = failure;
        }
        ready_.notify_all();
        if (failure)
            return;  // a failed range ends the build: the rest are not needed
    }
}

std::string RangesAhead::take(std::size_t index) {
    if (threads_.empty())
        return fetch_(connection_, ranges_.at(index));
    std::unique_lock lock(mutex_);
    for (;;) {
        if (failures_.at(index))
            std::rethrow_exception(failures_[index]);
        if (bytes_[index])
            return std::move(*std::exchange(bytes_[index], std::nullopt));
        // The run's cancel reaches the requests in flight through their own flag.
        if (cancel_ && cancel_->load()) {
            stop_.store(true);
            throw UpdateCancelled();
        }
        // Ranges are claimed in order and a thread stops only at a failed one, which the caller,
        // taking in order, meets before any range left unclaimed: the wait always ends.
        ready_.wait_for(lock, std::chrono::milliseconds(50));
    }
}

}  // namespace qs
