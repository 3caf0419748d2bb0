#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/client_data.h"
#include "scratch.h"

namespace fs = std::filesystem;

namespace {

void FillClient(const fs::path& client) {
    WriteFile(client / "Quillon Saga.exe", "binary");
    WriteFile(client / "data" / "maps" / "world.pak", "pak");
    WriteFile(client / "data" / "config.ini.download", "partial");
}

// Generous: the machine may be loaded; the job normally takes milliseconds.
bool WaitUntilIdle(LauncherState& state) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         state.busy.load(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

TEST(ClearFolderContents, EmptiesTheFolderKeepsItAndCreatesNone) {
    TempFolder temp;
    const fs::path client = temp.path() / "Quillon Saga" / "QuillonSaga Game";
    EXPECT_FALSE(ClearFolderContents(client));
    EXPECT_FALSE(fs::exists(temp.path() / "Quillon Saga"));
    FillClient(client);
    EXPECT_TRUE(ClearFolderContents(client));
    ASSERT_TRUE(fs::is_directory(client));
    EXPECT_TRUE(fs::is_empty(client));
}

// A client folder that is a link to elsewhere: the link goes, what it points at stays.
TEST(ClearFolderContents, DoesNotFollowALinkedFolder) {
    if (!kCanMakeLinks)
        GTEST_SKIP() << "no symbolic links here";
    TempFolder temp;
    const fs::path elsewhere = temp.path() / "elsewhere";
    WriteFile(elsewhere / "keep.txt", "precious");
    const fs::path client = temp.path() / "client";
    fs::create_directory_symlink(elsewhere, client);
    EXPECT_TRUE(ClearFolderContents(client));
    EXPECT_EQ(ReadFile(elsewhere / "keep.txt"), "precious");
    EXPECT_FALSE(fs::is_symlink(client));
    EXPECT_TRUE(fs::is_directory(client));
}

TEST(ClearClientDataJob, RefusedWhileBusyAndClearsBusyWhenDone) {
    TempFolder temp;
    const fs::path client = temp.path() / "client";
    FillClient(client);
    LauncherState state;

    state.busy = true;  // an update run owns the files
    EXPECT_FALSE(StartClearClientData(state, client));
    EXPECT_TRUE(state.busy.load());
    EXPECT_FALSE(state.worker.joinable());
    EXPECT_TRUE(fs::exists(client / "Quillon Saga.exe"));

    state.busy = false;
    ASSERT_TRUE(StartClearClientData(state, client));
    ASSERT_TRUE(WaitUntilIdle(state));
    ASSERT_TRUE(state.worker.joinable());
    state.worker.join();
    EXPECT_TRUE(fs::is_directory(client));
    EXPECT_TRUE(fs::is_empty(client));
}

// A finished worker left in `worker` is joined before the next job takes its place.
TEST(ClearClientDataJob, JoinsThePreviousWorker) {
    TempFolder temp;
    const fs::path client = temp.path() / "client";
    LauncherState state;
    state.worker = std::thread([] {});
    FillClient(client);
    ASSERT_TRUE(StartClearClientData(state, client));
    ASSERT_TRUE(WaitUntilIdle(state));
    FillClient(client);
    ASSERT_TRUE(StartClearClientData(state, client));
    ASSERT_TRUE(WaitUntilIdle(state));
    state.worker.join();
    EXPECT_TRUE(fs::is_empty(client));
}

}  // namespace
