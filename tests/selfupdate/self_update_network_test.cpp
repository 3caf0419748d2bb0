// The release check and the installer hand-off against the in-process HTTPS stand-in service.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "selfupdate/launcher_update.h"
#include "tools/standin/service.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Fault;
using qs::test::Sha256Hex;
using qs::test::TestService;

namespace {

constexpr const wchar_t* kLaunched =
    L"Installer launched successfully. The launcher will restart after update.";
constexpr const wchar_t* kWriteFailed = L"Failed to write installer to temp directory";

// The installer stand-in writes its working folder and then each argument on its own line.
constexpr const char* kInstallerScript =
    "#!/bin/sh\n"
    "{ pwd; for argument in \"$@\"; do echo \"$argument\"; done; } > \"$QS_INSTALLER_OUT.tmp\"\n"
    "mv \"$QS_INSTALLER_OUT.tmp\" \"$QS_INSTALLER_OUT\"\n";

std::string ReadFile(const fs::path& path) {
    std::stringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return text;
}

class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qs-selfupdate-XXXXXX").string();
        scratch_ = mkdtemp(pattern.data());
        temporary_ = scratch_ / "tmp";
        fs::create_directory(temporary_);
        output_ = scratch_ / "installer-ran.txt";
        setenv("QS_INSTALLER_OUT", output_.c_str(), 1);
        target_ = SelfUpdateTarget{service_.endpoint(), temporary_};
        window_ = [this] { ++closeRequests_; };
    }
    void TearDown() override { fs::remove_all(scratch_); }

    // Publishes a release document and the installer it names.
    void Publish(const std::string& version, const std::string& installer,
                 const std::string& digest) {
        service_.setResource("/files/setup.exe", installer);
        service_.setLatestJson(nlohmann::json{
            {"version", version},
            {"url", WideToAscii(service_.url("/files/setup.exe"))},
            {"sha256", digest},
            {"changelog", "Fixes"}}.dump());
    }
    static std::string WideToAscii(const std::wstring& wide) {
        return std::string(wide.begin(), wide.end());
    }

    // Runs the worker as the shell does: busy set, "Checking..." written, then the task.
    std::wstring RunTask() {
        busy_.store(true);
        statusText_ = L"Checking for launcher updates...";
        LauncherUpdateTask(&statusMutex_, &statusText_, &busy_, &window_, target_);
        EXPECT_FALSE(busy_.load()) << "every path clears busy";
        std::lock_guard lock(statusMutex_);
        return statusText_;
    }

    std::string WaitForInstallerOutput() {
        for (auto deadline = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < deadline;) {
            if (fs::exists(output_))
                return ReadFile(output_);
            std::this_thread::sleep_for(20ms);
        }
        return "";
    }

    fs::path InstallerPath() const { return InstallerFolder(temporary_) / InstallerFileName; }

    TestService service_;
    fs::path scratch_, temporary_, output_;
    SelfUpdateTarget target_;
    std::mutex statusMutex_;
    std::wstring statusText_;
    std::atomic<bool> busy_{false};
    int closeRequests_ = 0;
    WindowCloser window_;
};

// --- The release check ---

TEST_F(SelfUpdate, SameOrOlderReleaseIsUpToDateAndDownloadsNothing) {
    for (const char* version : {"v1.0.8", "1.0.8", "1.0.8.0", "1.0.7", "0.9", "V9.0"}) {
        Publish(version, kInstallerScript, Sha256Hex(kInstallerScript));
        EXPECT_EQ(RunTask(), L"Launcher is up to date (v1.0.8)") << version;
    }
    EXPECT_EQ(service_.requestCount("/files/setup.exe"), 0u);
    EXPECT_EQ(closeRequests_, 0);
    EXPECT_FALSE(fs::exists(InstallerFolder(temporary_)));
    const auto request = service_.lastRequest("/updater/launcher/latest.json");
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->header("User-Agent"), "QuillonSagaLauncher/1.0");
}

TEST_F(SelfUpdate, NewerReleaseIsReportedWithItsFields) {
    Publish("1.0.9", "x", Sha256Hex("x"));
    const LauncherRelease release = CheckLauncherRelease(service_.endpoint());
    EXPECT_TRUE(release.error.empty());
    EXPECT_TRUE(release.updateAvailable);
    EXPECT_EQ(release.version, L"1.0.9");
    EXPECT_EQ(release.url, service_.url("/files/setup.exe"));
    const std::string digest = Sha256Hex("x");
    EXPECT_EQ(release.sha256, std::wstring(digest.begin(), digest.end()));
    EXPECT_EQ(release.changelog, L"Fixes");
}

