#pragma once
// Telling HTTP caches in front of the origin what a publish changed. Only addresses whose bytes
// can change are purged: the documents and the files under their client path. Content-named
// chunk indexes and objects never change, so a publish that only adds them purges nothing for
// them.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qs::publish {

// What a cache may hold of a published tree under addresses that stay the same across publishes.
struct TreeSnapshot {
    std::map<std::string, std::string> documents;  // URL path -> bytes, for those present
    std::map<std::string, std::string> files;      // client path -> digest, from the manifest
};
TreeSnapshot SnapshotTree(const std::filesystem::path& outDir);

// URL paths ("/updater/updater.php", "/updater/files/data/a%20b.pak") whose answer changed:
// documents that differ, appeared or left, files whose digest changed or that left.
std::vector<std::string> ChangedAddresses(const TreeSnapshot& before, const TreeSnapshot& after);

// A cache base URL is http:// or https:// with a host, and no path beyond "/".
bool IsCacheBaseUrl(const std::string& url);

enum class PurgeOutcome { Purged, Refused, Unreachable };
struct PurgeResult {
    std::string url;
    PurgeOutcome outcome = PurgeOutcome::Purged;
    long status = 0;     // the cache's answer when it answered
    std::string reason;  // libcurl's words when it did not
};
// Sends "PURGE base+path" for every path to every cache. A cache answering anything but 200 or
// 404 (nothing stored) refused.
std::vector<PurgeResult> PurgeCaches(const std::vector<std::string>& cacheBases,
                                     const std::vector<std::string>& paths);

}  // namespace qs::publish
