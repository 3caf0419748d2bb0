#pragma once
// The news feed: one thread that fetches "/news.php" a second after start and every five
// minutes after, plus the record of the newest item the player has seen ("news_seen.txt").
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "live/clean_news_text.h"
#include "live/live.h"
#include "live/live_timing.h"
#include "net/service.h"

namespace qs {

// The page shows thirteen items; a few hundred leave room for featured ones and cost little.
inline constexpr std::size_t kNewsMaxItems = 200;

// The first kNewsMaxItems items a news body describes, in the server's order; nullopt when the
// body is not a JSON array (the feed then keeps what it has).
std::optional<std::vector<NewsItem>> ParseNewsItems(std::string_view body);

// <launcher data folder>/news_seen.txt; the bare file name when the folder is unknown.
std::filesystem::path SeenMarkerPath();

class NewsFeed {
public:
    // Loads the seen marker from `seenMarkerPath`. `fetch` empty: the status/news HTTPS profile
    // against `service`.
    explicit NewsFeed(const ServiceEndpoint& service = BuiltInService(),
                      LiveTiming timing = NewsFetchTiming(),
                      std::filesystem::path seenMarkerPath = SeenMarkerPath(),
                      LiveFetch fetch = {});
    ~NewsFeed();
    NewsFeed(const NewsFeed&) = delete;
    NewsFeed& operator=(const NewsFeed&) = delete;

    void start();
    // Returns once the worker has ended; a fetch under way is given up within about a second.
    void stop();
    std::vector<NewsItem> items();
    // Copies the items into `snapshot` when its generation is not the list's.
    void refresh(NewsSnapshot& snapshot);

    // One fetch; a failed or unreadable one changes nothing.
    void fetchOnce();
    void run();

    // Takes a freshly fetched list: replaces the items and updates the unseen flag.
    void publish(std::vector<NewsItem> fresh);
    bool hasUnseen();
    // The player has looked at the news: clears the flag and records the newest id on disk.
    void markSeen();

private:
    void loadSeenMarker();

    std::thread worker_;
    std::mutex mutex_;  // guards the five fields below
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};  // cancels the request under way
    std::vector<NewsItem> items_;
    std::uint64_t generation_;  // unique across feeds, new with every list
    std::string seenId_;
    std::string latestId_;
    bool hasUnseen_ = false;

    ServiceEndpoint service_;
    LiveTiming timing_;
    std::filesystem::path seenMarkerPath_;
    LiveFetch fetch_;
    WakeableSleep sleep_;
};

// The shell registers its one feed here after creating it and clears it before destroying it.
void SetCurrentNewsFeed(NewsFeed* feed);

}  // namespace qs
