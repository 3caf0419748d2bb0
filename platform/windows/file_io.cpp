#include "platform/file_io.h"

#include <windows.h>

#include <algorithm>

#include "platform/durable_file.h"
#include "platform/held_file.h"
#include "platform/long_path.h"

namespace qs {

namespace {

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

constexpr std::size_t kLargestCall = 1u << 30;  // ReadFile and WriteFile take 32-bit sizes

// 100 ns steps since 1601 to nanoseconds since 1970.
std::int64_t UnixNanoseconds(std::int64_t fileTime) {
    return (fileTime - 116444736000000000LL) * 100;
}

std::uint64_t Whole(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

// A regular file is a disk file that is neither a folder nor a link (reparse point).
std::optional<FileState> HandleState(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    return FileState{info.dwVolumeSerialNumber, Whole(info.nFileIndexHigh, info.nFileIndexLow),
                     Whole(info.nFileSizeHigh, info.nFileSizeLow),
                     UnixNanoseconds(basic.LastWriteTime.QuadPart),
                     UnixNanoseconds(basic.ChangeTime.QuadPart)};
}

// Takes an opened handle into `slot` only when it reaches a regular file; anything else is closed.
bool KeepIfRegular(HANDLE handle, std::intptr_t& slot) {
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (!HandleState(handle)) {
        CloseHandle(handle);
        return false;
    }
    slot = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

}  // namespace

std::optional<FileStamp> StampOfFile(const std::filesystem::path& file) {
    HANDLE handle = CreateFileW(qs::ForFileCall(file).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::optional<FileStamp> stamp;
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        stamp = FileStamp{
            Whole(info.nFileSizeHigh, info.nFileSizeLow),
            UnixNanoseconds(static_cast<std::int64_t>(
                Whole(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime))),
            UnixNanoseconds(basic.ChangeTime.QuadPart), info.dwVolumeSerialNumber,
            Whole(info.nFileIndexHigh, info.nFileIndexLow)};
    }
    CloseHandle(handle);
    return stamp;
}

std::optional<FileState> RegularFileState(const std::filesystem::path& file) {
    HANDLE handle =
        CreateFileW(qs::ForFileCall(file).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::optional<FileState> state = HandleState(handle);
    CloseHandle(handle);
    return state;
}

InputFile::~InputFile() {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
}

std::optional<std::uint64_t> FreeDiskBytes(const std::filesystem::path& folder) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(qs::ForFileCall(folder).c_str(), &available, nullptr, nullptr))
        return std::nullopt;
    return available.QuadPart;
}

bool InputFile::open(const std::filesystem::path& file, bool followLinks) {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
    // A folder fails here (no FILE_FLAG_BACKUP_SEMANTICS), which callers treat as no content.
    HANDLE handle = CreateFileW(
        qs::ForFileCall(file).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
        nullptr);
    return KeepIfRegular(handle, handle_);
}

std::optional<FileState> InputFile::state() const {
    return handle_ == -1 ? std::nullopt : HandleState(AsHandle(handle_));
}

std::int64_t InputFile::read(void* buffer, std::size_t size) {
    if (handle_ == -1)
        return -1;
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), buffer, static_cast<DWORD>(std::min(size, kLargestCall)), &got,
                  nullptr))
        return -1;
    return got;
}

bool InputFile::makeExecutable() {
    return handle_ != -1;  // no execute bit to set
}

OutputFile::~OutputFile() {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
}

bool OutputFile::create(const std::filesystem::path& file) {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
    // Opened as the link itself, then refused, so a planted link never redirects the write.
    HANDLE handle = CreateFileW(qs::ForFileCall(file).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        !SetEndOfFile(handle)) {
        CloseHandle(handle);
        return false;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

bool OutputFile::createNew(const std::filesystem::path& file) {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
    // CREATE_NEW fails on any existing name, a link included; readers may look, writers may not.
    HANDLE handle =
        CreateFileW(qs::ForFileCall(file).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return true;
}

bool OutputFile::openToAppend(const std::filesystem::path& file) {
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
    handle_ = -1;
    // A scanner that opened the download just after it was written holds it for a moment.
    const std::filesystem::path name = qs::ForFileCall(file);
    HANDLE handle = INVALID_HANDLE_VALUE;
    qs::RetryWhileHeld(
        [&] {
            handle = CreateFileW(
                name.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            return handle == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
        },
        IsFileInUseError);
    return KeepIfRegular(handle, handle_);
}

std::optional<FileState> OutputFile::state() const {
    return handle_ == -1 ? std::nullopt : HandleState(AsHandle(handle_));
}

std::optional<FileState> OutputFile::finishedState() {
    if (handle_ == -1)
        return std::nullopt;
    // -1: no further updates of these times through this handle, its close included. Should
    // the file system refuse, a moved time only fails the later checks, never passes one.
    FILE_BASIC_INFO keep{};
    keep.LastWriteTime.QuadPart = -1;
    keep.ChangeTime.QuadPart = -1;
    SetFileInformationByHandle(AsHandle(handle_), FileBasicInfo, &keep, sizeof keep);
    return HandleState(AsHandle(handle_));
}

bool OutputFile::write(const void* data, std::size_t size) {
    if (handle_ == -1)
        return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(AsHandle(handle_), bytes, static_cast<DWORD>(std::min(size, kLargestCall)),
                       &written, nullptr) ||
            written == 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

bool OutputFile::sync() {
    return handle_ != -1 && FlushFileBuffers(AsHandle(handle_)) != 0;
}

bool VolumeSyncAvailable() {
    return false;  // flushing a whole volume takes an administrator's handle to it
}

bool OutputFile::syncVolume() {
    return false;
}

void OutputFile::startWriteback() {
    // The cache manager's lazy writer already writes behind; FlushFileBuffers would wait.
}

bool OutputFile::close() {
    if (handle_ == -1)
        return false;
    HANDLE handle = AsHandle(handle_);
    handle_ = -1;
    return CloseHandle(handle) != 0;
}

}  // namespace qs
