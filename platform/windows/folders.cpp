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

// The shell allocates the text at its full length: a profile path of any length fits.
std::optional<std::filesystem::path> KnownFolder(REFKNOWNFOLDERID folder, DWORD flags) {
    wchar_t* raw = nullptr;
    const HRESULT result = SHGetKnownFolderPath(folder, flags, nullptr, &raw);
    // The buffer is the caller's to free even when the call fails.
    std::unique_ptr<wchar_t, TaskMemFree> text(raw);
    if (FAILED(result) || !text)
        return std::nullopt;
    return std::filesystem::path(text.get());
}

}  // namespace

std::optional<std::filesystem::path> RoamingDataFolder() {
    return KnownFolder(FOLDERID_RoamingAppData, KF_FLAG_CREATE);
}

std::optional<std::filesystem::path> LocalDataFolder() {
    return KnownFolder(FOLDERID_LocalAppData, 0);
}

std::optional<std::filesystem::path> RuntimeFolder() {
    return std::nullopt;
}

std::filesystem::path TemporaryFolder() {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    // 0 is a failure; a length past the buffer is the size it needs, terminator included. The
    // variable may change between the calls, hence the loop.
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer);
        }
        buffer.assign(length + 1, L'\0');
    }
    return {};
}

}  // namespace qs
