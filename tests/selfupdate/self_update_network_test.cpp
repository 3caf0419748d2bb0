// The release check and the installer hand-off against the in-process HTTPS stand-in service.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/wide_text.h"
#include "scratch.h"
#include "selfupdate/launcher_update.h"
#include "tools/standin/service.h"

using namespace qs;

namespace fs = std::filesystem;
using qs::test::Fault;
using qs::test::Sha256Hex;
using qs::test::TestService;

namespace {

constexpr const wchar_t* kLaunched =
    L"Installer launched successfully. The launcher will restart after update.";
constexpr const wchar_t* kWriteFailed = L"Failed to write installer to temp directory";
constexpr const char* kLatest = "/updater/launcher/latest.json";

// The installer stand-in writes its working folder and then each argument on its own line.
constexpr const char* kInstallerScript =
    "#!/bin/sh\n"
    "{ pwd; for argument in \"$@\"; do echo \"$argument\"; done; } > \"$QS_INSTALLER_OUT.tmp\"\n"
    "mv \"$QS_INSTALLER_OUT.tmp\" \"$QS_INSTALLER_OUT\"\n";

class SelfUpdate : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(temporary_); }

    // Publishes a release document and the installer it names.
    void Publish(const std::string& version, const std::string& installer,
                 const std::string& digest) {
        service_.setResource("/files/setup.exe", installer);
        service_.setLatestJson(nlohmann::json{
            {"version", version},
            {"url", WideToUtf8(service_.url("/files/setup.exe"))},
            {"sha256", digest}}.dump());
    }
    void PublishInstaller() { Publish("1.0.9", kInstallerScript, Sha256Hex(kInstallerScript)); }

    // Runs the worker as the shell does: busy set, "Checking..." written, then the task.
    std::wstring RunTask() {
        busy_.store(true);
        statusText_ = L"Checking for launcher updates...";
        ended_ = RunOutcome::Failed;
        LauncherUpdateTask(&statusMutex_, &statusText_, &ended_, &busy_, &window_, target_);
        EXPECT_FALSE(busy_.load()) << "every path clears busy";
        std::lock_guard lock(statusMutex_);
        return statusText_;
    }

    // Nothing was started, nothing is left in the private folder, the launcher stays open.
    void ExpectNothingStarted() {
        EXPECT_EQ(closeRequests_, 0);
        EXPECT_FALSE(fs::exists(InstallerPath()));
        EXPECT_FALSE(fs::exists(output_));
    }

    fs::path InstallerPath() const { return InstallerFolder(temporary_) / InstallerFileName; }
    // No private folder made (Linux), or no installer written where the folder is the temporary
    // folder itself (Windows: the user's temporary folder is private already).
    bool NothingPrepared() const {
        return InstallerFolder(temporary_) == temporary_ ? !fs::exists(InstallerPath())
                                                         : !fs::exists(InstallerFolder(temporary_));
    }

    TestService service_;
    TempFolder scratch_;
    fs::path temporary_ = scratch_.path() / "tmp";
    fs::path output_ = scratch_.path() / "installer-ran.txt";
    ScopedEnv outputVariable_{"QS_INSTALLER_OUT", output_.string()};
    SelfUpdateTarget target_{service_.endpoint(), temporary_};
    std::mutex statusMutex_;
    std::wstring statusText_;
    RunOutcome ended_ = RunOutcome::Failed;
    std::atomic<bool> busy_{false};
    int closeRequests_ = 0;
    WindowCloser window_ = [this] { ++closeRequests_; };
};

TEST_F(SelfUpdate, SameOrOlderReleaseIsUpToDateAndDownloadsNothing) {
    for (const char* version : {"v1.0.8", "1.0.8", "1.0.8.0", "1.0.7", "0.9", "V9.0"}) {
        Publish(version, kInstallerScript, Sha256Hex(kInstallerScript));
        EXPECT_EQ(RunTask(), L"Launcher is up to date (v1.0.8)") << version;
        EXPECT_EQ(ended_, RunOutcome::UpToDate) << version;
    }
    EXPECT_EQ(service_.requestCount("/files/setup.exe"), 0u);
    EXPECT_EQ(closeRequests_, 0);
    EXPECT_TRUE(NothingPrepared());
    const auto request = service_.lastRequest(kLatest);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->header("User-Agent"), "QuillonSagaLauncher/1.0");
}

