#pragma once
// Sequential file reading and writing with the platform's own calls. Other programs may read and
// write the same file meanwhile.
#include <cstddef>
#include <cstdint>
#include <filesystem>

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    // False when the file cannot be opened (missing, a folder, locked by another program).
    bool open(const std::filesystem::path& file);
    // Bytes read into `buffer`: 0 at the end of the file, -1 on a read error.
    std::int64_t read(void* buffer, std::size_t size);

private:
    std::intptr_t handle_ = -1;
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // closes, ignoring errors
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Creates `file` or empties it. A link planted under the name is refused, not followed: it
    // must not redirect the write. False on failure.
    bool create(const std::filesystem::path& file);
    bool isOpen() const { return handle_ != -1; }
    // Writes every byte or returns false.
    bool write(const void* data, std::size_t size);
    // False when nothing was open or closing reports a late write failure.
    bool close();

private:
    friend class PrivateFolder;
    std::intptr_t handle_ = -1;  // a descriptor or a HANDLE; -1 is invalid for both
};
