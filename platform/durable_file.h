#pragma once
// Crash-safe file placement: the bytes reach the disk before the name points at them.
// Failures are platform error codes: errno on Linux, GetLastError on Windows.
#include <filesystem>

namespace qs {

// Flushes the source, moves it over the target in one step and returns once the move is on the
// disk (Linux: fsync of the target's folder; Windows: a write-through move). 0 on success,
// otherwise the platform error code of the failed step.
int ReplaceFileDurably(const std::filesystem::path& source, const std::filesystem::path& target);

// The last two steps of ReplaceFileDurably apart, so a caller placing many files (whose data it
// flushed itself, in parallel) pays for each folder once, not once per file:
// - MoveOver: the one-step replacement (Windows: written through, as it has no folder sync);
// - SyncFolder: the folder's entries reach the disk (no-op on Windows).
// Each returns 0 or the platform error code.
int MoveOver(const std::filesystem::path& source, const std::filesystem::path& target);
int SyncFolder(const std::filesystem::path& folder);

// Errors that mean another program holds or protects the target.
bool IsFileInUseError(int errorNumber);

// Writes `size` bytes to `target` through a temporary file in the same folder, then
// ReplaceFileDurably. 0 on success, otherwise a platform error code.
int WriteFileDurably(const std::filesystem::path& target, const void* data, std::size_t size);

// Sets the owner's execute bit (downloads carry no modes); Windows has none to set. 0 on
// success, otherwise a platform error code.
int MakeExecutable(const std::filesystem::path& file);

}  // namespace qs
