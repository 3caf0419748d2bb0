#pragma once
// The launcher's log: "launcher.log" in the launcher's data folder, the one before it kept as
// "launcher.1.log". Any thread may log; a line is queued and written by a background writer, so
// no caller ever waits on the disk. Before StartLauncherLog (and after StopLauncherLog) every
// call is a no-op, so code under test needs no log.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace qs {

inline constexpr char kLauncherLogName[] = "launcher.log";
inline constexpr char kPreviousLauncherLogName[] = "launcher.1.log";

struct LauncherLogOptions {
    std::uint64_t capBytes = 1u << 20;  // a file is rotated before it grows past this
    std::size_t queueLines = 4096;      // beyond this, lines are counted, not kept
    // Runs on the writer before each batch it writes; tests stall the writer with it.
    std::function<void()> beforeWrite;
};

// Starts the writer on `folder`/launcher.log (the folder is created when missing). A log that
// cannot be opened (a read-only folder, a link or a FIFO at the name, which is never followed or
// opened) leaves the lines unwritten; nothing else changes.
void StartLauncherLog(const std::filesystem::path& folder, LauncherLogOptions options = {});
// Writes what is queued, then ends the writer.
void StopLauncherLog();

// One event: stamped with the UTC time, cleaned to one line of text, queued. Never blocks on the
// disk; a full queue counts the line as dropped and the count is written later.
void LogEvent(std::string_view text);
// Whether a log is started: callers skip building texts for no one.
bool LauncherLogActive();

// Text a line may carry: printable ASCII and well-formed UTF-8; anything else (control
// characters, ill-formed bytes) as \xNN. At most `maxBytes` of the input are kept.
std::string CleanLogText(std::string_view text, std::size_t maxBytes = 2048);
// A wide text or a path as UTF-8 for a log line; what cannot be converted becomes "?".
std::string LogText(std::wstring_view text);
std::string LogPath(const std::filesystem::path& path);

// "2026-12-07T21:47:49.123Z"
std::string LogTimeText(std::chrono::system_clock::time_point time);

}  // namespace qs
