#pragma once
// Content-addressed copies of the published files: OUT_DIR/updater/objects/<xx>/<sha256>, xx being
// the digest's first two hex digits. A name never changes its bytes, so caches may keep an object
// for a year; the manifest's "objects" names the base for launchers that know it, and the tree
// keeps updater/files/<path> for those that do not. No publish removes an object.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "update/digest.h"

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

// What the objects folders of the standby (each object with its size) and of the served tree (names
// only) hold. Listed while the rest of a publish goes on: it depends on nothing a publish changes
// before WriteObjects.
struct ObjectKeyHash {
    std::size_t operator()(const DigestBytes& key) const {
        std::size_t hash = 0;
        std::memcpy(&hash, key.data(), sizeof hash);  // a digest's bytes are already spread
        return hash;
    }
};
using ObjectSizes = std::unordered_map<DigestBytes, std::uint64_t, ObjectKeyHash>;
struct ObjectInventory {
    ObjectSizes standby;
    ObjectSizes live;
};
ObjectInventory ListObjects(const std::filesystem::path& liveDir,
                            const std::filesystem::path& nextDir);

// Fills `nextDir` (the objects folder of the tree being built, which keeps what it held): every
// object of `liveDir` (the served tree's) it lacks is linked across, then each source becomes its
// object unless one of its size is there already, by a hard link to the source, else a copy made
// durable. `inventory` is what ListObjects found in both. The folders created or changed are
// added to `folders`, for the caller to make durable before the manifest.
void WriteObjects(const std::filesystem::path& liveDir, const std::filesystem::path& nextDir,
                  ObjectInventory inventory, const std::vector<ObjectSource>& sources,
                  std::set<std::filesystem::path>& folders);

}  // namespace qs::publish
