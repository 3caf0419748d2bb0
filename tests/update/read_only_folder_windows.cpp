#include <windows.h>

#include "read_only_folder.h"

std::vector<void*> HoldFilesOpen(const std::filesystem::path& folder) {
    std::vector<void*> handles;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".download")
            continue;
        HANDLE handle = CreateFileW(entry.path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            ReleaseFiles(handles);
            return handles;
        }
        handles.push_back(handle);
    }
    if (error)
        ReleaseFiles(handles);
    return handles;
}

void ReleaseFiles(std::vector<void*>& handles) {
    for (void* handle : handles)
        CloseHandle(handle);
    handles.clear();
}

void* HoldFileUnshared(const std::filesystem::path& file) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}
