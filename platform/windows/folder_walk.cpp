#include "platform/folder_walk.h"

#include <windows.h>

#include <string_view>
#include <utility>

#include "platform/long_path.h"

namespace qs {

namespace {

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

std::uint64_t Whole(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// 100 ns steps since 1601 to nanoseconds since 1970.
std::int64_t UnixNanoseconds(std::int64_t fileTime) {
    return (fileTime - 116444736000000000LL) * 100;
}

std::wstring Beneath(const std::filesystem::path& folder, const wchar_t* name) {
    std::wstring whole = folder.native();
    if (!whole.empty() && whole.back() != L'\\' && whole.back() != L'/')
        whole += L'\\';
    return whole += name;
}

// The name itself, a reparse point not followed; without FILE_SHARE_DELETE when `hold`, so that
// nobody renames or removes it while the handle is open.
HANDLE OpenName(const std::wstring& whole, bool hold) {
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (hold ? 0 : FILE_SHARE_DELETE);
    return CreateFileW(whole.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool IsPlainFolder(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

FolderHandle::~FolderHandle() {
    close();
}

FolderHandle::FolderHandle(FolderHandle&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), path_(std::move(other.path_)) {}

FolderHandle& FolderHandle::operator=(FolderHandle&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

void FolderHandle::close() {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
}

bool FolderHandle::open(const std::filesystem::path& folder) {
    close();
    // The folder itself may be reached through a junction; nothing beneath it will be. Names
    // beneath it are joined to the extended-length form, so a deep client works past MAX_PATH.
    const std::filesystem::path whole = ForFileCall(folder);
    HANDLE handle =
        CreateFileW(whole.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(handle);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    path_ = whole;
    return true;
}

bool FolderHandle::openChild(const FolderHandle& parent, const Name* name) {
    close();
    if (parent.handle_ == -1)
        return false;
    // Held without delete sharing, every folder of the chain keeps its name while files beneath
    // it are looked at by their whole path.
    std::wstring whole = Beneath(parent.path_, name);
    HANDLE handle = OpenName(whole, true);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (!IsPlainFolder(handle)) {
        CloseHandle(handle);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    path_ = std::move(whole);
    return true;
}

FolderEntry FolderHandle::look(const Name* name) const {
    if (handle_ == -1)
        return {};
    HANDLE handle = OpenName(Beneath(path_, name), false);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    FolderEntry entry;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(handle, &info)) {
        entry.kind = EntryKind::Other;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        entry.kind = EntryKind::Link;
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        entry.kind = EntryKind::Folder;
    } else if (GetFileType(handle) != FILE_TYPE_DISK ||
               !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        entry.kind = EntryKind::Other;
    } else {
        entry.kind = EntryKind::RegularFile;
        // As StampOfFile takes it, so a record made either way compares equal.
        entry.stamp = FileStamp{
            Whole(info.nFileSizeHigh, info.nFileSizeLow),
            UnixNanoseconds(static_cast<std::int64_t>(
                Whole(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime))),
            UnixNanoseconds(basic.ChangeTime.QuadPart), info.dwVolumeSerialNumber,
            Whole(info.nFileIndexHigh, info.nFileIndexLow)};
    }
    CloseHandle(handle);
    return entry;
}

bool FolderHandle::openFile(const Name* name, InputFile& file) const {
    if (handle_ == -1)
        return false;
    return file.open(Beneath(path_, name), false);
}

bool FolderHandle::list(std::vector<ListedName>& names) const {
    names.clear();
    if (handle_ == -1)
        return false;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW(Beneath(path_, L"*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const DWORD attributes = found.dwFileAttributes;
        const EntryKind kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryKind::Link
                               : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? EntryKind::Folder
                               : (attributes & FILE_ATTRIBUTE_DEVICE)      ? EntryKind::Other
                                                                           : EntryKind::RegularFile;
        names.push_back({std::wstring(name), kind});
    } while (FindNextFileW(search, &found));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return complete;
}

bool FolderHandle::removeFile(const Name* name) const {
    return handle_ != -1 && DeleteFileW(Beneath(path_, name).c_str());
}

bool FolderHandle::removeLink(const Name* name) const {
    if (handle_ == -1)
        return false;
    // Opened as the reparse point itself and removed through that same handle, so what is
    // removed is what was found to be a link, and never the folder it leads to.
    HANDLE handle =
        CreateFileW(Beneath(path_, name).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool removed =
        GetFileInformationByHandle(handle, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(handle);
    return removed;
}

}  // namespace qs
