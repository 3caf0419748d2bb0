#pragma once
// An exclusive, non-blocking lock on a folder, held until the object goes away or the process
// ends (a crash never leaves it taken). It also excludes another holder in the same process.
#include <cstdint>
#include <filesystem>

namespace qs {

// The name of the lock file FolderLock keeps in a folder while it holds the lock: no file of the
// folder's own may take it.
const char* FolderLockFileName();

class FolderLock {
public:
    enum class Outcome {
        Locked,  // this object holds the lock
        Busy,    // another holder has it
        Failed,  // the folder cannot carry a lock (missing, unreadable, unwritable)
    };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // A lock file in the folder that only this user can open, so another local user who can
    // merely read the folder cannot hold the lock: Linux: ".quillon-update.lock", created 0600
    // and locked with flock, removed when released; Windows: an unshared, delete-on-close
    // "quillon-update.lock". A lock file of anyone else, or a link in its place, is replaced.
    Outcome tryLock(const std::filesystem::path& folder);

private:
    std::intptr_t handle_ = -1;
    std::intptr_t folder_ = -1;  // Linux: the folder, for removing the lock file on release
};

}  // namespace qs
