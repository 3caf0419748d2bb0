#pragma once
// Sequential file reading and writing with the platform's own calls. Other programs may read and
// write the same file meanwhile.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

// Which file a name or handle reaches, and its size. A file replaced or created anew under the same
// name has another identity.
struct FileState {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    bool operator==(const FileState&) const = default;
};

// What the file system says about a file's identity and its last changes. Any write, rename over,
// copy with kept times (which still moves the change time) or replacement shows in one of them.
// Times are nanoseconds since 1970 (Windows keeps 100 ns steps; its change time is the
// metadata change time of the file's basic information).
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the regular file `file` reaches (through links); nullopt for anything else.
std::optional<FileStamp> StampOfFile(const std::filesystem::path& file);

// The state of the regular file `file` names, the name itself looked at (a final link is not
// followed); nullopt when it is missing, a link or anything but a regular file.
std::optional<FileState> RegularFileState(const std::filesystem::path& file);

// The free bytes of the file system that holds `folder`, as this user may use them; nullopt when
// that cannot be told.
std::optional<std::uint64_t> FreeDiskBytes(const std::filesystem::path& folder);

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    // False when the file cannot be opened (missing, locked by another program) or is not a
    // regular file: a folder, a device, or a FIFO, which is refused without waiting for a writer.
    // With `followLinks` false a link at the name is refused too.
    bool open(const std::filesystem::path& file, bool followLinks = true);
    std::optional<FileState> state() const;
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
    // Creates `file` only where nothing of that name exists, so no other file (or link) is ever
    // written through. On Windows others cannot write it while it is open.
    bool createNew(const std::filesystem::path& file);
    // Opens the regular file `file` (never through a link) to add to its end, with the same
    // exclusion as createNew.
    bool openToAppend(const std::filesystem::path& file);
    std::optional<FileState> state() const;
    bool isOpen() const { return handle_ != -1; }
    // Writes every byte or returns false.
    bool write(const void* data, std::size_t size);
    // The bytes written so far reach the disk; false when the system says they did not.
    bool sync();
    // Starts moving the bytes written so far to the disk without waiting for them, so a later
    // sync has less to wait for. Only a hint: sync alone says they arrived.
    void startWriteback();
    // False when nothing was open or closing reports a late write failure.
    bool close();

private:
    friend class PrivateFolder;
    std::intptr_t handle_ = -1;  // a descriptor or a HANDLE; -1 is invalid for both
};
