#include "platform/private_folder.h"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <optional>
#include <vector>

#include "platform/long_path.h"

namespace qs {

namespace {

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The folder itself, not a link's target; without FILE_SHARE_DELETE nobody can rename or remove it
// while it is held.
HANDLE OpenFolder(const std::filesystem::path& folder) {
    return CreateFileW(qs::ForFileCall(folder).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// 64 random bits as 16 hexadecimal digits; empty when the system has no randomness to give.
std::string RandomHex() {
    unsigned char bytes[8];
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return {};
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

// The folder `folder` names, with every link on the way resolved: a temporary folder moved
// elsewhere by a link is used where it really is, once, instead of being refused.
std::optional<std::filesystem::path> ResolvedFolder(const std::filesystem::path& folder) {
    HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::vector<wchar_t> buffer(32768);
    const DWORD length =
        GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    if (length == 0 || length >= buffer.size())
        return std::nullopt;
    std::wstring path(buffer.data(), length);
    // The shell starts programs from plain paths: "\\?\C:\..." and "\\?\UNC\server\..." lose
    // their prefix.
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0)
        path = path.substr(4);
    return std::filesystem::path(path);
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
    if (!CreateDirectoryW(qs::ForFileCall(folder).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
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

bool PrivateFolder::openFresh(const std::filesystem::path& parent, const std::string& prefix) {
    if (!parent.is_absolute())
        return false;
    const std::optional<std::filesystem::path> resolved = ResolvedFolder(parent);
    if (!resolved)
        return false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string random = RandomHex();
        if (random.empty())
            return false;
        const std::filesystem::path folder = *resolved / (prefix + "-" + random);
        // Made here and now, so never a folder someone else prepared.
        if (!CreateDirectoryW(folder.c_str(), nullptr)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            return false;
        }
        fresh_ = true;
        if (open(folder))
            return true;
        removeFolder();
        return false;
    }
    return false;
}

void PrivateFolder::removeFolder() noexcept {
    if (!fresh_)
        return;
    // Held without delete sharing: let go first.
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
    RemoveDirectoryW(path_.c_str());
}

bool PrivateFolder::createFile(const std::string& name, OutputFile& file) {
    if (handle_ == -1)
        return false;
    const std::filesystem::path target = path_ / name;
    // A running installer from an earlier attempt cannot be removed; creating then fails too.
    DeleteFileW(qs::ForFileCall(target).c_str());
    return file.create(target);
}

void PrivateFolder::removeFile(const std::string& name) noexcept {
    if (handle_ == -1)
        return;
    try {
        DeleteFileW(qs::ForFileCall(path_ / name).c_str());
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
