#include "update/transfer.h"

#include <cinttypes>
#include <cstdio>
#include <thread>

namespace qs {

std::string FormatBytes(std::uint64_t bytes) {
    constexpr std::uint64_t kKiB = 1024, kMiB = kKiB << 10, kGiB = kMiB << 10, kTiB = kGiB << 10;
    char text[32];
    if (bytes < kKiB)
        std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
    else if (bytes < kMiB)
        std::snprintf(text, sizeof text, "%" PRIu64 " KB", (bytes + kKiB / 2) / kKiB);
    else if (bytes < kGiB)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / kMiB);
    else if (bytes < kTiB)
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / kGiB);
    else
        std::snprintf(text, sizeof text, "%.1f TB", static_cast<double>(bytes) / kTiB);
    return text;
}

std::optional<std::string> DiskSpaceShortfall(std::uint64_t needed, std::uint64_t available) {
    // Saturated: a size near the top of the range still needs more than any disk has.
    const std::uint64_t withMargin =
        needed > UINT64_MAX - kDiskSpaceMargin ? UINT64_MAX : needed + kDiskSpaceMargin;
    if (available >= withMargin)
        return std::nullopt;
    // The figure compared, so the message never reads as if the needed bytes fit.
    return "Not enough disk space: " + FormatBytes(withMargin) + " needed, " +
           FormatBytes(available) + " free.";
}

std::chrono::nanoseconds PaceDelay(std::uint64_t bytes, std::chrono::nanoseconds elapsed,
                                   std::uint64_t bytesPerSecond) {
    if (bytesPerSecond == 0)
        return std::chrono::nanoseconds(0);
    // In long double: a byte count times 1e9 overflows 64 bits past 18 GB.
    const long double due = static_cast<long double>(bytes) * 1e9L / bytesPerSecond;
    const long double wait = due - static_cast<long double>(elapsed.count());
    if (wait <= 0)
        return std::chrono::nanoseconds(0);
    if (wait >= static_cast<long double>(std::chrono::nanoseconds::max().count()))
        return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(static_cast<std::int64_t>(wait));
}

RatePacer::RatePacer(const std::atomic<std::uint64_t>* bytesPerSecond,
                     const std::atomic<bool>* cancel, Clock clock, Sleep sleep)
    : limit_(bytesPerSecond),
      cancel_(cancel),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); })),
      sleep_(sleep ? std::move(sleep) : Sleep([](std::chrono::nanoseconds wait) {
          std::this_thread::sleep_for(wait);
      })) {}

void RatePacer::account(std::uint64_t bytes) {
    const std::uint64_t limit = limit_ ? limit_->load() : 0;
    const auto now = clock_();
    // A fresh window each second or so, and whenever the limit was off: a pause (a slow server,
    // the limit just switched on) must not be made up for by a burst.
    if (!started_ || limit == 0 || now - windowStart_ > std::chrono::seconds(1)) {
        started_ = true;
        windowStart_ = now;
        windowBytes_ = 0;
    }
    windowBytes_ += bytes;
    std::chrono::nanoseconds wait = PaceDelay(windowBytes_, now - windowStart_, limit);
    // In slices, so that a cancel or a raised limit is noticed within a tenth of a second.
    constexpr std::chrono::nanoseconds kSlice = std::chrono::milliseconds(100);
    while (wait.count() > 0 && !(cancel_ && cancel_->load())) {
        const std::chrono::nanoseconds step = std::min(wait, kSlice);
        sleep_(step);
        wait -= step;
        const std::uint64_t current = limit_ ? limit_->load() : 0;
        if (current != limit)
            wait = PaceDelay(windowBytes_, clock_() - windowStart_, current);
    }
}

std::optional<ContentRange> ParseContentRange(std::string_view text) {
    auto number = [&text](std::uint64_t& value) {
        std::size_t digits = 0;
        value = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
            if (value > (UINT64_MAX - 9) / 10)
                return false;
            value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
            ++digits;
        }
        text.remove_prefix(digits);
        return digits > 0;
    };
    auto literal = [&text](std::string_view expected) {
        if (text.substr(0, expected.size()) != expected)
            return false;
        text.remove_prefix(expected.size());
        return true;
    };
    ContentRange range;
    if (!literal("bytes ") || !number(range.first) || !literal("-") || !number(range.last) ||
        !literal("/") || range.last < range.first)
        return std::nullopt;
    if (literal("*")) {
        if (!text.empty())
            return std::nullopt;
        return range;
    }
    std::uint64_t total = 0;
    if (!number(total) || !text.empty() || range.last >= total)
        return std::nullopt;
    range.total = total;
    return range;
}

RangeReply ClassifyRangeReply(std::uint64_t offset, long status, std::string_view contentRange,
                              std::optional<std::uint64_t> expectedSize) {
    if (status == 200)
        return RangeReply::Restart;
    if (status == 416)
        return RangeReply::Refetch;
    if (status != 206)
        return RangeReply::Other;
    const std::optional<ContentRange> range = ParseContentRange(contentRange);
    // Only "the rest of the file from offset": a range that starts elsewhere, stops short, or
    // disagrees with the published size would splice the wrong bytes.
    if (!range || offset == 0 || range->first != offset || !range->total ||
        range->last + 1 != *range->total || (expectedSize && *range->total != *expectedSize))
        return RangeReply::Refetch;
    return RangeReply::Append;
}

}  // namespace qs
