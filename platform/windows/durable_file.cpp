#include "platform/durable_file.h"

#include <windows.h>

#include <algorithm>
#include <random>
#include <string>

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
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return LastErrorCode();
    int error = FlushFileBuffers(handle) ? 0 : LastErrorCode();
    CloseHandle(handle);
    return error;
}

}  // namespace

int MoveOver(const std::filesystem::path& source, const std::filesystem::path& target) {
    if (!MoveFileExW(source.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return LastErrorCode();
    return 0;
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
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
        DeleteFileW(temporary.c_str());
    return error;
}

int MakeExecutable(const std::filesystem::path&) {
    return 0;
}

}  // namespace qs
