#pragma once
// Paths past MAX_PATH. Windows refuses a plain path longer than 260 characters unless a system
// switch (off by default) and the program's manifest both allow it; the extended-length form
// ("\\?\C:\..." or "\\?\UNC\server\share\...") works everywhere, so every Windows file call
// takes its path through ForFileCall.
#include <filesystem>
#include <string>
#include <string_view>

namespace qs {

// The extended-length form of a Windows path: a drive path ("C:\..." or "C:/...") or a UNC path
// ("\\server\share\...") gets its prefix, with '/' turned into '\' and "." and ".." resolved by
// name, as the prefix turns off the system's own clean-up. Already prefixed, device, relative and
// drive-relative paths come back unchanged. Pure text work, the same on every system.
std::wstring ExtendedLengthPath(std::wstring_view path);

// The path a file call of this system takes: ExtendedLengthPath on Windows, `path` itself on
// Linux. Only for the call itself: shown and stored paths keep their plain form.
std::filesystem::path ForFileCall(const std::filesystem::path& path);

}  // namespace qs
