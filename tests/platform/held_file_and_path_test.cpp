// Paths past MAX_PATH, and files another program holds for a moment.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "platform/folder_walk.h"
#include "platform/held_file.h"
#include "platform/long_path.h"
#include "scratch.h"

namespace qs {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

TEST(LongPath, ExtendedFormOfEachKindOfPath) {
    struct Case {
        std::wstring path;
        std::wstring extended;
    };
    const Case cases[] = {
        {L"C:\\Games\\Quillon Saga\\data.pak", L"\\\\?\\C:\\Games\\Quillon Saga\\data.pak"},
        {L"c:/Games//Quillon/./data/../data.pak", L"\\\\?\\c:\\Games\\Quillon\\data.pak"},
        {L"C:\\..\\..\\x", L"\\\\?\\C:\\x"},
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"C:\\Users\\\u0141ukasz \u5c71\u7530\\", L"\\\\?\\C:\\Users\\\u0141ukasz \u5c71\u7530\\"},
        {L"\\\\server\\share\\a\\..\\b.pak", L"\\\\?\\UNC\\server\\share\\b.pak"},
        {L"//server/share/../../b", L"\\\\?\\UNC\\server\\share\\b"},
        {L"\\\\server\\share", L"\\\\?\\UNC\\server\\share"},
        // Already as the system sees it, or not absolute: left alone.
        {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},
        {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
        {L"\\\\server", L"\\\\server"},
        {L"data\\file.pak", L"data\\file.pak"},
        {L"C:file.pak", L"C:file.pak"},
        {L"\\rooted", L"\\rooted"},
        {L"", L""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExtendedLengthPath(c.path), c.extended) << fs::path(c.path).string();
}

// A fake clock that sleeping moves on; the attempt fails with the given errors, then succeeds.
struct RetryCase {
    const char* name;
    std::vector<int> errors;
    int result;
    int attempts;
};

TEST(HeldFile, RetriesOnlyHeldErrorsAndOnlyForAWhile) {
    constexpr int kHeld = 32;    // sharing violation
    constexpr int kDenied = 5;   // access denied: another holder as well
    constexpr int kMissing = 2;  // never passes by itself
    const std::vector<int> heldForever(100, kHeld);
    const RetryCase cases[] = {
        {"first try", {}, 0, 1},
        {"held a moment", {kHeld, kDenied, kHeld}, 0, 4},
        {"other error", {kMissing}, kMissing, 1},
        {"held, then another error", {kHeld, kMissing}, kMissing, 2},
        // 2 s in 50 ms pauses: the try at 2000 ms is the last.
        {"held for good", heldForever, kHeld, 41},
    };
    for (const RetryCase& c : cases) {
        HeldFileRetry::Clock::time_point now{};
        HeldFileRetry retry;
        retry.now = [&] { return now; };
        retry.sleep = [&](milliseconds pause) { now += pause; };
        int attempts = 0;
        const int result = RetryWhileHeld(
            [&] {
                const std::size_t index = static_cast<std::size_t>(attempts++);
                return index < c.errors.size() ? c.errors[index] : 0;
            },
            [](int error) { return error == kHeld || error == kDenied; }, retry);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(attempts, c.attempts) << c.name;
    }
}

#ifdef _WIN32
// The launcher's executable (any that links its resources) declares itself long-path aware.
TEST(LongPath, ApplicationManifestIsLongPathAware) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    const std::string manifest(text, SizeofResource(nullptr, found));
    EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                            "WindowsSettings\">true</longPathAware>"),
              std::string::npos);
}

// A scanner that opens the new file just after it was written holds it for a moment.
// Opens `file` as a scanner does, sharing only reading, and lets go after 300 ms.
std::thread HoldForAMoment(const fs::path& file) {
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    return std::thread([held] {
        std::this_thread::sleep_for(milliseconds(300));
        CloseHandle(held);
    });
}

TEST(HeldFile, PlacementAndReopeningWaitForAMomentaryHolder) {
    TempFolder scratch;
    const fs::path source = scratch.path() / L"data.pak.download";
    const fs::path target = scratch.path() / L"data.pak";
    ASSERT_EQ(WriteFileDurably(source, "new", 3), 0);
    ASSERT_EQ(WriteFileDurably(target, "old", 3), 0);
    std::thread scanner = HoldForAMoment(target);
    const int error = ReplaceFileDurably(source, target);
    scanner.join();
    EXPECT_EQ(error, 0);
    EXPECT_EQ(ReadFile(target), "new");

    // A download to go on with, held just after it was written.
    ASSERT_EQ(WriteFileDurably(source, "part", 4), 0);
    scanner = HoldForAMoment(source);
    OutputFile file;
    const bool opened = file.openToAppend(source);
    scanner.join();
    EXPECT_TRUE(opened);

    // A read-only target is made writable, then replaced.
    ASSERT_TRUE(file.close());
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(MoveOver(source, target), 0);
    EXPECT_EQ(ReadFile(target), "part");
}
#endif

// Only a link goes, never what it leads to; a real folder, a file or nothing at the name stays.
TEST(FolderHandle, RemovesALinkAndNothingElse) {
    TempFolder scratch;
    WriteFile(scratch.path() / "real" / "kept.pak", "kept");
    WriteFile(scratch.path() / "file.pak", "file");
    FolderHandle folder;
    ASSERT_TRUE(folder.open(scratch.path()));
    for (const fs::path name : {"real", "file.pak", "missing"})
        EXPECT_FALSE(folder.removeLink(name.c_str())) << name;
    EXPECT_EQ(ReadFile(scratch.path() / "real" / "kept.pak"), "kept");
    EXPECT_EQ(ReadFile(scratch.path() / "file.pak"), "file");
    if (!kCanMakeLinks)
        return;
    fs::create_directory_symlink(scratch.path() / "real", scratch.path() / "linked");
    EXPECT_TRUE(folder.removeLink(fs::path("linked").c_str()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(scratch.path() / "linked")));
    EXPECT_EQ(ReadFile(scratch.path() / "real" / "kept.pak"), "kept");
}

}  // namespace
}  // namespace qs
