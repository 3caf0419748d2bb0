#pragma once
// Starting other programs, fully detached from the launcher.
#include <filesystem>
#include <string>
#include <vector>

namespace qs {

// Starts `executable` with `arguments` (UTF-8) in `workingDirectory` as an independent process
// that outlives the launcher and inherits none of its handles or descriptors. True only when the
// process was created; `errorNumber` receives the platform error code of a failure (errno on
// Linux, GetLastError on Windows).
bool StartDetachedProcess(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& workingDirectory,
                          int* errorNumber = nullptr);

// Starts a downloaded installer with `arguments` (UTF-8), detached, through the desktop shell
// where it has one (Windows may ask the user to allow elevation). True when it started.
bool StartInstaller(const std::filesystem::path& installer,
                    const std::vector<std::string>& arguments);

// Hands a URL or folder (UTF-8) to the desktop's opener, detached. True when the opener took it.
bool OpenWithDesktop(const std::string& target);

}  // namespace qs
