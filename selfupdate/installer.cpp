#include <stdexcept>
#include <string>

#include "net/https.h"
#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "platform/folders.h"
#include "platform/private_folder.h"
#include "platform/process.h"
#include "selfupdate/launcher_update.h"
#include "selfupdate/self_update_text.h"
#include "update/digest.h"
#include "update/transfer.h"

namespace qs {

const char* const InstallerFileName = "QuillonSagaLauncher-Update.exe";

namespace {

constexpr const char* kWriteFailed = "Failed to write installer to temp directory";

// The published digest is checked before anything is fetched.
bool IsWideChecksumText(const std::wstring& text) {
    if (text.size() != 64)
        return false;
    std::string narrow;
    for (wchar_t c : text) {
        if (static_cast<std::uint32_t>(c) > 0x7F)
            return false;
        narrow.push_back(static_cast<char>(c));
    }
    return IsChecksumText(narrow);
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
    PrivateFolder privateFolder;
    if (!privateFolder.open(folder))
        throw std::runtime_error(kWriteFailed);
    OutputFile file;
    if (!privateFolder.createFile(InstallerFileName, file))
        throw std::runtime_error(kWriteFailed);

    auto discard = [&] { privateFolder.removeFile(InstallerFileName); };
    bool writeFailed = false;
    std::uint64_t received = 0;
    RatePacer pacer(target.speedLimit, target.cancel);
    try {
        LauncherHttpsGetToSink(
            release.url, L"GET",
            [&](const char* data, std::size_t size) {
                received += size;
                if (received > target.installerMaxBytes)
                    return false;  // ends the request as a failed read
                writeFailed = !file.write(data, size);
                if (!writeFailed)
                    pacer.account(size);
                return !writeFailed;
            },
            target.service, target.cancel);
    } catch (...) {
        file.close();
        discard();  // a partial installer is of no use to anyone
        if (writeFailed)
            throw std::runtime_error(kWriteFailed);
        throw;
    }
    if (!file.close()) {
        discard();
        throw std::runtime_error(kWriteFailed);
    }

    if (!privateFolder.stillSame())
        throw std::runtime_error(kWriteFailed);
    const FileDigest digest = Sha256File(installer);
    if (digest.read != WholeRead::Complete || !DigestsEqual(digest.digest, release.sha256)) {
        discard();
        return {false, L"Downloaded installer failed SHA-256 verification"};
    }
    MakeExecutable(installer);
    if (!privateFolder.stillSame() || !StartInstaller(installer, InstallerArguments()))
        return {false, L"Failed to launch installer"};
    UpdateResult started{
        true, L"Installer launched successfully. The launcher will restart after update."};
    started.outcome = RunOutcome::InstallerStarted;
    return started;
}

}  // namespace

const std::vector<std::string>& InstallerArguments() {
    static const std::vector<std::string> arguments{
        "/SILENT", "/CLOSEAPPLICATIONS", "/RESTARTAPPLICATIONS", "/FORCECLOSEAPPLICATIONS"};
    return arguments;
}

std::filesystem::path InstallerFolder(const std::filesystem::path& temporaryFolder) {
    return UserFolderIn(temporaryFolder, "QuillonSagaLauncher");
}

UpdateResult InstallLauncherUpdate(const LauncherRelease& release, const SelfUpdateTarget& target) {
    try {
        return Install(release, target);
    } catch (const UpdateCancelled& cancelled) {
        UpdateResult result{false, ErrorTextAsWide(cancelled.what())};
        result.outcome = RunOutcome::Cancelled;
        return result;
    } catch (const std::exception& error) {
        return {false, ErrorTextAsWide(error.what())};
    } catch (...) {
        return {false, L"Failed to launch installer"};
    }
}

}  // namespace qs
