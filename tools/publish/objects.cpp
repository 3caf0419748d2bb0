#include "tools/publish/objects.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>

namespace qs::publish {

namespace fs = std::filesystem;

namespace {

void SyncFile(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const int result = fd < 0 ? -1 : ::fsync(fd);
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (result != 0)
        throw fs::filesystem_error("fsync", file, std::error_code(error, std::generic_category()));
}

// A link where the file system allows one; else a copy under a scratch name, flushed, then
// renamed, so the name never shows a partial object.
void PlaceObject(const fs::path& source, const fs::path& object) {
    std::error_code error;
    fs::remove(object, error);  // a damaged one (wrong size) goes
    fs::create_hard_link(source, object, error);
    if (!error)
        return;
    const fs::path scratch = object.string() + ".partial";
    fs::copy_file(source, scratch, fs::copy_options::overwrite_existing);
    SyncFile(scratch);
    fs::rename(scratch, object);
}

}  // namespace

fs::path ObjectName(std::string_view sha256) {
    std::string digest(sha256);
    for (char& c : digest)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return fs::path(digest.substr(0, 2)) / digest;
}

namespace {

// Each regular file in the "<xx>" folders of an objects folder, by "<xx>/<sha256>", with its size
// (nullopt when `withSizes` is false, which spares a stat per object).
std::unordered_map<std::string, std::optional<std::uint64_t>> ListObjects(
    const fs::path& objectsDir, bool withSizes) {
    std::unordered_map<std::string, std::optional<std::uint64_t>> objects;
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(objectsDir, error)))
        return objects;
    for (const fs::directory_entry& folder : fs::directory_iterator(objectsDir)) {
        if (folder.is_symlink(error) || !folder.is_directory(error))
            continue;
        const std::string prefix = folder.path().filename().string() + "/";
        for (const fs::directory_entry& entry : fs::directory_iterator(folder.path())) {
            if (entry.is_symlink(error) || !entry.is_regular_file(error))
                continue;
            std::optional<std::uint64_t> size;
            if (withSizes) {
                const std::uint64_t bytes = entry.file_size(error);
                if (error)
                    continue;
                size = bytes;
            }
            objects.emplace(prefix + entry.path().filename().string(), size);
        }
    }
    return objects;
}

}  // namespace

void WriteObjects(const fs::path& liveDir, const fs::path& nextDir,
                  const std::vector<ObjectSource>& sources, std::set<fs::path>& folders) {
    fs::create_directories(nextDir);
    folders.insert(nextDir);
    // The tree being built is the standby, which still holds every object it held when it was
    // served: only what the live tree gained since is linked across, found by listing both, so a
    // republish costs a stat per object rather than a link.
    auto present = ListObjects(nextDir, true);
    for (const auto& [name, unknown] : ListObjects(liveDir, false)) {
        if (present.count(name))
            continue;
        const fs::path target = nextDir / name;
        fs::create_directories(target.parent_path());
        folders.insert(target.parent_path());
        PlaceObject(liveDir / name, target);
        present.emplace(name, fs::file_size(target));
    }
    for (const ObjectSource& source : sources) {
        const fs::path name = ObjectName(source.sha256);
        const auto found = present.find(name.generic_string());
        // An object is its content when its size agrees; one of another size was damaged.
        if (found != present.end() && found->second == source.size)
            continue;
        const fs::path object = nextDir / name;
        fs::create_directories(object.parent_path());
        folders.insert(object.parent_path());
        PlaceObject(source.file, object);
        present[name.generic_string()] = source.size;
    }
}

}  // namespace qs::publish
