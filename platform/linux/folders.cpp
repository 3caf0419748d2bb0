#include "platform/folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qs {

namespace {

std::optional<std::filesystem::path> HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::filesystem::path(home);
    // getpwuid_r, not getpwuid: worker threads ask for folders too.
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384u, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return std::filesystem::path(found->pw_dir);
    return std::nullopt;
}

// XDG: an unset, empty or relative value is ignored in favour of the default under home.
std::optional<std::filesystem::path> XdgFolder(const char* variable, const char* defaultUnderHome) {
    if (const char* value = std::getenv(variable); value && *value == '/')
        return std::filesystem::path(value);
    auto home = HomeFolder();
    if (!home)
        return std::nullopt;
    return *home / defaultUnderHome;
}

}  // namespace

std::optional<std::filesystem::path> RoamingDataFolder() {
    return XdgFolder("XDG_DATA_HOME", ".local/share");
}

std::optional<std::filesystem::path> LocalDataFolder() {
    return XdgFolder("XDG_CONFIG_HOME", ".config");
}

std::optional<std::filesystem::path> RuntimeFolder() {
    if (const char* value = std::getenv("XDG_RUNTIME_DIR"); value && *value == '/')
        return std::filesystem::path(value);
    return std::nullopt;
}

std::filesystem::path TemporaryFolder() {
    if (const char* value = std::getenv("TMPDIR"); value && *value == '/')
        return std::filesystem::path(value);
    return "/tmp";
}

}  // namespace qs