TEST_F(SelfUpdate, FailedCheckGivesThePrefixedMessage) {
    const std::wstring invalid = L"Update check failed: Invalid launcher update manifest: missing ";
    const std::pair<std::string, std::wstring> documents[] = {
        {R"({"url":"u","sha256":"s"})", invalid + L"version"},
        {R"({"version":1.1,"url":"u","sha256":"s"})", invalid + L"version"},
        {R"(["1.0.9"])", invalid + L"version"},
        {R"({"version":"v1.0.8","sha256":"s"})", invalid + L"url"},  // even when current
        {R"({"version":"1.0.9","url":"u","sha256":null})", invalid + L"sha256"},
        {R"({"version":"1.0.9","url":"u","sha256":"s","x":)" + std::string(70, '[') +
             std::string(70, ']') + "}",
         L"Update check failed: JSON reply is nested too deeply"},
    };
    for (const auto& [document, status] : documents) {
        service_.setLatestJson(document);
        EXPECT_EQ(RunTask(), status) << document;
    }
    const std::pair<Fault, std::wstring> faults[] = {
        {Fault::notJson(), L"Update check failed: [json.exception.parse_error"},
        {Fault::replyStatus(200, "\xFF\xFE garbage"),
         L"Update check failed: [json.exception.parse_error"},
        {Fault::redirect(WideToUtf8(service_.url("/other.json")), 301),
         L"Update check failed: Update server returned an error"},
        {Fault::replyStatus(503, R"({"version":"1.0.9"})"),
         L"Update check failed: Update server returned an error"},
    };
    for (const auto& [fault, status] : faults) {
        service_.setFault(kLatest, fault);
        const std::wstring shown = RunTask();
        EXPECT_EQ(shown.substr(0, status.size()), status) << WideToUtf8(shown);
    }
    EXPECT_EQ(service_.requestCount("/other.json"), 0u);
    EXPECT_EQ(closeRequests_, 0);
}

