#pragma once
// Launcher self-update: the release check against "/updater/launcher/latest.json" and the
// download, verification and start of the installer it names.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/service.h"
#include "platform/private_folder.h"  // IsPrivateFolder
#include "update/update_run.h"

namespace qs {

// Asks the main window to close; thread-safe (the shell pushes an SDL quit event).
using WindowCloser = std::function<void()>;

// The launcher's own version; the release check always compares against this text.
extern const char* const LauncherVersion;  // "v1.0.8"

struct LauncherRelease {
    bool updateAvailable = false;
    std::wstring version;
    std::wstring url;
    std::wstring sha256;
    std::wstring changelog;
    std::wstring error;  // non-empty: every other field is at its default
};

// Where the self-update talks to and writes; the defaults are the built-in service and the
// system's temporary folder.
struct SelfUpdateTarget {
    ServiceEndpoint service = BuiltInService();
    std::filesystem::path temporaryFolder;  // empty: TemporaryFolder()
    std::uint64_t installerMaxBytes = std::uint64_t{1}
                                      << 30;  // an endless body must not fill the disk
    // Once it reads true, a request under way ends with "Update cancelled." within about a second.
    const std::atomic<bool>* cancel = nullptr;
    // Bytes per second for the installer, read as it comes in; null or 0: no limit.
    const std::atomic<std::uint64_t>* speedLimit = nullptr;
    // Signed updates (a key in `service`): the highest release document serial accepted so far.
    std::filesystem::path serialRecord = {};
};

// Never throws; every failure is returned in `error`. With a key in `service`, the release
// document must be signed, not expired, and its serial not below the one in `serialRecord`
// (which it then becomes).
LauncherRelease CheckLauncherRelease(const ServiceEndpoint& service = BuiltInService(),
                                     const std::atomic<bool>* cancel = nullptr,
                                     const std::filesystem::path& serialRecord = {});

// -1, 0 or 1 for a older than, equal to or newer than b. One leading lower-case 'v' is ignored.
int CompareVersions(const std::wstring& a, const std::wstring& b);

// The dot-separated pieces, each read like the C library's decimal conversion: leading blanks,
// an optional sign, digits up to the first other character, saturated to the 32-bit range.
std::vector<std::int32_t> ParseVersionNumbers(const std::wstring& text);

// "QuillonSagaLauncher-Update.exe"
extern const char* const InstallerFileName;
// The four switches that make the installer close, replace and restart the launcher silently.
const std::vector<std::string>& InstallerArguments();
// The folder inside the temporary folder that holds the installer, reachable by this user only.
std::filesystem::path InstallerFolder(const std::filesystem::path& temporaryFolder);

// Downloads, verifies and starts the installer; never throws.
UpdateResult InstallLauncherUpdate(const LauncherRelease& release,
                                   const SelfUpdateTarget& target = {});

// Worker body of a launcher release check and installer hand-off. Writes its final text to
// `statusText` and how it ended to `outcome` (when given) under `statusMutex`, clears `busy`, and
// on a started installer calls `window`.
void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText, RunOutcome* outcome,
                        std::atomic<bool>* busy, const WindowCloser* window);
void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText, RunOutcome* outcome,
                        std::atomic<bool>* busy, const WindowCloser* window,
                        const SelfUpdateTarget& target);

}  // namespace qs
