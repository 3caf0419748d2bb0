#include "platform/folders.h"

#include <windows.h>
// windows.h first: the shell headers need its types.
#include <knownfolders.h>
#include <shlobj.h>

#include <memory>

namespace qs {

namespace {

struct TaskMemFree {
    void operator()(wchar_t* text) const { CoTaskMemFree(text); }
};

}  // namespace

std::optional<std::filesystem::path> RoamingDataFolder() {
    wchar_t* raw = nullptr;
    const HRESULT result =
        SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_CREATE, nullptr, &raw);
    // The buffer is the caller's to free even when the call fails.
    std::unique_ptr<wchar_t, TaskMemFree> text(raw);
    if (FAILED(result) || !text)
        return std::nullopt;
    return std::filesystem::path(text.get());
}

std::optional<std::filesystem::path> LocalDataFolder() {
    wchar_t buffer[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return std::nullopt;
    return std::filesystem::path(buffer);
}

std::optional<std::filesystem::path> RuntimeFolder() {
    return std::nullopt;
}

std::filesystem::path TemporaryFolder() {
    wchar_t buffer[260] = {};
    const DWORD length = GetTempPathW(260, buffer);
    // 0 is a failure; a length past the buffer is the size it would have needed.
    if (length == 0 || length >= 260)
        return {};
    return std::filesystem::path(std::wstring(buffer, length));
}

}  // namespace qs
