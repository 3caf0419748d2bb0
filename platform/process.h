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

// Whether a start that failed with `errorNumber` must go through the desktop shell instead:
// Windows' ERROR_ELEVATION_REQUIRED (740), a program whose manifest asks for administrator rights,
// which StartDetachedProcess then does itself. Never on Linux.
bool NeedsShellStart(int errorNumber);

// The window that owns the dialogs a start may show (Windows: the elevation prompt); null: none.
// Set by the shell once its window exists.
void SetDialogOwnerWindow(void* window);

// How the start of an installer ended. Declined: the user said no to the elevation prompt.
enum class InstallerStart { Started, Declined, Failed };

// Starts a downloaded installer with `arguments` (UTF-8), detached, through the desktop shell
// where it has one (Windows may ask the user to allow elevation, in a prompt owned by the
// launcher's window).
InstallerStart StartInstaller(const std::filesystem::path& installer,
                              const std::vector<std::string>& arguments);

// Hands a URL or folder (UTF-8) to the desktop's opener, detached. True when the opener took it.
bool OpenWithDesktop(const std::string& target);

}  // namespace qs
