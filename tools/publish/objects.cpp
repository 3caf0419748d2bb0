#include "tools/publish/objects.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unordered_map>

#include "update/digest.h"

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

constexpr std::uint64_t kSizeUnknown = ~std::uint64_t{0};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// The folder `name` beneath the open folder `parent`, never through a link; null if none.
Dir OpenFolderAt(int parent, const char* name) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR* dir = ::fdopendir(fd);
    if (!dir)
        ::close(fd);
    return Dir(dir);
}

// Every object (a regular file named by its digest) in the "<xx>" folders of an objects folder,
// with its size when `withSizes` (else kSizeUnknown, which spares a stat). Read through folder
// handles, with no path built per object: a large client has one object per file.
ObjectSizes ListFolder(const fs::path& objectsDir, bool withSizes) {
    ObjectSizes objects;
    Dir top = OpenFolderAt(AT_FDCWD, objectsDir.c_str());
    if (!top)
        return objects;
    while (const dirent* folder = ::readdir(top.get())) {
        // "<xx>": two hex digits, which "." and ".." are not.
        const char* prefix = folder->d_name;
        if (std::strlen(prefix) != 2 || HexDigitValue(prefix[0]) < 0 ||
            HexDigitValue(prefix[1]) < 0)
            continue;
        const auto first =
            static_cast<unsigned char>(HexDigitValue(prefix[0]) * 16 + HexDigitValue(prefix[1]));
        Dir inner = OpenFolderAt(::dirfd(top.get()), folder->d_name);
        if (!inner)
            continue;
        while (const dirent* entry = ::readdir(inner.get())) {
            const std::optional<DigestBytes> key = DigestFromText(entry->d_name);
            if (!key || (*key)[0] != first)  // elsewhere than its name says: not served
                continue;
            std::uint64_t size = kSizeUnknown;
            if (withSizes || entry->d_type == DT_UNKNOWN) {
                struct stat info {};
                if (::fstatat(::dirfd(inner.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) !=
                        0 ||
                    !S_ISREG(info.st_mode))
                    continue;
                if (withSizes)
                    size = static_cast<std::uint64_t>(info.st_size);
            } else if (entry->d_type != DT_REG) {
                continue;
            }
            objects.emplace(*key, size);
        }
    }
    return objects;
}

}  // namespace

ObjectInventory ListObjects(const fs::path& liveDir, const fs::path& nextDir) {
    return {ListFolder(nextDir, true), ListFolder(liveDir, false)};
}

void WriteObjects(const fs::path& liveDir, const fs::path& nextDir, ObjectInventory inventory,
                  const std::vector<ObjectSource>& sources, std::set<fs::path>& folders) {
    fs::create_directories(nextDir);
    folders.insert(nextDir);
    // The tree being built is the standby, which still holds every object it held when it was
    // served: only what the live tree gained since is linked across, so a republish costs a stat
    // per object rather than a link.
    ObjectSizes& present = inventory.standby;
    present.reserve(present.size() + sources.size());
    for (const auto& [key, unknown] : inventory.live) {
        if (present.count(key))
            continue;
        std::string hex;
        AppendDigestText(hex, key);
        const fs::path name = ObjectName(hex);
        fs::create_directories((nextDir / name).parent_path());
        folders.insert((nextDir / name).parent_path());
        PlaceObject(liveDir / name, nextDir / name);
        present.emplace(key, fs::file_size(nextDir / name));
    }
    for (const ObjectSource& source : sources) {
        const std::optional<DigestBytes> key = DigestFromText(source.sha256);
        if (!key)
            throw std::runtime_error("not a SHA-256 digest: " + source.sha256);
        const auto found = present.find(*key);
        // An object is its content when its size agrees; one of another size was damaged.
        if (found != present.end() && found->second == source.size)
            continue;
        const fs::path object = nextDir / ObjectName(source.sha256);
        fs::create_directories(object.parent_path());
        folders.insert(object.parent_path());
        PlaceObject(source.file, object);
        present[*key] = source.size;
    }
}

}  // namespace qs::publish
