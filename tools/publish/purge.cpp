#include "tools/publish/purge.h"

#include <curl/curl.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "platform/wide_text.h"
#include "update/fetch_file.h"

namespace qs::publish {

namespace fs = std::filesystem;

namespace {

// The documents a launcher reads under a fixed address, by their place in the tree.
constexpr const char* kDocuments[] = {"updater/updater.php",
                                      "updater/updater.sig",
                                      "updater/launcher/latest.json",
                                      "updater/launcher/latest.json.sig",
                                      "status.php",
                                      "news.php"};

std::optional<std::string> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Client path -> digest as the manifest names them; empty for a manifest that does not parse, so
// every file of the other side counts as changed.
std::map<std::string, std::string> ManifestFiles(const std::string& manifest) {
    std::map<std::string, std::string> files;
    const nlohmann::json document = nlohmann::json::parse(manifest, nullptr, false);
    if (!document.is_object())
        return files;
    if (const auto listed = document.find("files"); listed != document.end() && listed->is_object())
        for (const auto& [path, digest] : listed->items())
            if (digest.is_string())
                files[path] = digest.get<std::string>();
    if (const auto binary = document.find("binary");
        binary != document.end() && binary->is_object() &&
        binary->value("file", nlohmann::json()).is_string() &&
        binary->value("checksum", nlohmann::json()).is_string())
        files[(*binary)["file"].get<std::string>()] = (*binary)["checksum"].get<std::string>();
    return files;
}

// "/updater/files/" and the path as launchers ask for it; nothing for a path no launcher asks for.
std::optional<std::string> FileAddress(const std::string& clientPath) {
    try {
        return "/updater/files/" + WideToUtf8(DownloadUrlPath(clientPath));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

PurgeResult PurgeOne(CURL* curl, const std::string& url) {
    PurgeResult result;
    result.url = url;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PURGE");
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    using Discard = size_t (*)(char*, size_t, size_t, void*);
    Discard discard = [](char*, size_t size, size_t count, void*) { return size * count; };
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    if (const CURLcode code = curl_easy_perform(curl); code != CURLE_OK) {
        result.outcome = PurgeOutcome::Unreachable;
        result.reason = curl_easy_strerror(code);
        return result;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    if (result.status != 200 && result.status != 404)
        result.outcome = PurgeOutcome::Refused;
    return result;
}

}  // namespace

TreeSnapshot SnapshotTree(const fs::path& outDir) {
    TreeSnapshot snapshot;
    for (const char* document : kDocuments)
        if (auto bytes = ReadBytes(outDir / document))
            snapshot.documents["/" + std::string(document)] = std::move(*bytes);
    if (const auto manifest = snapshot.documents.find("/updater/updater.php");
        manifest != snapshot.documents.end())
        snapshot.files = ManifestFiles(manifest->second);
    return snapshot;
}

std::vector<std::string> ChangedAddresses(const TreeSnapshot& before, const TreeSnapshot& after) {
    std::vector<std::string> addresses;
    for (const char* document : kDocuments) {
        const std::string address = "/" + std::string(document);
        const auto was = before.documents.find(address), is = after.documents.find(address);
        const bool wasThere = was != before.documents.end(), isThere = is != after.documents.end();
        if (wasThere != isThere || (wasThere && was->second != is->second))
            addresses.push_back(address);
    }
    auto addFile = [&](const std::string& path) {
        if (auto address = FileAddress(path))
            addresses.push_back(std::move(*address));
    };
    for (const auto& [path, digest] : before.files)
        if (const auto now = after.files.find(path);
            now == after.files.end() || now->second != digest)
            addFile(path);
    for (const auto& [path, digest] : after.files)
        if (!before.files.contains(path))
            addFile(path);  // a cache may hold the 404 it had before
    return addresses;
}

bool IsCacheBaseUrl(const std::string& url) {
    for (const std::string_view scheme : {"http://", "https://"})
        if (url.starts_with(scheme)) {
            const std::string_view rest = std::string_view(url).substr(scheme.size());
            const std::size_t slash = rest.find('/');
            const std::string_view authority = rest.substr(0, slash);
            return !authority.empty() &&
                   authority.find_first_of("@?# ") == std::string_view::npos &&
                   (slash == std::string_view::npos || rest.substr(slash) == "/");
        }
    return false;
}

std::vector<PurgeResult> PurgeCaches(const std::vector<std::string>& cacheBases,
                                     const std::vector<std::string>& paths) {
    std::vector<PurgeResult> results;
    for (std::string base : cacheBases) {
        if (base.ends_with("/"))
            base.pop_back();
        // One connection per cache, kept for all its paths.
        const std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
        for (const std::string& path : paths)
            results.push_back(curl ? PurgeOne(curl.get(), base + path)
                                   : PurgeResult{base + path, PurgeOutcome::Unreachable, 0,
                                                 "libcurl did not start"});
    }
    return results;
}

}  // namespace qs::publish
