#include "platform/running_programs.h"

#include <windows.h>
// windows.h first: tlhelp32.h needs its types.
#include <tlhelp32.h>

#include <optional>
#include <string>
#include <vector>

namespace qs {
namespace {

// A file by identity: a path spelled differently (case, short names, a prefix) is the same file.
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const wchar_t* path) {
    // No access asked: a running image can always be opened this way.
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = GetFileInformationByHandle(file, &information) != FALSE;
    CloseHandle(file);
    if (!known)
        return std::nullopt;
    return FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh,
                        information.nFileIndexLow};
}

// The full path of a process's image; empty when the process cannot be asked.
std::wstring ImagePathOf(DWORD processId) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (!process)
        return {};
    // Long enough for any path the system allows, so no name is ever cut short.
    std::vector<wchar_t> buffer(32768);
    DWORD length = static_cast<DWORD>(buffer.size());
    const bool known = QueryFullProcessImageNameW(process, 0, buffer.data(), &length) != FALSE;
    CloseHandle(process);
    return known ? std::wstring(buffer.data(), length) : std::wstring();
}

bool SameFileName(const std::wstring& path, const std::wstring& fileName) {
    const std::wstring name = std::filesystem::path(path).filename().native();
    return CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), fileName.c_str(),
                                static_cast<int>(fileName.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool ProgramIsRunning(const std::filesystem::path& executable) {
    const std::optional<FileIdentity> target = IdentityOf(executable.c_str());
    if (!target)
        return false;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    const std::wstring fileName = executable.filename().native();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == 0 || entry.th32ProcessID == GetCurrentProcessId())
            continue;
        // Only an image of the same name is opened to compare identities.
        const std::wstring image = ImagePathOf(entry.th32ProcessID);
        running =
            !image.empty() && SameFileName(image, fileName) && IdentityOf(image.c_str()) == target;
    }
    CloseHandle(snapshot);
    return running;
}

}  // namespace qs
