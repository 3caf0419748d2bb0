#pragma once
// Where a run fetches client files from: the service's own paths, a content-addressed base on the
// service (the manifest's "objects"), and, for signed manifests only, further bases on other hosts
// (its "mirrors"). Every byte from any of them is proven by the manifest's digest.
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/service.h"

namespace qs {

// At most this many mirrors are taken from a manifest; the rest are ignored.
inline constexpr std::size_t kMaxMirrors = 8;
// Longest objects path or mirror URL accepted.
inline constexpr std::size_t kMaxBaseLength = 512;

// One base files come from. `objectsPath` empty: "/updater/files/<path>" on `endpoint`, as
// services before content addresses serve them; else "<objectsPath><xx>/<sha256>".
struct FileSource {
    ServiceEndpoint endpoint;
    std::string objectsPath;
};

// A path on a host under which objects are named by their digest: starts and ends with '/',
// printable ASCII of the URL path set, no "." or ".." segment, no empty segment, no query or
// fragment, at most kMaxBaseLength.
bool IsObjectsPath(std::string_view path);

// "https://host[:port]/path/" as a base on another host that trusts what `service` trusts; nullopt
// for anything else (another scheme, user info, a host of other characters, a bad port or path).
std::optional<FileSource> MirrorSource(std::string_view url, const ServiceEndpoint& service);

// The URL of a file at `source`: by its digest under an objects path, else by its manifest path.
// Throws "Manifest has an unsafe download path" as DownloadUrlPath does.
std::wstring FileUrl(const FileSource& source, std::string_view relativePath,
                     std::string_view checksum);

// The bases of one run, its own service first, and which of them failed during it: a base that
// failed a file is avoided by every later one. Shared by the run's transfer threads.
class FileSources {
public:
    explicit FileSources(std::vector<FileSource> sources);
    // Only the service, at "/updater/files/".
    static FileSources OwnService(const ServiceEndpoint& service);

    std::size_t size() const { return sources_.size(); }
    const FileSource& at(std::size_t index) const { return sources_[index]; }
    // Where a file with `checksum` starts: its digest spreads files over the bases still working,
    // the same file always on the same base (so caches in front of each see each file once).
    std::size_t first(std::string_view checksum) const;
    // The base after `current` that has not failed, or nullopt when none is left.
    std::optional<std::size_t> next(std::size_t current) const;
    void markFailed(std::size_t index);
    bool failed(std::size_t index) const;

private:
    std::vector<FileSource> sources_;
    std::unique_ptr<std::atomic<bool>[]> failed_;
};

// The bases a manifest names: the service at `objectsPath` when that is an objects path (else at
// its old paths), then each well-formed mirror, but only when `signedManifest` (an unsigned one
// could send downloads to any host). Ill-formed entries are logged and left out.
std::vector<FileSource> SourcesOfManifest(const ServiceEndpoint& service,
                                          const std::optional<std::string>& objectsPath,
                                          const std::vector<std::string>& mirrors,
                                          bool signedManifest);

}  // namespace qs
