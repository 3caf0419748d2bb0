#include <gtest/gtest.h>

#include <thread>

#include "app/client_data.h"
#include "scratch.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

void FillClient(const fs::path& client) {
    WriteFile(client / "Quillon Saga.exe", "binary");
    WriteFile(client / "data" / "maps" / "world.pak", "pak");
    WriteFile(client / "data" / "config.ini.download", "partial");
}

bool WaitUntilIdle(LauncherState& state) {
    return PollUntil([&] { return !state.busy.load(); });
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

// Refused while an update run owns the files; otherwise busy until done, and a finished worker
// left from the last job is joined before the next takes its place.
TEST(ClearClientDataJob, RefusedWhileBusyThenRunsAndJoinsThePreviousWorker) {
    TempFolder temp;
    const fs::path client = temp.path() / "client";
    FillClient(client);
    LauncherState state;
    state.busy = true;
    EXPECT_FALSE(StartClearClientData(state, client));
    EXPECT_TRUE(state.busy.load());
    EXPECT_FALSE(state.worker.joinable());
    EXPECT_TRUE(fs::exists(client / "Quillon Saga.exe"));

    state.busy = false;
    for (int job = 0; job < 2; ++job) {
        FillClient(client);
        ASSERT_TRUE(StartClearClientData(state, client));
        ASSERT_TRUE(WaitUntilIdle(state));
        EXPECT_TRUE(fs::is_directory(client));
        EXPECT_TRUE(fs::is_empty(client));
    }
    state.worker.join();
}

}  // namespace
