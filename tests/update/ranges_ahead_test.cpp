// Ranges fetched ahead on threads of their own: taken in order whatever order they arrive in, a
// range's failure met where it is taken, and a cancel or an early end never left waiting.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "update/ranges_ahead.h"

using namespace qs;

namespace {

std::vector<ByteRange> Ranges(std::size_t count) {
    std::vector<ByteRange> ranges;
    for (std::size_t i = 0; i < count; ++i)
        ranges.push_back({i * 10, i * 10 + 9});
    return ranges;
}

// The range's first byte as text, later ranges arriving first.
std::string Reversed(const ByteRange& range, std::size_t count) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * (count * 10 - range.first) / 10));
    return std::to_string(range.first);
}

}  // namespace

TEST(RangesAhead, TakenInOrderOnConnectionsOfTheirOwnOrTheCallers) {
    for (const std::size_t count : {std::size_t{1}, kFewestRangesAhead, kRangesAtOnce * 3}) {
        SCOPED_TRACE(count);
        HttpsConnection caller;
        std::atomic<int> onCaller{0};
        std::mutex mutex;
        std::set<const HttpsConnection*> used;
        RangesAhead ahead(
            Ranges(count),
            [&](HttpsConnection& connection, const ByteRange& range) {
                onCaller += &connection == &caller;
                std::lock_guard lock(mutex);
                used.insert(&connection);
                return Reversed(range, count);
            },
            caller, nullptr);
        for (std::size_t i = 0; i < count; ++i)
            EXPECT_EQ(ahead.take(i), std::to_string(i * 10));
        // Too few to pay for new connections: the caller's own, one after another.
        EXPECT_EQ(onCaller.load() == static_cast<int>(count), count < kFewestRangesAhead);
        EXPECT_LE(used.size(), kRangesAtOnce);
    }
}

TEST(RangesAhead, AFailureIsMetWhereItsRangeIsTaken) {
    HttpsConnection caller;
    RangesAhead ahead(
        Ranges(20),
        [](HttpsConnection&, const ByteRange& range) {
            if (range.first == 50)
                throw std::runtime_error("range 5 failed");
            return std::to_string(range.first);
        },
        caller, nullptr);
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(ahead.take(i), std::to_string(i * 10));
    EXPECT_THROW(ahead.take(5), std::runtime_error);
}  // and the threads still fetching end with it

TEST(RangesAhead, ACancelEndsTheWaitAndTheFetchesInFlight) {
    HttpsConnection caller;
    std::atomic<bool> cancel{false};
    std::atomic<int> started{0};
    {
        RangesAhead ahead(
            Ranges(kRangesAtOnce * 2),
            [&](HttpsConnection&, const ByteRange&) -> std::string {
                ++started;
                // A request that would never end on its own: only the stop reaches it.
                while (!cancel.load())
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                throw UpdateCancelled();
            },
            caller, &cancel);
        std::thread player([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            cancel = true;
        });
        EXPECT_THROW(ahead.take(0), UpdateCancelled);
        player.join();
    }
    EXPECT_LE(started.load(), static_cast<int>(kRangesAtOnce));
}
