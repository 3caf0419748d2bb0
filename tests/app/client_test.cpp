#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "app/client.h"
#include "scratch.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

// The client stand-in records its working folder, argument count and session, then may linger.
constexpr const char* kClientScript =
    "#!/bin/sh\n"
    "{ pwd; echo \"$#\"; cut -d' ' -f6 /proc/$$/stat; } > \"$QS_TEST_OUT.tmp\" && "
    "mv \"$QS_TEST_OUT.tmp\" \"$QS_TEST_OUT\"\n"
    "sleep \"${QS_TEST_HOLD:-0}\"\n";

class ClientLaunch : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(folder_); }

    void WriteClient(mode_t mode) {
        WriteFile(executable_, kClientScript);
        chmod(executable_.c_str(), mode);
    }

    TempFolder root_;
    fs::path folder_ = root_.path() / "Quillon Saga" / "QuillonSaga Game";
    fs::path executable_ = folder_ / ClientExecutableName;
    fs::path output_ = root_.path() / "client-ran.txt";
    ScopedEnv out_{"QS_TEST_OUT", output_.string()};
    ScopedEnv hold_{"QS_TEST_HOLD", "0"};
};

// A downloaded client has no execute bit; the launch gives it one.
TEST_F(ClientLaunch, StartsInItsFolderWithNoArgumentsInItsOwnSession) {
    WriteClient(0644);
    std::wstring error;
    ASSERT_TRUE(LaunchClient(executable_, folder_, error));
    EXPECT_TRUE(error.empty());
    std::istringstream lines(WaitForFile(output_));
    std::string cwd, argc, session;
    std::getline(lines, cwd);
    std::getline(lines, argc);
    std::getline(lines, session);
    EXPECT_EQ(fs::path(cwd), fs::canonical(folder_));
    EXPECT_EQ(argc, "0");
    EXPECT_NE(session, std::to_string(getsid(0)));
    EXPECT_TRUE((fs::status(executable_).permissions() & fs::perms::owner_exec) != fs::perms::none);
    // The launcher is left with no child to reap: the client belongs to init.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST_F(ClientLaunch, MissingClientOrFolderReportsFailure) {
    std::wstring error;
    EXPECT_FALSE(LaunchClient(executable_, folder_, error));
    EXPECT_EQ(error, L"Could not start QSClient.exe.");
    error.clear();
    WriteClient(0755);
    EXPECT_FALSE(LaunchClient(executable_, root_.path() / "no such folder", error));
    EXPECT_EQ(error, L"Could not start QSClient.exe.");
    EXPECT_FALSE(fs::exists(output_));
}

TEST_F(ClientLaunch, InheritsNoDescriptorOfTheLauncher) {
    WriteClient(0755);
    ScopedEnv hold("QS_TEST_HOLD", "5");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // deliberately not close-on-exec
    std::wstring error;
    ASSERT_TRUE(LaunchClient(executable_, folder_, error));
    ASSERT_FALSE(WaitForFile(output_).empty());
    close(fds[1]);
    // The client still runs; had it inherited the write end, the read end would not see EOF yet.
    pollfd readable{fds[0], POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 2000), 1);
    char byte;
    EXPECT_EQ(read(fds[0], &byte, 1), 0);
    close(fds[0]);
}

}  // namespace
