#include "platform/private_folder.h"

#include <windows.h>

namespace qs {

namespace {

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The folder itself, not a link's target; without FILE_SHARE_DELETE nobody can rename or remove it
// while it is held.
HANDLE OpenFolder(const std::filesystem::path& folder) {
    return CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

// The user's temporary folder lies in the user's profile, which other users cannot enter.
std::filesystem::path UserFolderIn(const std::filesystem::path& temporaryFolder,
                                   const std::string&) {
    return temporaryFolder;
}

PrivateFolder::~PrivateFolder() {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
}

bool PrivateFolder::open(const std::filesystem::path& folder) {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
    path_ = folder;
    if (!folder.is_absolute())
        return false;  // an unresolved temporary folder must not become the working directory
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    HANDLE handle = OpenFolder(folder);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(handle);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

bool PrivateFolder::createFile(const std::string& name, OutputFile& file) {
    if (handle_ == -1)
        return false;
    const std::filesystem::path target = path_ / name;
    // A running installer from an earlier attempt cannot be removed; creating then fails too.
    DeleteFileW(target.c_str());
    return file.create(target);
}

void PrivateFolder::removeFile(const std::string& name) noexcept {
    if (handle_ == -1)
        return;
    try {
        DeleteFileW((path_ / name).c_str());
    } catch (...) {
    }
}

bool PrivateFolder::stillSame() const {
    if (handle_ == -1)
        return false;
    HANDLE byPath = OpenFolder(path_);
    if (byPath == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool same = GetFileInformationByHandle(byPath, &a) &&
                      GetFileInformationByHandle(AsHandle(handle_), &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(byPath);
    return same;
}

}  // namespace qs
