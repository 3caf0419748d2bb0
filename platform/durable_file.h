#pragma once
// Crash-safe file placement: the bytes reach the disk before the name points at them.
#include <filesystem>

// fsync the source, rename it over the target, fsync the target's folder. 0 on success,
// otherwise the errno of the failed step.
int ReplaceFileDurably(const std::filesystem::path& source, const std::filesystem::path& target);

// Errors that mean another program holds or protects the target.
bool IsFileInUseError(int errorNumber);

// Writes `size` bytes to `target` through a temporary file in the same folder, then
// ReplaceFileDurably. 0 on success, otherwise an errno.
int WriteFileDurably(const std::filesystem::path& target, const void* data, std::size_t size);

// Sets the owner's execute bit (downloads carry no modes). 0 on success, otherwise an errno.
int MakeExecutable(const std::filesystem::path& file);
