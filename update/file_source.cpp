#include "update/file_source.h"

#include <charconv>

#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "update/fetch_file.h"

namespace qs {

namespace {

bool IsPathChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-._~/%!$&'()*+,;=:@").find(c) != std::string_view::npos;
}

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
}

// A host name or IPv4 address: letters, digits, '-' and '.', in labels that are never empty.
bool IsHostName(std::string_view host) {
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.' ||
        host.front() == '-' || host.find("..") != std::string_view::npos)
        return false;
    for (char c : host)
        if (!IsHostChar(c))
            return false;
    return true;
}

std::optional<std::uint16_t> PortOf(std::string_view text) {
    unsigned value = 0;
    if (text.empty() || text.size() > 5 || text.front() == '0')
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::string LowerHex(std::string_view checksum) {
    std::string lower(checksum);
    for (char& c : lower)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

}  // namespace

bool IsObjectsPath(std::string_view path) {
    if (path.size() < 2 || path.size() > kMaxBaseLength || path.front() != '/' ||
        path.back() != '/')
        return false;
    for (char c : path)
        if (!IsPathChar(c) || c == '%')  // no encoded byte can hide a '.' or a '/'
            return false;
    for (std::size_t at = 1; at < path.size();) {
        const std::size_t end = path.find('/', at);
        const std::string_view segment = path.substr(at, end - at);
        if (segment.empty() || segment == "." || segment == "..")
            return false;
        at = end + 1;
    }
    return true;
}

std::optional<FileSource> MirrorSource(std::string_view url, const ServiceEndpoint& service) {
    constexpr std::string_view scheme = "https://";
    if (url.size() > kMaxBaseLength || !url.starts_with(scheme))
        return std::nullopt;
    const std::string_view rest = url.substr(scheme.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::string_view authority = rest.substr(0, slash);
    const std::size_t colon = authority.find(':');
    FileSource source{service, std::string(rest.substr(slash))};
    source.endpoint.host = std::string(authority.substr(0, colon));
    source.endpoint.port = 443;
    if (colon != std::string_view::npos) {
        const auto port = PortOf(authority.substr(colon + 1));
        if (!port)
            return std::nullopt;
        source.endpoint.port = *port;
    }
    if (!IsHostName(source.endpoint.host) || !IsObjectsPath(source.objectsPath))
        return std::nullopt;
    return source;
}

std::wstring FileUrl(const FileSource& source, std::string_view relativePath,
                     std::string_view checksum) {
    if (source.objectsPath.empty())
        return ServiceUrl(source.endpoint, "/updater/files/") + DownloadUrlPath(relativePath);
    const std::string digest = LowerHex(checksum);
    return ServiceUrl(source.endpoint, source.objectsPath + digest.substr(0, 2) + "/" + digest);
}

FileSources::FileSources(std::vector<FileSource> sources)
    : sources_(std::move(sources)), failed_(new std::atomic<bool>[sources_.size()]) {
    for (std::size_t i = 0; i < sources_.size(); ++i)
        failed_[i] = false;
}

FileSources FileSources::OwnService(const ServiceEndpoint& service) {
    return FileSources({FileSource{service, {}}});
}

std::size_t FileSources::first(std::string_view checksum) const {
    std::vector<std::size_t> working;
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (!failed(i))
            working.push_back(i);
    if (working.empty())
        return 0;
    // The digest's leading bytes are as good as random, and the same for every launcher.
    std::uint32_t spread = 0;
    for (char c : checksum.substr(0, 6))
        spread =
            spread * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    return working[spread % working.size()];
}

std::optional<std::size_t> FileSources::next(std::size_t current) const {
    for (std::size_t step = 1; step < sources_.size(); ++step) {
        const std::size_t candidate = (current + step) % sources_.size();
        if (!failed(candidate))
            return candidate;
    }
    return std::nullopt;
}

void FileSources::markFailed(std::size_t index) {
    failed_[index] = true;
}

bool FileSources::failed(std::size_t index) const {
    return failed_[index].load();
}

std::vector<FileSource> SourcesOfManifest(const ServiceEndpoint& service,
                                          const std::optional<std::string>& objectsPath,
                                          const std::vector<std::string>& mirrors,
                                          bool signedManifest) {
    std::vector<FileSource> sources{FileSource{service, {}}};
    if (objectsPath && IsObjectsPath(*objectsPath))
        sources.front().objectsPath = *objectsPath;
    else if (objectsPath)
        LogEvent("manifest objects base ignored: " + CleanLogText(*objectsPath, 200));
    if (!mirrors.empty() && !signedManifest) {
        LogEvent("manifest mirrors ignored: the manifest is not signed");
        return sources;
    }
    for (const std::string& mirror : mirrors) {
        auto source = sources.size() <= kMaxMirrors ? MirrorSource(mirror, service) : std::nullopt;
        if (source)
            sources.push_back(std::move(*source));
        else
            LogEvent("manifest mirror ignored: " + CleanLogText(mirror, 200));
    }
    return sources;
}

}  // namespace qs
