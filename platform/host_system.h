#pragma once
// The system a build is for, as a value: texts whose form follows the system's conventions are
// chosen by small functions that take it, so both forms can be checked on either system.
#include <string_view>

namespace qs {

enum class HostSystem { Linux, Windows };

#ifdef _WIN32
inline constexpr HostSystem kHostSystem = HostSystem::Windows;
#else
inline constexpr HostSystem kHostSystem = HostSystem::Linux;
#endif

// The line end of the system's text files.
constexpr std::string_view TextLineEnd(HostSystem system) {
    return system == HostSystem::Windows ? "\r\n" : "\n";
}

}  // namespace qs
