#pragma once
// Sequential file reading and writing with the platform's own calls. Other programs may read and
// write the same file meanwhile.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace qs {

class FolderHandle;

// Which file a name or handle reaches, its size and when it was last written. A file replaced or
// created anew under the same name has another identity; one rewritten in place, even at the same
// length, another modification time (Windows: last-write time, and the change time that moves when
// a writer resets that). Linux keeps no change time here: a mode change or a rename moves it.
struct FileState {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;  // Windows only; 0 on Linux
    bool operator==(const FileState&) const = default;
};

// The same file at the same length, whatever its times say.
inline bool SameFileAndSize(const FileState& a, const FileState& b) {
    return a.volume == b.volume && a.index == b.index && a.size == b.size;
}

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

// Whether `stamp` shows the file of `state` with nothing written since: identity, size and
// modification time, which a rename leaves alone (unlike a change time).
inline bool StampShowsState(const FileStamp& stamp, const FileState& state) {
    return stamp.volume == state.volume && stamp.index == state.index && stamp.size == state.size &&
           stamp.modifiedNs == state.modifiedNs;
}

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
    // Gives the open file the owner's execute bit (and group's and others' where they may read),
    // never through a link as the file is already open; Windows has none. False on failure.
    bool makeExecutable();

private:
    friend class qs::FolderHandle;
    std::intptr_t handle_ = -1;
};

// Whether OutputFile::syncVolume can make many files durable at once on this system.
bool VolumeSyncAvailable();

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
    // The state once the last byte is written. On Windows the file system is first told to keep
    // the times as they stand for this handle, as closing it would otherwise move them.
    std::optional<FileState> finishedState();
    bool isOpen() const { return handle_ != -1; }
    // Writes every byte or returns false.
    bool write(const void* data, std::size_t size);
    // The bytes written so far reach the disk; false when the system says they did not.
    bool sync();
    // Every write so far to any file on this file's volume reaches the disk in one step, so a
    // batch of files pays for one flush instead of one each (Linux: syncfs). False when the system
    // says they did not, or has no such step (Windows): the caller then syncs each file.
    bool syncVolume();
    // Starts moving the bytes written so far to the disk without waiting for them, so a later
    // sync has less to wait for. Only a hint: sync alone says they arrived.
    void startWriteback();
    // False when nothing was open or closing reports a late write failure.
    bool close();

private:
    friend class PrivateFolder;
    std::intptr_t handle_ = -1;  // a descriptor or a HANDLE; -1 is invalid for both
};

}  // namespace qs
