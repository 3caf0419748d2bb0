#pragma once
// The JSON documents besides the manifest, checked against the launcher's own readers so that
// nothing is published that a launcher would drop or misread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qs::publish {

// Reasons the launcher would not read the status document as written (empty: it would).
std::vector<std::string> StatusProblems(std::string_view text);
// The same for the news document.
std::vector<std::string> NewsProblems(std::string_view text);

// "https://host[:port]" with an optional trailing slash; nullopt when it is anything else.
struct BaseUrl {
    std::string origin;  // without the trailing slash
    std::string host;
    std::uint16_t port = 443;
};
std::optional<BaseUrl> ParseBaseUrl(std::string_view text);

inline constexpr char kLauncherFolder[] = "/updater/launcher/";

// Where the installer goes: the URL it is published under and its file name in
// updater/launcher/. With `installerUrl` empty the URL is built from the base and `fileName`.
struct InstallerPlace {
    std::string url;
    std::string fileName;
};
// Throws std::runtime_error naming the problem: a URL the launcher would not trust, one outside
// /updater/launcher/, or a name the URL cannot carry.
InstallerPlace PlaceInstaller(const BaseUrl& base, std::string_view installerUrl,
                              std::string_view fileName);

// A signed release document's "serial" and "expires" (seconds since 1970), as the manifest's.
using ReleaseFreshness = std::pair<std::uint64_t, std::int64_t>;

// latest.json, with "serial" and "expires" when `freshness` is given (a signed release); throws
// std::runtime_error for a version the launcher cannot compare or a digest that is not 64
// hexadecimal digits.
std::string ReleaseJson(std::string_view version, std::string_view url, std::string_view sha256,
                        const std::optional<std::string>& changelog,
                        const std::optional<ReleaseFreshness>& freshness = std::nullopt);
// An earlier latest.json with `freshness` in place of its own, for a signed publish that keeps
// the release: a signed launcher refuses the document once it expires. Throws
// std::runtime_error when `document` is not a JSON object.
std::string RefreshedReleaseJson(std::string_view document, const ReleaseFreshness& freshness);

}  // namespace qs::publish
