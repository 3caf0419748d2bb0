#pragma once
// The two long-lived clients: the status poller and the news feed.

namespace qs {

// Creates and starts the poller, then the feed, and registers both for the interface.
void StartBackgroundClients();
// Stops, unregisters and destroys the feed, then the poller.
void StopBackgroundClients();

}  // namespace qs
