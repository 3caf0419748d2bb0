#include "tools/publish/objects.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

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

// An object already there under its digest's name is that content when its size agrees.
bool HasObject(const fs::path& object, std::uint64_t size) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(object, error);
    return !error && fs::is_regular_file(status) && fs::file_size(object, error) == size && !error;
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

void WriteObjects(const fs::path& liveDir, const fs::path& nextDir,
                  const std::vector<ObjectSource>& sources, std::set<fs::path>& folders) {
    fs::create_directories(nextDir);
    folders.insert(nextDir);
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(liveDir, error))) {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(liveDir)) {
            const fs::path target = nextDir / entry.path().lexically_relative(liveDir);
            if (entry.is_directory(error)) {
                fs::create_directories(target);
                folders.insert(target);
            } else if (entry.is_regular_file(error)) {
                PlaceObject(entry.path(), target);
            }
        }
    }
    for (const ObjectSource& source : sources) {
        const fs::path object = nextDir / ObjectName(source.sha256);
        if (HasObject(object, source.size))
            continue;
        fs::create_directories(object.parent_path());
        folders.insert(object.parent_path());
        PlaceObject(source.file, object);
    }
}

}  // namespace qs::publish
