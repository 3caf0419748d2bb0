// A client under a folder named in other alphabets, whose files lie past 300 characters, installs,
// verifies and updates by chunks like any other.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/long_path.h"
#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(LongClientPath, InstallsVerifiesAndUpdatesPastMaxPath) {
    test::TestService service;
    std::string deep = "data/";
    for (int i = 0; i < 10; ++i)
        deep += "Quillon Saga Content Folder/";
    const std::string small = deep + "map.pak";
    const std::string large = deep + "music.pak";  // chunked: at least 4 MiB
    std::string music = RandomBytes(5u << 20, 7);
    service.setFile("Quillon Saga.exe", "exe");
    service.setFile(small, "map bytes");
    service.setFile(large, music);

    TempFolder folder;
    const fs::path client = folder.path() / fs::path(u8"\u0141ukasz \u5c71\u7530") /
                            "Quillon Saga" / "QuillonSaga Game";
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.retryPauses = {1ms};
    const auto run = [&] {
        const UpdateResult result = RunClientUpdate(
            client, [](const UpdateProgress&) {}, environment);
        EXPECT_TRUE(result.ok) << WideToUtf8(result.message);
    };
    run();
    const fs::path placed =
        (client / fs::path(std::u8string(small.begin(), small.end()))).lexically_normal();
    ASSERT_GT(placed.native().size(), 300u);
    EXPECT_EQ(ReadFile(ForFileCall(placed)), "map bytes");

    // Unchanged: verified without a download; changed at one place: only its chunk comes.
    run();
    EXPECT_EQ(service.requestCount(service.filePath(small)), 1u);
    music[3u << 20] ^= 1;
    service.setFile(large, music);
    run();
    EXPECT_EQ(ReadFile(ForFileCall(placed.parent_path() / "music.pak")), music);
    ASSERT_GE(service.requestCount(service.filePath(large)), 1u);
    EXPECT_NE(service.lastRequest(service.filePath(large))->header("Range"), "");
}

}  // namespace
}  // namespace qs
