#include "shell/background_clients.h"

#include <memory>

#include "live/news_feed.h"
#include "live/status_poller.h"

namespace qs {

namespace {
std::unique_ptr<StatusPoller> g_poller;
std::unique_ptr<NewsFeed> g_feed;
}  // namespace

void StartBackgroundClients() {
    g_poller = std::make_unique<StatusPoller>();
    SetCurrentStatusPoller(g_poller.get());
    g_poller->start();
    g_feed = std::make_unique<NewsFeed>();
    SetCurrentNewsFeed(g_feed.get());
    g_feed->start();
}

void StopBackgroundClients() {
    if (g_feed) {
        g_feed->stop();
        SetCurrentNewsFeed(nullptr);
        g_feed.reset();
    }
    if (g_poller) {
        g_poller->stop();
        SetCurrentStatusPoller(nullptr);
        g_poller.reset();
    }
}

}  // namespace qs
