#pragma once
// Scratch folders, small file helpers and environment overrides for tests.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

// A fresh folder under the temporary folder, removed with everything in it (read-only
// subfolders included) on destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Whether std::filesystem can make symbolic links here (mingw's runtime cannot).
#ifdef _WIN32
inline constexpr bool kCanMakeLinks = false;
#else
inline constexpr bool kCanMakeLinks = true;
#endif

// `size` bytes that look random, the same for the same seed.
std::string RandomBytes(std::size_t size, std::uint64_t seed);

// Whether this Windows build runs under Wine, whose WinHTTP differs from Windows in a few
// documented behaviours the tests name where they allow for it.
bool RunningUnderWine();

// Writes `content` to `file`, creating its parent folders; throws when it cannot.
void WriteFile(const std::filesystem::path& file, const std::string& content);
// The file's bytes, or "<missing>" when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);
// Writes `content` dated an hour back: old enough for the publisher to trust the file's time.
void WriteOldFile(const std::filesystem::path& file, const std::string& content);

// Whether `done` holds within `limit`, asked every few milliseconds; generous by default, as the
// machine may be loaded.
bool PollUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(60));
// The bytes of a file another process writes (and renames into place), "" if it never appears.
std::string WaitForFile(const std::filesystem::path& file);

// The message of the runtime error `call` throws, "" when it throws none.
std::string ErrorOf(auto&& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// Sets (or, with nullopt, unsets) an environment variable for the guard's lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// A line of /proc/self/status ("VmRSS:", "VmHWM:", "VmSize:") in KiB; -1 when missing.
long StatusKiB(const std::string& key);
