#pragma once
// What the interface reads from the two background clients (status poller, news feed).
#include <cstdint>
#include <string>
#include <vector>

namespace qs {

struct ServerStatus {
    bool online = false;
    std::int32_t players = 0;
    std::int32_t maxPlayers = 0;
    bool maintenance = false;
    std::string motd;
    std::string serverName;
};

struct NewsItem {
    std::string id;
    std::string tag;
    std::string title;
    std::string summary;
    std::string date;
    std::string author;
    std::string url;
    bool featured = false;
};

// Copies taken under each client's lock; defaults when the client does not exist.
ServerStatus CurrentServerStatus();
std::vector<NewsItem> CurrentNewsItems();

// A copy of the news list that a frame keeps, with the generation of the list it copies.
struct NewsSnapshot {
    std::uint64_t generation = 0;  // 0: no feed
    std::vector<NewsItem> items;
};
// Brings `snapshot` up to the current feed's list, copying only when the list has changed since:
// a frame must not copy every item of every frame.
void RefreshNewsSnapshot(NewsSnapshot& snapshot);
bool NewsHasUnseen();
void MarkNewsSeen();

}  // namespace qs
