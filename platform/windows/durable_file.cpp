#include "platform/durable_file.h"

#include <windows.h>

#include <algorithm>
#include <random>
#include <string>

#include "platform/held_file.h"
#include "platform/long_path.h"

namespace qs {

namespace {

int LastErrorCode() {
    const DWORD error = GetLastError();
    return error ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

bool WriteAll(HANDLE file, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        if (!WriteFile(file, bytes, piece, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

// The bytes must be on the disk before the move makes the name point at them.
int FlushFile(const std::filesystem::path& file) {
    const std::filesystem::path name = qs::ForFileCall(file);
    HANDLE handle = INVALID_HANDLE_VALUE;
    const int opened = qs::RetryWhileHeld(
        [&] {
            handle = CreateFileW(name.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            return handle == INVALID_HANDLE_VALUE ? LastErrorCode() : 0;
        },
        IsFileInUseError);
    if (opened != 0)
        return opened;
    int error = FlushFileBuffers(handle) ? 0 : LastErrorCode();
    CloseHandle(handle);
    return error;
}

// A read-only target refuses to be replaced. Only the attribute of a plain file is touched: a link
// is replaced itself, never changed through.
void ClearReadOnly(const std::filesystem::path& file) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY) ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return;
    SetFileAttributesW(file.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

}  // namespace

int MoveOver(const std::filesystem::path& source, const std::filesystem::path& target) {
    const std::filesystem::path from = qs::ForFileCall(source);
    const std::filesystem::path to = qs::ForFileCall(target);
    ClearReadOnly(to);
    return qs::RetryWhileHeld(
        [&] {
            return MoveFileExW(from.c_str(), to.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                       ? 0
                       : LastErrorCode();
        },
        IsFileInUseError);
}

int SyncFolder(const std::filesystem::path&) {
    return 0;  // the written-through move already put the entry on the disk
}

int ReplaceFileDurably(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (int error = FlushFile(source))
        return error;
    return MoveOver(source, target);
}

bool IsFileInUseError(int errorNumber) {
    return errorNumber == ERROR_ACCESS_DENIED || errorNumber == ERROR_SHARING_VIOLATION;
}

int WriteFileDurably(const std::filesystem::path& target, const void* data, std::size_t size) {
    std::random_device random;
    std::filesystem::path temporary = target;
    temporary += ".tmp-" + std::to_string(random());
    HANDLE file = CreateFileW(qs::ForFileCall(temporary).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorCode();
    int error = 0;
    if (!WriteAll(file, data, size) || !FlushFileBuffers(file))
        error = LastErrorCode();
    if (!CloseHandle(file) && !error)
        error = LastErrorCode();
    if (!error)
        error = MoveOver(temporary, target);
    if (error)
        DeleteFileW(qs::ForFileCall(temporary).c_str());
    return error;
}

int MakeExecutable(const std::filesystem::path&) {
    return 0;
}

}  // namespace qs
