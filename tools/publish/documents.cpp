#include "tools/publish/documents.h"

#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "net/https.h"
#include "net/json_reply.h"
#include "selfupdate/launcher_update.h"
#include "tools/publish/publish.h"
#include "update/digest.h"
#include "update/update_run.h"

namespace qs::publish {

namespace {

using nlohmann::json;

// The document as the launcher's parser sees it, or the reason it sees nothing.
std::optional<json> ParseDocument(std::string_view text, std::size_t maxBytes,
                                  std::vector<std::string>& problems) {
    if (text.size() > maxBytes) {
        problems.push_back("larger than the launcher reads (" + std::to_string(maxBytes) +
                           " bytes)");
        return std::nullopt;
    }
    try {
        return ParseJsonReply(text);
    } catch (const std::exception& error) {
        problems.push_back(std::string("not JSON: ") + error.what());
        return std::nullopt;
    }
}

bool IsInt32(const json& value) {
    if (value.is_number_unsigned())
        return value.get<std::uint64_t>() <=
               static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    if (value.is_number_integer())
        return value.get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min() &&
               value.get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max();
    return false;
}

}  // namespace

std::vector<std::string> StatusProblems(std::string_view text) {
    std::vector<std::string> problems;
    const std::optional<json> document = ParseDocument(text, kStatusMaxBytes, problems);
    if (!document)
        return problems;
    if (!document->is_object())
        return {"not a JSON object"};
    auto member = [&](const char* key) -> const json* {
        auto found = document->find(key);
        return found == document->end() ? nullptr : &*found;
    };
    const json* online = member("online");
    if (!online || !online->is_boolean())
        problems.push_back("\"online\" must be true or false");
    for (const char* key : {"maintenance"})
        if (const json* value = member(key); value && !value->is_boolean())
            problems.push_back(std::string("\"") + key + "\" must be true or false");
    for (const char* key : {"players", "maxPlayers"})
        if (const json* value = member(key); value && !IsInt32(*value))
            problems.push_back(std::string("\"") + key + "\" must be a whole number");
    for (const char* key : {"motd", "serverName"})
        if (const json* value = member(key); value && !value->is_string())
            problems.push_back(std::string("\"") + key + "\" must be a string");
    if (!problems.empty())
        return problems;

    // What the launcher itself reads must be what was written.
    const ServerStatus read = ParseServerStatus(text);
    const bool same = read.online == online->get<bool>() &&
                      read.maintenance == document->value("maintenance", false) &&
                      read.players == document->value("players", 0) &&
                      read.maxPlayers == document->value("maxPlayers", 0) &&
                      read.motd == document->value("motd", std::string()) &&
                      read.serverName == document->value("serverName", std::string());
    if (!same)
        problems.push_back("the launcher reads it differently from what it says");
    return problems;
}

std::vector<std::string> NewsProblems(std::string_view text) {
    std::vector<std::string> problems;
    const std::optional<json> document = ParseDocument(text, kNewsMaxBytes, problems);
    if (!document)
        return problems;
    if (!document->is_array())
        return {"not a JSON array"};
    if (document->size() > kNewsMaxItems)
        problems.push_back("more than " + std::to_string(kNewsMaxItems) +
                           " items; the launcher reads only the first ones");
    for (std::size_t i = 0; i < document->size(); ++i) {
        const json& item = (*document)[i];
        const std::string where = "item " + std::to_string(i + 1) + ": ";
        if (!item.is_object()) {
            problems.push_back(where + "not an object");
            continue;
        }
        auto id = item.find("id");
        if (id == item.end() || !id->is_string() || id->get_ref<const std::string&>().empty())
            problems.push_back(where + "\"id\" must be a non-empty string");
        for (const char* key : {"tag", "title", "summary", "date", "author", "url"})
            if (auto value = item.find(key); value != item.end() && !value->is_string())
                problems.push_back(where + "\"" + key + "\" must be a string");
        if (auto value = item.find("featured"); value != item.end() && !value->is_boolean())
            problems.push_back(where + "\"featured\" must be true or false");
    }
    if (!problems.empty())
        return problems;

    const auto read = ParseNewsItems(text);
    bool same = read && read->size() == document->size();
    for (std::size_t i = 0; same && i < read->size(); ++i) {
        const json& item = (*document)[i];
        same = (*read)[i].id == item.value("id", std::string()) &&
               (*read)[i].url == item.value("url", std::string()) &&
               (*read)[i].featured == item.value("featured", false);
    }
    if (!same)
        problems.push_back("the launcher reads it differently from what it says");
    return problems;
}

std::optional<BaseUrl> ParseBaseUrl(std::string_view text) {
    constexpr std::string_view scheme = "https://";
    if (!text.starts_with(scheme))
        return std::nullopt;
    BaseUrl base;
    std::string_view rest = text.substr(scheme.size());
    if (rest.ends_with('/'))
        rest.remove_suffix(1);
    std::string_view host = rest;
    if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        const std::string_view port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        const unsigned long number = std::stoul(std::string(port));
        if (number == 0 || number > 65535)
            return std::nullopt;
        base.port = static_cast<std::uint16_t>(number);
    }
    const bool hostOk =
        !host.empty() && host.find_first_not_of(
                             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
                             std::string_view::npos;
    if (!hostOk)
        return std::nullopt;
    base.host = host;
    base.origin = "https://" + std::string(rest);
    return base;
}

InstallerPlace PlaceInstaller(const BaseUrl& base, std::string_view installerUrl,
                              std::string_view fileName) {
    InstallerPlace place;
    if (installerUrl.empty()) {
        place.fileName = fileName;
    } else {
        const ServiceEndpoint service{base.host, base.port, ""};
        std::wstring path;
        try {
            path = ResolveLauncherUrl(Utf8ToWide(installerUrl), service).path;
        } catch (const std::exception&) {
            throw std::runtime_error("the installer URL is not https on " + base.host);
        }
        const std::string text = WideToUtf8(path);
        if (!text.starts_with(kLauncherFolder))
            throw std::runtime_error(std::string("the installer URL is not under ") +
                                     kLauncherFolder);
        std::string name = text.substr(std::string_view(kLauncherFolder).size());
        for (std::size_t at; (at = name.find("%20")) != std::string::npos;)
            name.replace(at, 3, " ");
        place.fileName = name;
        place.url = std::string(installerUrl);
    }
    if (place.fileName.empty() || place.fileName.find('/') != std::string::npos ||
        place.fileName == "latest.json" || ManifestPathProblem(place.fileName))
        throw std::runtime_error("the installer cannot be published as \"" + place.fileName + "\"");
    const std::string encoded = WideToUtf8(DownloadUrlPath(place.fileName));
    if (place.url.empty())
        place.url = base.origin + kLauncherFolder + encoded;
    else if (!place.url.ends_with(kLauncherFolder + encoded))
        throw std::runtime_error("the installer URL is not the plain address of a file");
    return place;
}

std::string ReleaseJson(std::string_view version, std::string_view url, std::string_view sha256,
                        const std::optional<std::string>& changelog,
                        const std::optional<ReleaseFreshness>& freshness) {
    // The launcher drops one lower-case 'v' and reads a number from each dot-separated piece;
    // anything else before the first digit would read as 0.
    std::string_view numbers = version;
    if (numbers.starts_with('v'))
        numbers.remove_prefix(1);
    if (numbers.empty() || numbers[0] < '0' || numbers[0] > '9')
        throw std::runtime_error("the version \"" + std::string(version) +
                                 "\" does not start with a number");
    if (!IsChecksumText(sha256))
        throw std::runtime_error("the installer digest is not 64 hexadecimal digits");
    json release = {{"version", version}, {"url", url}, {"sha256", sha256}};
    if (changelog)
        release["changelog"] = *changelog;
    if (freshness) {
        release["serial"] = freshness->first;
        release["expires"] = freshness->second;
    }
    return release.dump(2) + "\n";
}

std::string RefreshedReleaseJson(std::string_view document, const ReleaseFreshness& freshness) {
    json release;
    try {
        release = ParseJsonReply(document, nullptr, kReleaseMaxValues);
    } catch (const std::exception&) {
    }
    if (!release.is_object())
        throw std::runtime_error("the published launcher/latest.json is not a JSON object");
    release["serial"] = freshness.first;
    release["expires"] = freshness.second;
    return release.dump(2) + "\n";
}

}  // namespace qs::publish
