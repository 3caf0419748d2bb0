#pragma once
// Content-addressed copies of the published files: OUT_DIR/updater/objects/<xx>/<sha256>, xx being
// the digest's first two hex digits. A name never changes its bytes, so caches may keep an object
// for a year; the manifest's "objects" names the base for launchers that know it, and the tree
// keeps updater/files/<path> for those that do not. No publish removes an object.
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qs::publish {

// The base the manifest names, a path on the service host.
inline constexpr char kObjectsBase[] = "/updater/objects/";

// "<xx>/<sha256>" below the objects folder, in lower-case hex.
std::filesystem::path ObjectName(std::string_view sha256);

// One published file: where it lies in the tree being built, and what it is.
struct ObjectSource {
    std::filesystem::path file;
    std::string sha256;
    std::uint64_t size = 0;
};

// Fills `nextDir` (the objects folder of the tree being built, which keeps what it held): every
// object of `liveDir` (the served tree's) it lacks is linked across, then each source becomes its
// object unless one of its size is there already, by a hard link to the source, else a copy made
// durable. The folders created or
// changed are added to `folders`, for the caller to make durable before the manifest.
void WriteObjects(const std::filesystem::path& liveDir, const std::filesystem::path& nextDir,
                  const std::vector<ObjectSource>& sources,
                  std::set<std::filesystem::path>& folders);

}  // namespace qs::publish
