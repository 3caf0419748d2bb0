#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/durable_file.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "selfupdate/launcher_update.h"
#include "selfupdate/self_update_text.h"
#include "update/https.h"
#include "update/text.h"

const char* const InstallerFileName = "QuillonSagaLauncher-Update.exe";

namespace {

constexpr const char* kWriteFailed = "Failed to write installer to temp directory";

// The published digest is checked before anything is fetched.
bool IsWideChecksumText(const std::wstring& text) {
    if (text.size() != 64)
        return false;
    std::string narrow;
    for (wchar_t c : text) {
        if (c < 0 || c > 0x7F)
            return false;
        narrow.push_back(static_cast<char>(c));
    }
    return IsChecksumText(narrow);
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now; false when the close reported an error (a late write failure).
    bool reset() {
        if (fd_ < 0)
            return true;
        const bool closed = close(fd_) == 0;
        fd_ = -1;
        return closed;
    }

private:
    int fd_;
};

// The shared temporary folder lets any local user plant a link or swap a file under a fixed name,
// so the installer lives in a folder only this user can enter, checked through its descriptor.
int OpenPrivateFolder(const std::filesystem::path& folder) {
    const bool created = mkdir(folder.c_str(), 0700) == 0;
    if (!created && errno != EEXIST)
        throw std::runtime_error(kWriteFailed);
    Descriptor fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        throw std::runtime_error(kWriteFailed);  // ELOOP: a link stands in our place
    struct stat info {};
    if (fstat(fd.get(), &info) != 0)
        throw std::runtime_error(kWriteFailed);
    // A restrictive umask may have narrowed the mode of a folder made just now.
    if (created && info.st_uid == geteuid() && (info.st_mode & 07777) != 0700) {
        if (fchmod(fd.get(), 0700) != 0)
            throw std::runtime_error(kWriteFailed);
        info.st_mode = (info.st_mode & ~07777) | 0700;
    }
    if (!IsPrivateFolder(S_ISDIR(info.st_mode), S_ISLNK(info.st_mode), info.st_uid,
                         info.st_mode & 07777, geteuid()))
        throw std::runtime_error(kWriteFailed);
    return fd.release();
}

// The folder path still names the folder the descriptor was checked on.
bool StillSameFolder(const std::filesystem::path& folder, int folderFd) {
    struct stat byPath {
    }, byDescriptor{};
    if (lstat(folder.c_str(), &byPath) != 0 || fstat(folderFd, &byDescriptor) != 0)
        return false;
    return byPath.st_dev == byDescriptor.st_dev && byPath.st_ino == byDescriptor.st_ino;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool StartInstaller(const std::filesystem::path& installer) {
    // ETXTBSY: a fork elsewhere in the process may briefly hold a copy of the write descriptor.
    for (int attempt = 0; attempt < 5; ++attempt) {
        int error = 0;
        if (StartDetachedProcess(installer, InstallerArguments(), {}, &error))
            return true;
        if (error != ETXTBSY)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

UpdateResult Install(const LauncherRelease& release, const SelfUpdateTarget& target) {
    if (!release.updateAvailable)
        return {false, L"No update available"};
    if (!IsWideChecksumText(release.sha256))
        return {false, L"Invalid SHA-256 checksum format"};
    ResolveLauncherUrl(release.url, target.service);  // refuses before any file is touched

    const std::filesystem::path temporary =
        target.temporaryFolder.empty() ? TemporaryFolder() : target.temporaryFolder;
    const std::filesystem::path folder = InstallerFolder(temporary);
    const std::filesystem::path installer = folder / InstallerFileName;
    Descriptor folderFd(OpenPrivateFolder(folder));

    // A fresh inode each time: an installer from an earlier attempt may still be running.
    if (unlinkat(folderFd.get(), InstallerFileName, 0) != 0 && errno != ENOENT)
        throw std::runtime_error(kWriteFailed);
    Descriptor file(openat(folderFd.get(), InstallerFileName,
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                           0700));
    struct stat info {};
    if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw std::runtime_error(kWriteFailed);

    auto discard = [&] { unlinkat(folderFd.get(), InstallerFileName, 0); };
    bool writeFailed = false;
    try {
        LauncherHttpsGetToSink(
            release.url, L"GET",
            [&](const char* data, std::size_t size) {
                writeFailed = !WriteAll(file.get(), data, size);
                return !writeFailed;
            },
            target.service);
    } catch (...) {
        discard();  // a partial installer is of no use to anyone
        if (writeFailed)
            throw std::runtime_error(kWriteFailed);
        throw;
    }
    if (!file.reset()) {
        discard();
        throw std::runtime_error(kWriteFailed);
    }

    if (!StillSameFolder(folder, folderFd.get()))
        throw std::runtime_error(kWriteFailed);
    const std::wstring digest = Sha256File(installer);
    if (!DigestsEqual(digest, release.sha256)) {
        discard();
        return {false, L"Downloaded installer failed SHA-256 verification"};
    }
    MakeExecutable(installer);
    if (!StillSameFolder(folder, folderFd.get()) || !StartInstaller(installer))
        return {false, L"Failed to launch installer"};
    return {true, L"Installer launched successfully. The launcher will restart after update."};
}

}  // namespace

const std::vector<std::string>& InstallerArguments() {
    static const std::vector<std::string> arguments{
        "/SILENT", "/CLOSEAPPLICATIONS", "/RESTARTAPPLICATIONS", "/FORCECLOSEAPPLICATIONS"};
    return arguments;
}

std::filesystem::path InstallerFolder(const std::filesystem::path& temporaryFolder) {
    return temporaryFolder / ("QuillonSagaLauncher-" + std::to_string(geteuid()));
}

bool IsPrivateFolder(bool isDirectory, bool isSymbolicLink, unsigned ownerId, unsigned mode,
                     unsigned user) {
    return isDirectory && !isSymbolicLink && ownerId == user && mode == 0700;
}

UpdateResult InstallLauncherUpdate(const LauncherRelease& release, const SelfUpdateTarget& target) {
    try {
        return Install(release, target);
    } catch (const std::exception& error) {
        return {false, ErrorTextAsWide(error.what())};
    } catch (...) {
        return {false, L"Failed to launch installer"};
    }
}
