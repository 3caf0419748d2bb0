#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "update/target_status.h"
#include "update/text.h"
#include "update/update_run.h"

namespace {

[[noreturn]] void CannotWrite() {
    throw std::runtime_error("Cannot write update download");
}

// Writes the reply body into the download file as it arrives and digests the same bytes, so a
// client file is never held in memory and never read back for verification. The file is created
// anew, never opened over an existing name, so the bytes digested are the bytes this writer put
// there; its identity and length are checked before it is handed on.
class DownloadWriter {
public:
    explicit DownloadWriter(std::filesystem::path download) : download_(std::move(download)) {}
    DownloadWriter(const DownloadWriter&) = delete;
    DownloadWriter& operator=(const DownloadWriter&) = delete;
    ~DownloadWriter() { Discard(); }

    // The body sink: any failure is kept so the caller can report it instead of the
    // transfer's own abort text.
    bool Accept(const char* data, std::size_t size) noexcept {
        try {
            if (!file_.isOpen())
                Open();
            Write(data, size);
            return true;
        } catch (...) {
            failure_ = std::current_exception();
            return false;
        }
    }

    const std::exception_ptr& failure() const { return failure_; }

    // Closes the file (opening it first for an empty body); returns the digest text and, in
    // `written`, the state of the file as this writer left it.
    std::wstring Finish(FileState& written) {
        if (!file_.isOpen())
            Open();
        // Another writer that truncated or extended the file shows in its length.
        const std::optional<FileState> state = file_.state();
        if (!state || state->size != bytesWritten_ || !file_.close()) {
            Discard();
            CannotWrite();
        }
        opened_ = false;
        written = *state;
        return digest_.finish();
    }

    // Drops a partial download: it can never pass verification, so keeping it only costs space.
    void Discard() noexcept {
        file_.close();
        if (opened_)
            RemoveIfOurs();
        opened_ = false;
    }

    // Leaves a partial download where it is, for a later run.
    void Keep() noexcept {
        file_.close();
        opened_ = false;
    }

private:
    void Open() {
        std::filesystem::path folder = download_.parent_path();
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error)
            throw std::filesystem::filesystem_error("create_directories", folder, error);
        // What an earlier run left under the name (a partial file, a link, a FIFO) goes only now
        // that there is something to put in its place; it is never opened or written through.
        std::filesystem::remove(download_, error);
        if (!file_.createNew(download_))
            CannotWrite();
        opened_ = true;
        if (const auto state = file_.state())
            created_ = *state;
    }

    void Write(const char* data, std::size_t size) {
        digest_.update(data, size);
        if (!file_.write(data, size))
            CannotWrite();
        bytesWritten_ += size;
    }

    // Only the file this writer created goes: whatever else stands under the name now is not
    // this run's to delete.
    void RemoveIfOurs() noexcept {
        const std::optional<FileState> now = RegularFileState(download_);
        if (!now || now->volume != created_.volume || now->index != created_.index)
            return;
        std::error_code ignored;
        std::filesystem::remove(download_, ignored);
    }

    std::filesystem::path download_;
    Sha256Stream digest_;
    OutputFile file_;
    bool opened_ = false;
    FileState created_;
    std::uint64_t bytesWritten_ = 0;
    std::exception_ptr failure_;
};

// Wide text of a file name for a message: names here came from checked UTF-8, and any byte that
// still does not decode shows as a replacement character.
std::wstring NameForMessage(const std::filesystem::path& target) {
    const std::u8string name = target.filename().u8string();
    return FailureMessage(
        std::string_view(reinterpret_cast<const char*>(name.data()), name.size()));
}

// Fetches the file into a new download file; returns the state of the verified file.
FileState Download(const std::wstring& url, const std::filesystem::path& download,
                   const std::wstring& expected, const UpdateEnvironment& environment,
                   HttpsConnection& connection) {
    DownloadWriter writer(download);
    BodySink sink = [&writer](const char* data, std::size_t size) {
        return writer.Accept(data, size);
    };
    try {
        if (environment.requestToSink)
            environment.requestToSink(url, L"GET", std::string(), sink);
        else
            HttpsRequestToSink(url, L"GET", std::string(), sink, environment.service, connection);
    } catch (...) {
        // A cancelled transfer keeps what it has for a later run; any other failure drops it.
        if (environment.cancel && environment.cancel->load())
            writer.Keep();
        else
            writer.Discard();
        if (writer.failure())
            std::rethrow_exception(writer.failure());
        throw;
    }
    if (writer.failure())
        std::rethrow_exception(writer.failure());
    FileState written;
    if (!DigestsEqual(writer.Finish(written), expected)) {
        std::error_code ignored;
        if (RegularFileState(download) == written)
            std::filesystem::remove(download, ignored);
        throw std::runtime_error("Downloaded file failed SHA-256 verification");
    }
    return written;
}

