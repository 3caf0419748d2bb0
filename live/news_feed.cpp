#include "live/news_feed.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "net/client_location.h"
#include "net/https.h"
#include "net/json_reply.h"
#include "platform/durable_file.h"

namespace qs {

namespace {

std::mutex currentFeedMutex;
NewsFeed* currentFeed = nullptr;

// Generations are drawn from one counter, so a snapshot of one feed's list never passes for a
// snapshot of another's.
std::atomic<std::uint64_t> lastGeneration{0};

std::uint64_t NewGeneration() {
    return lastGeneration.fetch_add(1) + 1;
}

NewsItem ItemFromJson(const nlohmann::json& element) {
    NewsItem item;
    if (!element.is_object())
        return item;
    auto text = [&](const char* key, std::string& field, bool clean) {
        auto found = element.find(key);
        if (found == element.end() || !found->is_string())
            return;
        const auto& value = found->get_ref<const std::string&>();
        field = clean ? CleanNewsText(value) : value;
    };
    text("id", item.id, false);
    text("tag", item.tag, false);
    text("title", item.title, true);
    text("summary", item.summary, true);
    text("date", item.date, true);
    text("author", item.author, true);
    text("url", item.url, false);
    if (auto found = element.find("featured"); found != element.end() && found->is_boolean())
        item.featured = found->get<bool>();
    return item;
}

}  // namespace

std::optional<std::vector<NewsItem>> ParseNewsItems(std::string_view body) {
    // Elements past the cap are dropped as they are read, so the document never holds them;
    // they still have to be valid JSON for the list to count.
    std::size_t elements = 0;
    auto keepFirstElements = [&elements](int depth, nlohmann::json::parse_event_t event,
                                         nlohmann::json&) {
        using Event = nlohmann::json::parse_event_t;
        const bool elementStarts =
            event == Event::value || event == Event::object_start || event == Event::array_start;
        if (depth != 1 || !elementStarts)
            return true;
        return ++elements <= kNewsMaxItems;
    };
    nlohmann::json root = ParseJsonReplyOrDiscarded(body, keepFirstElements);
    if (!root.is_array())
        return std::nullopt;  // a parse failure is "discarded", not an array
    std::vector<NewsItem> items;
    items.reserve(root.size());
    for (const auto& element : root)
        items.push_back(ItemFromJson(element));
    return items;
}

std::filesystem::path SeenMarkerPath() {
    std::filesystem::path folder = LauncherDataFolder();
    if (folder.empty())
        return "news_seen.txt";
    return folder / "news_seen.txt";
}

NewsFeed::NewsFeed(const ServiceEndpoint& service, LiveTiming timing,
                   std::filesystem::path seenMarkerPath, LiveFetch fetch)
    : generation_(NewGeneration()),
      service_(service),
      timing_(timing),
      seenMarkerPath_(std::move(seenMarkerPath)),
      fetch_(fetch ? std::move(fetch) : HttpsLiveFetch(service, &stopping_)) {
    loadSeenMarker();
}

NewsFeed::~NewsFeed() {
    stop();
}

void NewsFeed::start() {
    StartLiveWorker({worker_, running_, stopping_, sleep_}, [this] { run(); });
}

void NewsFeed::stop() {
    StopLiveWorker({worker_, running_, stopping_, sleep_});
}

std::vector<NewsItem> NewsFeed::items() {
    std::lock_guard lock(mutex_);
    return items_;
}

void NewsFeed::refresh(NewsSnapshot& snapshot) {
    std::lock_guard lock(mutex_);
    if (snapshot.generation == generation_)
        return;
    snapshot.items = items_;
    snapshot.generation = generation_;
}

void NewsFeed::fetchOnce() {
    std::optional<std::vector<NewsItem>> fresh;
    try {
        if (auto body = fetch_(ServiceUrl(service_, "/news.php"), kNewsMaxBytes))
            fresh = ParseNewsItems(*body);
    } catch (...) {
        return;  // a failed fetch keeps the last good list
    }
    if (fresh)
        publish(std::move(*fresh));
}

void NewsFeed::run() {
    RunLiveLoop(timing_, running_, sleep_, [this] { fetchOnce(); });
}

void NewsFeed::publish(std::vector<NewsItem> fresh) {
    std::lock_guard lock(mutex_);
    items_ = std::move(fresh);
    generation_ = NewGeneration();
    if (items_.empty())
        return;
    latestId_ = items_.front().id;
    if (seenId_.empty() || latestId_ != seenId_)
        hasUnseen_ = true;
}

bool NewsFeed::hasUnseen() {
    std::lock_guard lock(mutex_);
    return hasUnseen_;
}

void NewsFeed::loadSeenMarker() {
    // Runs before the worker exists; any failure means "nothing seen yet".
    try {
        std::error_code error;
        if (!std::filesystem::exists(seenMarkerPath_, error) || error)
            return;
        std::ifstream file(seenMarkerPath_, std::ios::in | std::ios::binary);
        if (!file)
            return;
        std::string line;
        if (!std::getline(file, line))
            return;
        // A marker written by hand on Windows ends its line with CR LF.
        if (!file.eof() && !line.empty() && line.back() == '\r')
            line.pop_back();
        seenId_ = std::move(line);
    } catch (...) {
        seenId_.clear();
    }
}

void NewsFeed::markSeen() {
    // The small write happens under the lock so a fetch finishing meanwhile sees the new seenId.
    std::lock_guard lock(mutex_);
    hasUnseen_ = false;
    if (latestId_.empty())
        return;
    seenId_ = latestId_;
    try {
        const std::filesystem::path folder = seenMarkerPath_.parent_path();
        if (folder.empty())
            return;  // no data folder: nothing persists in this run
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error)) {
            std::filesystem::create_directories(folder, error);
            if (error)
                return;
        }
        WriteFileDurably(seenMarkerPath_, seenId_.data(), seenId_.size());
    } catch (...) {
        // The in-memory record still counts for this run.
    }
}

void SetCurrentNewsFeed(NewsFeed* feed) {
    std::lock_guard lock(currentFeedMutex);
    currentFeed = feed;
}

std::vector<NewsItem> CurrentNewsItems() {
    std::lock_guard lock(currentFeedMutex);
    return currentFeed ? currentFeed->items() : std::vector<NewsItem>{};
}

void RefreshNewsSnapshot(NewsSnapshot& snapshot) {
    std::lock_guard lock(currentFeedMutex);
    if (currentFeed) {
        currentFeed->refresh(snapshot);
    } else if (snapshot.generation != 0) {
        snapshot = NewsSnapshot{};
    }
}

bool NewsHasUnseen() {
    std::lock_guard lock(currentFeedMutex);
    return currentFeed ? currentFeed->hasUnseen() : false;
}

void MarkNewsSeen() {
    std::lock_guard lock(currentFeedMutex);
    if (currentFeed)
        currentFeed->markSeen();
}

}  // namespace qs
