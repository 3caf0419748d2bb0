#pragma once
// Files looked at one folder at a time through a handle of that folder: every name is looked up
// beneath a folder already opened, so no path is resolved again from the root for each file, and
// no link (Windows: no reparse point, junctions included) is followed, in the folders on the way
// or at the name itself.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/file_io.h"

namespace qs {

enum class EntryKind { Missing, RegularFile, Folder, Link, Other };

struct FolderEntry {
    EntryKind kind = EntryKind::Missing;
    FileStamp stamp;  // set for a regular file only
};

// A name in a folder and what its listing says stands there; a link is never looked through.
struct ListedName {
    std::filesystem::path::string_type name;
    EntryKind kind = EntryKind::Other;
};

class FolderHandle {
public:
    using Name = std::filesystem::path::value_type;  // one name, no separator, NUL-terminated

    FolderHandle() = default;
    ~FolderHandle();
    FolderHandle(FolderHandle&& other) noexcept;
    FolderHandle& operator=(FolderHandle&& other) noexcept;
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    // Opens `folder` itself; links on the way to it are the player's own choice of place and are
    // followed. False when it is not a folder that can be opened.
    bool open(const std::filesystem::path& folder);
    // Opens the folder `name` beneath `parent`, never through a link: false for a link, a file or
    // nothing of that name. On Windows the folder cannot be renamed or removed while it is held.
    bool openChild(const FolderHandle& parent, const Name* name);
    bool isOpen() const { return handle_ != -1; }

    // What stands at `name` in this folder, the name itself looked at.
    FolderEntry look(const Name* name) const;
    // Opens the regular file `name` beneath this folder for reading, never through a link.
    bool openFile(const Name* name, InputFile& file) const;
    // Every name in this folder but "." and "..", as one listing of the folder gives them (on
    // Windows fetched in large batches). False when the folder cannot be listed to its end.
    bool list(std::vector<ListedName>& names) const;
    // Removes the file (or link) `name` in this folder, never a folder; false when it stays.
    bool removeFile(const Name* name) const;
    // Removes the link (Windows: any reparse point, a junction included) at `name` in this
    // folder, the link itself and never what it points to; false when `name` is no link or it
    // stays.
    bool removeLink(const Name* name) const;

private:
    void close();

    std::intptr_t handle_ = -1;   // a descriptor or a HANDLE; -1 is invalid for both
    std::filesystem::path path_;  // Windows names files by their whole path under held folders
};

}  // namespace qs
