#pragma once
// Starting other programs, fully detached from the launcher.
#include <filesystem>
#include <string>
#include <vector>

// Starts `executable` with `arguments` in `workingDirectory` as an independent process (own
// session, no inherited descriptors, no zombie left behind). True only when the exec itself
// succeeded; `errorNumber` receives the errno of a failure.
bool StartDetachedProcess(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& workingDirectory,
                          int* errorNumber = nullptr);

// Hands a URL or folder to the desktop (xdg-open), detached. True when the opener started.
bool OpenWithDesktop(const std::string& target);
