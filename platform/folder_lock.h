#pragma once
// An exclusive, non-blocking lock on a folder, held until the object goes away or the process
// ends (a crash never leaves it taken). It also excludes another holder in the same process.
#include <cstdint>
#include <filesystem>

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

    // Linux: flock on the folder itself, so no file is added to it. Windows: an unshared,
    // delete-on-close file "quillon-update.lock" in the folder.
    Outcome tryLock(const std::filesystem::path& folder);

private:
    std::intptr_t handle_ = -1;
};