#ifndef _WIN32
// The installer stand-in is a shell script, and the download is watched from a handler in this
// process: Linux only.
TEST_F(SelfUpdate, NewerReleaseStartsTheVerifiedInstallerWithTheFourSwitches) {
    std::string upperDigest = Sha256Hex(kInstallerScript);  // either case matches
    std::transform(upperDigest.begin(), upperDigest.end(), upperDigest.begin(), ::toupper);
    Publish("1.0.9", kInstallerScript, upperDigest);
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
    WriteFile(InstallerPath(), "an older attempt, much longer than the new installer script");

    EXPECT_EQ(RunTask(), kLaunched);
    EXPECT_EQ(ended_, RunOutcome::InstallerStarted);
    EXPECT_EQ(statusDuringDownload, L"Downloading launcher update 1.0.9...");
    EXPECT_EQ(closeRequests_, 1);

    std::string expected = fs::current_path().string() + "\n";
    for (const std::string& argument : InstallerArguments())
        expected += argument + "\n";
    EXPECT_EQ(WaitForFile(output_), expected);
    EXPECT_EQ(ReadFile(InstallerPath()), kInstallerScript)
        << "kept after the start, earlier file replaced";
    struct stat info {};
    ASSERT_EQ(stat(InstallerFolder(temporary_).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, geteuid());
}
#endif

TEST_F(SelfUpdate, FailedDownloadLeavesNoInstallerAndKeepsTheLauncherOpen) {
    target_.installerMaxBytes = 1u << 20;
    const std::pair<Fault, std::wstring> faults[] = {
        {Fault::wrongBytes(), L"Downloaded installer failed SHA-256 verification"},
        {Fault::redirect(WideToUtf8(service_.url("/files/moved.exe"))),
         L"Update server returned an error"},
        {Fault::truncate(10), L"HTTPS response read failed"},
        {Fault::endless(), L"HTTPS response read failed"},
    };
    for (const auto& [fault, status] : faults) {
        PublishInstaller();
        service_.setFault("/files/setup.exe", fault);
        EXPECT_EQ(RunTask(), status);
        EXPECT_EQ(ended_, RunOutcome::Failed);
        ExpectNothingStarted();
    }
    EXPECT_EQ(service_.requestCount("/files/moved.exe"), 0u);
}

TEST_F(SelfUpdate, BadDigestTextOrUntrustedUrlMakesNoRequest) {
    for (const std::string& digest : {std::string(63, 'a'), std::string(63, 'a') + "g"}) {
        Publish("1.0.9", kInstallerScript, digest);
        EXPECT_EQ(RunTask(), L"Invalid SHA-256 checksum format") << digest;
    }
    const std::string port = std::to_string(service_.port());
    for (const std::string& url :
         {"http://localhost:" + port + "/files/setup.exe",
          "https://other.example:" + port + "/files/setup.exe", std::string("setup.exe")}) {
        service_.setLatestJson(
            nlohmann::json{{"version", "1.0.9"}, {"url", url}, {"sha256", Sha256Hex("x")}}.dump());
        EXPECT_EQ(RunTask(), L"Untrusted launcher update URL") << url;
    }
    EXPECT_EQ(service_.requestCount("/files/setup.exe"), 0u);
    EXPECT_TRUE(NothingPrepared());
}

TEST_F(SelfUpdate, InstallerThatCannotStartIsReportedAndKept) {
    const std::string notAProgram = "MZ this is not something the system can execute\n";
    Publish("1.0.9", notAProgram, Sha256Hex(notAProgram));
    EXPECT_EQ(RunTask(), L"Failed to launch installer");
    EXPECT_EQ(closeRequests_, 0);
    EXPECT_EQ(ReadFile(InstallerPath()), notAProgram);
}

#ifndef _WIN32
// Links, modes, owners and umask are the POSIX side of the private folder.

// Something planted where the private folder goes, in a temporary folder other users can write.
TEST_F(SelfUpdate, PlantedFolderIsRefusedAndNothingIsWrittenOutside) {
    const fs::path outside = scratch_.path() / "victim";
    const fs::path folder = InstallerFolder(temporary_);
    const auto ownFolder = [&](fs::perms perms) {
        fs::create_directory(folder);
        fs::permissions(folder, perms, fs::perm_options::replace);
    };
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    std::vector<Case> cases = {
        {"link to a folder elsewhere", [&] { fs::create_directory_symlink(outside, folder); }},
        {"folder others can enter", [&] { ownFolder(fs::perms::all); }},
        {"plain file", [&] { WriteFile(folder, "squatter"); }},
    };
    PublishInstaller();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(temporary_);
        fs::create_directory(temporary_);
        fs::create_directory(outside);
        c.plant();
        EXPECT_EQ(RunTask(), kWriteFailed);
        EXPECT_EQ(closeRequests_, 0);
        EXPECT_TRUE(fs::is_empty(outside));
        if (fs::is_directory(folder) && !fs::is_symlink(folder)) {
            EXPECT_TRUE(fs::is_empty(folder));
        }
        EXPECT_FALSE(fs::exists(output_));
    }
    EXPECT_EQ(service_.requestCount("/files/setup.exe"), 0u);
}

TEST_F(SelfUpdate, LinkInPlaceOfTheInstallerIsReplacedNotFollowed) {
    PublishInstaller();
    fs::create_directory(InstallerFolder(temporary_));
    fs::permissions(InstallerFolder(temporary_), fs::perms::owner_all, fs::perm_options::replace);
    const fs::path victimFile = scratch_.path() / "important";
    WriteFile(victimFile, "keep me");
    fs::create_symlink(victimFile, InstallerPath());
    EXPECT_EQ(RunTask(), kLaunched);
    EXPECT_EQ(ReadFile(victimFile), "keep me");
    EXPECT_FALSE(fs::is_symlink(InstallerPath()));
    EXPECT_FALSE(WaitForFile(output_).empty());
}

TEST_F(SelfUpdate, NarrowUmaskStillGivesAUsableFolderAndInstaller) {
    PublishInstaller();
    const mode_t previous = umask(0777);
    const std::wstring status = RunTask();
    umask(previous);
    EXPECT_EQ(status, kLaunched);
    EXPECT_FALSE(WaitForFile(output_).empty());
    // The owner reads and starts it whatever the umask; root alone would manage without.
    struct stat info {};
    ASSERT_EQ(stat(InstallerPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

#endif

}  // namespace
