#include "platform/folder_lock.h"

#include <windows.h>

namespace qs {

const char* FolderLockFileName() {
    return "quillon-update.lock";
}

FolderLock::~FolderLock() {
    if (handle_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

FolderLock::Outcome FolderLock::tryLock(const std::filesystem::path& folder) {
    if (handle_ != -1)
        return Outcome::Locked;
    // No sharing: every other open of the file fails while it is held, and the system deletes it
    // when the last handle closes, also after a crash.
    const std::filesystem::path lockFile = folder / FolderLockFileName();
    HANDLE handle =
        CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A file whose last holder is closing it is delete-pending and refuses access meanwhile.
        const bool heldElsewhere =
            error == ERROR_SHARING_VIOLATION ||
            (error == ERROR_ACCESS_DENIED &&
             GetFileAttributesW(lockFile.c_str()) != INVALID_FILE_ATTRIBUTES);
        return heldElsewhere ? Outcome::Busy : Outcome::Failed;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return Outcome::Locked;
}

}  // namespace qs
