#pragma once
#include <filesystem>
#include <string>

#include "net/client_location.h"

namespace qs {

// Whether the client executable can be seen; any failure to tell (no data folder, denied
// access) counts as absence, so the interface offers an update instead of Play.
bool ClientExecutablePresent();

// Starts the client detached with no arguments and the given working folder. True only when
// the executable itself was started; otherwise `error` = "Could not start QSClient.exe.".
bool LaunchClient(const std::filesystem::path& executable,
                  const std::filesystem::path& workingDirectory, std::wstring& error);

}  // namespace qs