// A download file left by an earlier run, looked at as the name itself (a link is never followed):
// its state when it is a regular file holding exactly the expected bytes.
std::optional<FileState> VerifiedLeftover(const std::filesystem::path& download,
                                          const std::wstring& expected) {
    InputFile input;
    if (!input.open(download, /*followLinks=*/false))
        return std::nullopt;
    const std::optional<FileState> before = input.state();
    if (!before || !DigestsEqual(Sha256File(input), expected) || input.state() != before)
        return std::nullopt;
    return before;
}

}  // namespace

std::filesystem::path DownloadFilePath(const std::filesystem::path& target) {
    std::filesystem::path download = target;
    download += ".download";
    return download;
}

std::wstring DownloadUrlPath(std::string_view relativePath) {
    std::wstring encoded;
    encoded.reserve(relativePath.size());
    for (char c : relativePath) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '/' || c == '_';
        if (plain)
            encoded.push_back(static_cast<wchar_t>(c));
        else if (c == ' ')
            encoded += L"%20";
        else
            throw std::runtime_error("Manifest has an unsafe download path");
    }
    return encoded;
}

bool ReplaceFile(const std::filesystem::path& download, const std::filesystem::path& target,
                 std::wstring& message) {
    int error = ReplaceFileDurably(download, target);
    if (error == 0)
        return true;
    try {
        if (IsFileInUseError(error))
            message = L"Could not replace " + NameForMessage(target) +
                      L" - file is in use. Please close the client and try again.";
        else
            message = L"Could not replace " + NameForMessage(target) + L" (Error code: " +
                      std::to_wstring(static_cast<unsigned>(error)) + L")";
    } catch (...) {
        message = L"Could not replace file";
    }
    return false;
}

void FetchFile(const std::filesystem::path& target, std::string_view relativePath,
               std::string_view checksum, const UpdateEnvironment& environment,
               bool makeExecutable) {
    HttpsConnection connection;
    connection.setCancel(environment.cancel);
    FetchFile(target, relativePath, checksum, environment, makeExecutable, connection);
}

void FetchFile(const std::filesystem::path& target, std::string_view relativePath,
               std::string_view checksum, const UpdateEnvironment& environment, bool makeExecutable,
               HttpsConnection& connection) {
    if (!IsChecksumText(checksum))
        throw std::runtime_error("Manifest has an invalid SHA-256 checksum");
    const std::wstring url =
        ServiceUrl(environment.service, "/updater/files/") + DownloadUrlPath(relativePath);
    TargetFileExists(target);  // refuses a folder before anything is written beside it
    const std::wstring expected = Utf8ToWide(checksum);

    const std::filesystem::path download = DownloadFilePath(target);
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(download, error);
    if (error && status.type() != std::filesystem::file_type::not_found)
        throw std::filesystem::filesystem_error("exists", download, error);
    // A verified download left by an interrupted run is placed without a new request; anything
    // else under the name is replaced once the new download has its first bytes.
    std::optional<FileState> verified;
    if (std::filesystem::is_regular_file(status))
        verified = VerifiedLeftover(download, expected);
    if (!verified)
        verified = Download(url, download, expected, environment, connection);

    // Before the move, so the client never appears without its execute bit. A failure here is
    // not fatal: starting the client sets the bit again.
    if (makeExecutable)
        MakeExecutable(download);
    // Only the file that was proven is placed: the name must still reach it, unchanged.
    if (RegularFileState(download) != verified)
        CannotWrite();

    // rename replaces the target atomically, so the old target is never removed first: a crash
    // leaves either the old or the new file, never neither.
    std::wstring message;
    if (!ReplaceFile(download, target, message))
        throw std::runtime_error(WideToUtf8(message));
}
