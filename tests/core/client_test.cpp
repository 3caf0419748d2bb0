#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/client.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The client stand-in records its working folder, argument count and session, then may linger.
constexpr const char* kClientScript =
    "#!/bin/sh\n"
    "{ pwd; echo \"$#\"; cut -d' ' -f6 /proc/$$/stat; } > \"$QS_TEST_OUT.tmp\" && mv "
    "\"$QS_TEST_OUT.tmp\" "
    "\"$QS_TEST_OUT\"\n"
    "sleep \"${QS_TEST_HOLD:-0}\"\n";

class ClientLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qs-client-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        folder_ = root_ / "Quillon Saga" / "QuillonSaga Game";
        fs::create_directories(folder_);
        executable_ = folder_ / ClientExecutableName;
        output_ = root_ / "client-ran.txt";
        setenv("QS_TEST_OUT", output_.c_str(), 1);
        setenv("QS_TEST_HOLD", "0", 1);
    }
    void TearDown() override { fs::remove_all(root_); }

    void WriteClient(mode_t mode) {
        std::ofstream(executable_) << kClientScript;
        chmod(executable_.c_str(), mode);
    }
    std::string WaitForOutput() {
        for (auto deadline = std::chrono::steady_clock::now() + 20s;
             std::chrono::steady_clock::now() < deadline;) {
            if (fs::exists(output_)) {
                std::stringstream s;
                s << std::ifstream(output_).rdbuf();
                return s.str();
            }
            std::this_thread::sleep_for(20ms);
        }
        return "";
    }

    fs::path root_, folder_, executable_, output_;
};

}  // namespace

TEST(ClientDirectory, FollowsTheDataHome) {
    setenv("XDG_DATA_HOME", "/tmp/qs-data-home", 1);
    EXPECT_EQ(ClientDirectory(), fs::path("/tmp/qs-data-home/Quillon Saga/QuillonSaga Game"));
    unsetenv("XDG_DATA_HOME");
    EXPECT_TRUE(ClientDirectory().is_absolute());
    EXPECT_EQ(fs::path(ClientExecutableName), fs::path("Quillon Saga.exe"));
}

TEST_F(ClientLaunch, StartsInItsFolderWithNoArgumentsInItsOwnSession) {
    WriteClient(0755);
    std::wstring error;
    ASSERT_TRUE(LaunchClient(executable_, folder_, error));
    EXPECT_TRUE(error.empty());
    std::istringstream lines(WaitForOutput());
    std::string cwd, argc, session;
    std::getline(lines, cwd);
    std::getline(lines, argc);
    std::getline(lines, session);
    EXPECT_EQ(fs::path(cwd), fs::canonical(folder_));
    EXPECT_EQ(argc, "0");
    EXPECT_NE(session, std::to_string(getsid(0)));
    // The launcher is left with no child to reap: the client belongs to init.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST_F(ClientLaunch, GivesADownloadedClientItsExecuteBit) {
    WriteClient(0644);
    std::wstring error;
    ASSERT_TRUE(LaunchClient(executable_, folder_, error));
    EXPECT_FALSE(WaitForOutput().empty());
    EXPECT_TRUE((fs::status(executable_).permissions() & fs::perms::owner_exec) != fs::perms::none);
}

TEST_F(ClientLaunch, MissingClientOrFolderReportsFailure) {
    std::wstring error;
    EXPECT_FALSE(LaunchClient(executable_, folder_, error));
    EXPECT_EQ(error, L"Could not start QSClient.exe.");
    error.clear();
    WriteClient(0755);
    EXPECT_FALSE(LaunchClient(executable_, root_ / "no such folder", error));
    EXPECT_EQ(error, L"Could not start QSClient.exe.");
    EXPECT_FALSE(fs::exists(output_));
}

TEST_F(ClientLaunch, InheritsNoDescriptorOfTheLauncher) {
    WriteClient(0755);
    setenv("QS_TEST_HOLD", "5", 1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // deliberately not close-on-exec
    std::wstring error;
    ASSERT_TRUE(LaunchClient(executable_, folder_, error));
    ASSERT_FALSE(WaitForOutput().empty());
    close(fds[1]);
    // The client still runs; had it inherited the write end, the read end would not see EOF yet.
    pollfd readable{fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 2000), 1);
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), 0);
    close(fds[0]);
}