struct CheckFailureCase {
    const char* name;
    std::string document;
    std::wstring status;
};
void PrintTo(const CheckFailureCase& c, std::ostream* out) {
    *out << c.name;
}

class ReleaseDocument : public SelfUpdate,
                        public ::testing::WithParamInterface<CheckFailureCase> {};

TEST_P(ReleaseDocument, FailsTheCheckWithThePrefixedMessage) {
    service_.setLatestJson(GetParam().document);
    EXPECT_EQ(RunTask(), GetParam().status);
    EXPECT_EQ(closeRequests_, 0);
    const LauncherRelease release = CheckLauncherRelease(service_.endpoint());
    EXPECT_FALSE(release.updateAvailable);
    EXPECT_TRUE(release.version.empty() && release.url.empty() && release.sha256.empty());
}

const std::string kDigest(64, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, ReleaseDocument,
    ::testing::Values(
        CheckFailureCase{"MissingVersion", R"({"url":"u","sha256":"s"})",
                         L"Update check failed: Invalid launcher update manifest: missing version"},
        CheckFailureCase{"NumericVersion", R"({"version":1.1,"url":"u","sha256":"s"})",
                         L"Update check failed: Invalid launcher update manifest: missing version"},
        CheckFailureCase{"NotAnObject", R"(["1.0.9"])",
                         L"Update check failed: Invalid launcher update manifest: missing version"},
        CheckFailureCase{"MissingUrlEvenWhenCurrent", R"({"version":"v1.0.8","sha256":"s"})",
                         L"Update check failed: Invalid launcher update manifest: missing url"},
        CheckFailureCase{"MissingSha256", R"({"version":"1.0.9","url":"u"})",
                         L"Update check failed: Invalid launcher update manifest: missing sha256"},
        CheckFailureCase{"NullSha256", R"({"version":"1.0.9","url":"u","sha256":null})",
                         L"Update check failed: Invalid launcher update manifest: missing sha256"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SelfUpdate, HtmlPageFailsWithTheParseError) {
    service_.setFault("/updater/launcher/latest.json", Fault::NotJson());
    const std::wstring status = RunTask();
    EXPECT_EQ(status.rfind(L"Update check failed: [json.exception.parse_error", 0), 0u)
        << std::string(status.begin(), status.end());
}

TEST_F(SelfUpdate, ParseErrorQuotingInvalidUtf8IsStillReported) {
    service_.setFault("/updater/launcher/latest.json", Fault::Status(200, "\xFF\xFE garbage"));
    const std::wstring status = RunTask();
    EXPECT_EQ(status.rfind(L"Update check failed: [json.exception.parse_error", 0), 0u);
}

TEST_F(SelfUpdate, RedirectedReleaseDocumentIsNotFollowed) {
    Publish("1.0.9", "x", Sha256Hex("x"));
    service_.setFault("/updater/launcher/latest.json",
                      Fault::Redirect(WideToAscii(service_.url("/other.json")), 301));
    EXPECT_EQ(RunTask(), L"Update check failed: Update server returned an error");
    EXPECT_EQ(service_.requestCount("/other.json"), 0u);
}

TEST_F(SelfUpdate, ErrorStatusFailsTheCheck) {
    service_.setFault("/updater/launcher/latest.json",
                      Fault::Status(503, R"({"version":"1.0.9"})"));
    EXPECT_EQ(RunTask(), L"Update check failed: Update server returned an error");
}

// --- The installer hand-off ---

TEST_F(SelfUpdate, NewerReleaseStartsTheVerifiedInstallerWithTheFourSwitches) {
    Publish("1.0.9", kInstallerScript, Upper(Sha256Hex(kInstallerScript)));  // either case matches
    std::wstring statusDuringDownload;
    service_.setHandler("/files/setup.exe", [&](const qs::test::RecordedRequest&) {
        {
            std::lock_guard lock(statusMutex_);
            statusDuringDownload = statusText_;
        }
        return qs::test::Reply{200, kInstallerScript, "application/octet-stream", {}};
    });
    fs::create_directories(InstallerFolder(temporary_));
    fs::permissions(InstallerFolder(temporary_), fs::perms::owner_all, fs::perm_options::replace);
    std::ofstream(InstallerPath()) << "an older attempt, much longer than the new installer script";

    EXPECT_EQ(RunTask(), kLaunched);
    EXPECT_EQ(statusDuringDownload, L"Downloading launcher update 1.0.9...");
    EXPECT_EQ(closeRequests_, 1);

    std::string expected = fs::current_path().string() + "\n";
    for (const std::string& argument : InstallerArguments())
        expected += argument + "\n";
    EXPECT_EQ(WaitForInstallerOutput(), expected);
    EXPECT_EQ(ReadFile(InstallerPath()), kInstallerScript)
        << "kept after the start, earlier file replaced";
    struct stat info {};
    ASSERT_EQ(stat(InstallerFolder(temporary_).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, geteuid());
}

TEST_F(SelfUpdate, WrongDigestRemovesTheFileAndKeepsTheLauncherOpen) {
    Publish("1.0.9", kInstallerScript, Sha256Hex("something else"));
    EXPECT_EQ(RunTask(), L"Downloaded installer failed SHA-256 verification");
    EXPECT_EQ(closeRequests_, 0);
    EXPECT_EQ(service_.requestCount("/files/setup.exe"), 1u);
    EXPECT_FALSE(fs::exists(InstallerPath()));
    EXPECT_FALSE(fs::exists(output_));
}

TEST_F(SelfUpdate, MalformedDigestTextMakesNoRequest) {
    for (const std::string& digest :
         {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g", std::string()}) {
        Publish("1.0.9", kInstallerScript, digest);
        EXPECT_EQ(RunTask(), L"Invalid SHA-256 checksum format") << digest;
    }
    EXPECT_EQ(service_.requestCount("/files/setup.exe"), 0u);
    EXPECT_FALSE(fs::exists(InstallerFolder(temporary_)));
}

TEST_F(SelfUpdate, UntrustedInstallerUrlIsRefusedBeforeAnyConnection) {
    const std::string port = std::to_string(service_.port());
    for (const std::string& url :
         {"http://localhost:" + port + "/files/setup.exe",
          "https://other.example:" + port + "/files/setup.exe", std::string("setup.exe")}) {
        service_.setLatestJson(
            nlohmann::json{{"version", "1.0.9"}, {"url", url}, {"sha256", Sha256Hex("x")}}.dump());
        EXPECT_EQ(RunTask(), L"Untrusted launcher update URL") << url;
    }
    EXPECT_EQ(service_.requestCount("/files/setup.exe"), 0u);
    EXPECT_FALSE(fs::exists(InstallerFolder(temporary_)));
}

TEST_F(SelfUpdate, RedirectedInstallerIsNotFollowed) {
    Publish("1.0.9", kInstallerScript, Sha256Hex(kInstallerScript));
    service_.setResource("/files/moved.exe", kInstallerScript);
    service_.setFault("/files/setup.exe",
                      Fault::Redirect(WideToAscii(service_.url("/files/moved.exe"))));
    EXPECT_EQ(RunTask(), L"Update server returned an error");
    EXPECT_EQ(service_.requestCount("/files/moved.exe"), 0u);
    EXPECT_FALSE(fs::exists(InstallerPath()));
}

TEST_F(SelfUpdate, TruncatedInstallerLeavesNoPartialFile) {
    Publish("1.0.9", std::string(200000, 'i'), Sha256Hex(std::string(200000, 'i')));
    service_.setFault("/files/setup.exe", Fault::Truncate(1000));
    const std::wstring status = RunTask();
    EXPECT_NE(status, kLaunched);
    EXPECT_FALSE(fs::exists(InstallerPath()));
    EXPECT_EQ(closeRequests_, 0);
}

TEST_F(SelfUpdate, EndlessInstallerStopsAtTheCapAndLeavesNothing) {
    Publish("1.0.9", kInstallerScript, Sha256Hex(kInstallerScript));
    service_.setFault("/files/setup.exe", Fault::Endless());
    target_.installerMaxBytes = 1u << 20;
    EXPECT_EQ(RunTask(), L"HTTPS response read failed");
    EXPECT_FALSE(fs::exists(InstallerPath()));
}

TEST_F(SelfUpdate, InstallerThatCannotStartIsReportedAndKept) {
    const std::string notAProgram = "MZ this is not something the system can execute\n";
    Publish("1.0.9", notAProgram, Sha256Hex(notAProgram));
    EXPECT_EQ(RunTask(), L"Failed to launch installer");
    EXPECT_EQ(closeRequests_, 0);
    EXPECT_EQ(ReadFile(InstallerPath()), notAProgram);
}

TEST_F(SelfUpdate, MissingTemporaryFolderIsAWriteFailure) {
    Publish("1.0.9", kInstallerScript, Sha256Hex(kInstallerScript));
    target_.temporaryFolder = scratch_ / "does-not-exist";
    EXPECT_EQ(RunTask(), kWriteFailed);
}

TEST_F(SelfUpdate, NoUpdateAvailableDoesNothing) {
    const UpdateResult result = InstallLauncherUpdate(LauncherRelease{}, target_);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, L"No update available");
    EXPECT_EQ(service_.requestCount(), 0u);
    EXPECT_FALSE(fs::exists(InstallerFolder(temporary_)));
}

// --- The private folder in a temporary folder other users can write to ---

class PlantedFolder : public SelfUpdate {
protected:
    void SetUp() override {
        SelfUpdate::SetUp();
        Publish("1.0.9", kInstallerScript, Sha256Hex(kInstallerScript));
        outside_ = scratch_ / "victim";
        fs::create_directory(outside_);
    }
    void ExpectRefusedAndNothingWrittenOutside() {
        EXPECT_EQ(RunTask(), kWriteFailed);
        EXPECT_EQ(closeRequests_, 0);
        EXPECT_TRUE(fs::is_empty(outside_));
        EXPECT_EQ(service_.requestCount("/files/setup.exe"), 0u);
        EXPECT_FALSE(fs::exists(output_));
    }
    fs::path outside_;
};

TEST_F(PlantedFolder, LinkInPlaceOfThePrivateFolderIsRefused) {
    fs::create_directory_symlink(outside_, InstallerFolder(temporary_));
    ExpectRefusedAndNothingWrittenOutside();
}

TEST_F(PlantedFolder, FolderOfAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can hand a folder to another user";
    fs::create_directory(InstallerFolder(temporary_));
    fs::permissions(InstallerFolder(temporary_), fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(chown(InstallerFolder(temporary_).c_str(), 65534, 65534), 0);
    ExpectRefusedAndNothingWrittenOutside();
    EXPECT_TRUE(fs::is_empty(InstallerFolder(temporary_)));
}

TEST_F(PlantedFolder, FolderOthersCanEnterIsRefused) {
    fs::create_directory(InstallerFolder(temporary_));
    fs::permissions(InstallerFolder(temporary_), fs::perms::all, fs::perm_options::replace);
    ExpectRefusedAndNothingWrittenOutside();
    EXPECT_TRUE(fs::is_empty(InstallerFolder(temporary_)));
}

TEST_F(PlantedFolder, PlainFileInPlaceOfTheFolderIsRefused) {
    std::ofstream(InstallerFolder(temporary_)) << "squatter";
    ExpectRefusedAndNothingWrittenOutside();
}

TEST_F(PlantedFolder, LinkInPlaceOfTheInstallerIsReplacedNotFollowed) {
    fs::create_directory(InstallerFolder(temporary_));
    fs::permissions(InstallerFolder(temporary_), fs::perms::owner_all, fs::perm_options::replace);
    const fs::path victimFile = outside_ / "important";
    std::ofstream(victimFile) << "keep me";
    fs::create_symlink(victimFile, InstallerPath());
    EXPECT_EQ(RunTask(), kLaunched);
    EXPECT_EQ(ReadFile(victimFile), "keep me");
    EXPECT_FALSE(fs::is_symlink(InstallerPath()));
    EXPECT_FALSE(WaitForInstallerOutput().empty());
}

TEST_F(PlantedFolder, NarrowUmaskStillGivesAUsableFolder) {
    const mode_t previous = umask(0777);
    const std::wstring status = RunTask();
    umask(previous);
    EXPECT_EQ(status, kLaunched);
    EXPECT_FALSE(WaitForInstallerOutput().empty());
}

}  // namespace
