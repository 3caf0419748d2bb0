#include "platform/running_programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <string_view>

namespace qs {
namespace {

// A script's path sits near the start of its interpreter's command line; more is not read.
constexpr std::size_t kCommandLineLimit = 64 * 1024;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsProcessFolder(const char* name) {
    if (!*name)
        return false;
    for (const char* c = name; *c; ++c)
        if (!std::isdigit(static_cast<unsigned char>(*c)))
            return false;
    return true;
}

std::string ReadCommandLine(const std::string& processFolder) {
    std::string text;
    const int fd = open((processFolder + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    while (text.size() < kCommandLineLimit) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

// An interpreter's argument that names `target`: only those ending in its file name are looked
// up, a relative one from the process's own working folder.
bool ArgumentNamesTarget(std::string_view argument, const std::string& processFolder,
                         const std::string& fileName, const struct stat& target) {
    const std::filesystem::path named{std::string(argument)};
    if (named.filename() != fileName)
        return false;
    const std::string resolved =
        named.is_absolute() ? named.string() : processFolder + "/cwd/" + named.string();
    struct stat found {};
    return stat(resolved.c_str(), &found) == 0 && SameFile(found, target);
}

bool ProcessRuns(const std::string& processFolder, const std::string& fileName,
                 const struct stat& target) {
    struct stat image {};
    if (stat((processFolder + "/exe").c_str(), &image) == 0 && SameFile(image, target))
        return true;
    const std::string commandLine = ReadCommandLine(processFolder);
    // The first argument is the interpreter itself; its image was compared above.
    std::size_t at = commandLine.find('\0');
    while (at != std::string::npos && at + 1 < commandLine.size()) {
        const std::size_t end = commandLine.find('\0', at + 1);
        const std::string_view argument =
            std::string_view(commandLine)
                .substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        if (ArgumentNamesTarget(argument, processFolder, fileName, target))
            return true;
        at = end;
    }
    return false;
}

}  // namespace

bool ProgramIsRunning(const std::filesystem::path& executable) {
    struct stat target {};
    if (stat(executable.c_str(), &target) != 0)
        return false;
    DIR* processes = opendir("/proc");
    if (!processes)
        return false;
    const std::string fileName = executable.filename().string();
    bool running = false;
    while (!running) {
        const dirent* entry = readdir(processes);
        if (!entry)
            break;
        if (IsProcessFolder(entry->d_name))
            running = ProcessRuns(std::string("/proc/") + entry->d_name, fileName, target);
    }
    closedir(processes);
    return running;
}

}  // namespace qs
