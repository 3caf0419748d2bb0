#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#endif

#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "platform/folder_lock.h"
#include "platform/folders.h"
#include "platform/private_folder.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "platform/single_instance.h"
#include "platform/wide_text.h"
#include "scratch.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

constexpr bool kUtf16 = sizeof(wchar_t) == 2;

// A non-ASCII name on every platform: a narrow path API would mangle it on Windows.
fs::path Utf8Name(const char8_t* name) {
    return fs::path(std::u8string(name));
}

struct ConversionCase {
    const char* name;
    std::string utf8;
    std::wstring wide;
};

// The rest of UTF-8 in both directions, refusals included, is checked against Python's codec
// (Utf8ToWide.AgreesWithPythonStrictCodec); its random inputs rarely reach these end points.
TEST(WideText, ConvertsBothWaysExactly) {
    const std::vector<ConversionCase> cases = {
        {"last BMP scalar", "\xEF\xBF\xBF", L"\uFFFF"},
        {"supplementary", "\xF0\x9F\x98\x80", L"\U0001F600"},
        {"last code point", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.name;
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << c.name;
    }
    // A supplementary character is one unit on Linux and a surrogate pair on Windows.
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80").size(), kUtf16 ? 2u : 1u);
}

TEST(WideText, RefusesUnpairedSurrogates) {
    std::vector<std::pair<const char*, std::wstring>> cases = {
        {"lone high", std::wstring(1, static_cast<wchar_t>(0xD800))},
        {"lone low", std::wstring(1, static_cast<wchar_t>(0xDFFF))},
        {"high then text", std::wstring{static_cast<wchar_t>(0xD83D), L'a'}},
        {"reversed pair", std::wstring{static_cast<wchar_t>(0xDE00), static_cast<wchar_t>(0xD83D)}},
    };
    if constexpr (!kUtf16) {
        // UTF-32 units can also lie past the last code point, and a "pair" is two lone halves.
        cases.push_back({"past U+10FFFF", std::wstring(1, static_cast<wchar_t>(0x110000))});
        cases.push_back({"all bits set", std::wstring(1, static_cast<wchar_t>(0xFFFFFFFFu))});
        cases.push_back({"pair as UTF-32 units",
                         std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)}});
    }
    for (const auto& [name, wide] : cases)
        EXPECT_EQ(ErrorOf([&] { WideToUtf8(wide); }), "Invalid UTF-16") << name;
}

TEST(Sha256Stream, PublishedVectorsWholeAndInPieces) {
    const std::vector<std::pair<std::string, std::wstring>> cases = {
        {"", L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         L"248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& [message, digest] : cases) {
        Sha256Stream whole;
        whole.update(message.data(), message.size());
        EXPECT_EQ(whole.finish(), digest) << message;
        Sha256Stream pieces;
        for (char c : message)
            pieces.update(&c, 1);
        pieces.update(nullptr, 0);
        EXPECT_EQ(pieces.finish(), digest) << message;
    }
}

TEST(FileIo, WritesAndReadsBackUnderANonAsciiName) {
    TempFolder scratch;
    const fs::path file = scratch.path() / Utf8Name(u8"d\u00E9j\u00E0 \u20AC.bin");
    std::string content(70000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31);
    OutputFile out;
    ASSERT_TRUE(out.create(file));
    ASSERT_TRUE(out.write(content.data(), 1));
    ASSERT_TRUE(out.write(content.data() + 1, content.size() - 1));
    ASSERT_TRUE(out.close());
    EXPECT_FALSE(out.close()) << "a second close has nothing to close";

    InputFile in;
    ASSERT_TRUE(in.open(file));
    std::string back;
    std::vector<char> buffer(65536);
    for (std::int64_t got; (got = in.read(buffer.data(), buffer.size())) > 0;)
        back.append(buffer.data(), static_cast<std::size_t>(got));
    EXPECT_EQ(back, content);

    // Creating again empties the earlier content.
    ASSERT_TRUE(out.create(file));
    ASSERT_TRUE(out.close());
    EXPECT_EQ(fs::file_size(file), 0u);

    // A missing file, or a folder, gives no bytes; a folder cannot be created over.
    InputFile missing;
    EXPECT_FALSE(missing.open(scratch.path() / "absent"));
    InputFile folder;
    char byte = 0;
    EXPECT_TRUE(!folder.open(scratch.path()) || folder.read(&byte, 1) <= 0);
    OutputFile onFolder;
    EXPECT_FALSE(onFolder.create(scratch.path()));
}

// The state a writer takes when it finishes stays the file's state once it is closed, and a later
// rewrite in place at the same length shows in it.
TEST(FileIo, FinishedStateHoldsUntilTheNextWrite) {
    TempFolder scratch;
    const fs::path file = scratch.path() / "a.download";
    OutputFile out;
    ASSERT_TRUE(out.createNew(file));
    ASSERT_TRUE(out.write("proven", 6));
    const std::optional<FileState> finished = out.finishedState();
    ASSERT_TRUE(finished);
    ASSERT_TRUE(out.close());
    EXPECT_EQ(RegularFileState(file), finished);

    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past the clock's tick
    ASSERT_TRUE(out.openToAppend(file));
    ASSERT_TRUE(out.close());
    EXPECT_EQ(RegularFileState(file), finished) << "opened and closed, nothing written";
    WriteFile(file, "forged");
    const std::optional<FileState> rewritten = RegularFileState(file);
    ASSERT_TRUE(rewritten);
    EXPECT_TRUE(SameFileAndSize(*rewritten, *finished));
    EXPECT_NE(rewritten, finished);
}

// A missing folder is an error, not a folder made on the way.
TEST(DurableFile, WriteCreatesAndReplacesLeavingNoTemporaryFile) {
    TempFolder scratch;
    const fs::path file = scratch.path() / Utf8Name(u8"s\u00E9ttings.ini");
    ASSERT_EQ(WriteFileDurably(file, "one", 3), 0);
    EXPECT_EQ(ReadFile(file), "one");
    ASSERT_EQ(WriteFileDurably(file, "second", 6), 0);
    EXPECT_EQ(ReadFile(file), "second");
    ASSERT_EQ(WriteFileDurably(file, "", 0), 0);
    EXPECT_EQ(ReadFile(file), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), fs::directory_iterator()), 1);
    EXPECT_NE(WriteFileDurably(scratch.path() / "no-such-folder" / "x", "a", 1), 0);
}

TEST(DurableFile, ReplaceMovesOverTheTarget) {
    TempFolder scratch;
    const fs::path source = scratch.path() / "data.pak.download";
    const fs::path target = scratch.path() / "data.pak";
    ASSERT_EQ(WriteFileDurably(source, "new", 3), 0);
    ASSERT_EQ(WriteFileDurably(target, "old", 3), 0);
    ASSERT_EQ(ReplaceFileDurably(source, target), 0);
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_FALSE(fs::exists(source));
    // A source that is gone fails with a code and leaves the target alone.
    const int error = ReplaceFileDurably(source, target);
    EXPECT_NE(error, 0);
    EXPECT_FALSE(IsFileInUseError(error));
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_EQ(MakeExecutable(target), 0);
}

#ifdef _WIN32
// The game holding its executable open is the common case of a failed replacement.
TEST(DurableFile, TargetHeldWithoutSharingIsInUse) {
    TempFolder scratch;
    const fs::path source = scratch.path() / "Quillon Saga.exe.download";
    const fs::path target = scratch.path() / "Quillon Saga.exe";
    ASSERT_EQ(WriteFileDurably(source, "new", 3), 0);
    ASSERT_EQ(WriteFileDurably(target, "old", 3), 0);
    HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const int error = ReplaceFileDurably(source, target);
    CloseHandle(held);
    EXPECT_TRUE(IsFileInUseError(error)) << error;
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(ReadFile(source), "new");
}
#endif

TEST(Process, MissingExecutableFailsWithACode) {
    TempFolder scratch;
    int error = 0;
    EXPECT_FALSE(
        StartDetachedProcess(scratch.path() / "Quillon Saga.exe", {}, scratch.path(), &error));
    EXPECT_NE(error, 0);
    EXPECT_FALSE(StartInstaller(scratch.path() / "QuillonSagaLauncher-Update.exe", {"/SILENT"}));
}

#ifdef _WIN32
// On Linux the bytes go to xdg-open as they are; Windows needs them as UTF-16.
TEST(Process, TargetThatIsNotUtf8IsRefused) {
    EXPECT_FALSE(OpenWithDesktop("\xFF"));
}
#endif

TEST(Folders, AreAbsoluteWhenResolved) {
    for (const auto& folder : {RoamingDataFolder(), LocalDataFolder()}) {
        if (folder) {
            EXPECT_TRUE(folder->is_absolute());
        }
    }
    const fs::path temporary = TemporaryFolder();
    EXPECT_TRUE(temporary.empty() || temporary.is_absolute());
#ifdef _WIN32
    EXPECT_TRUE(RoamingDataFolder().has_value());
    EXPECT_TRUE(LocalDataFolder().has_value());
    EXPECT_FALSE(temporary.empty());
#endif
}

// A fresh file each time, kept until removed; a folder in a missing parent is refused.
TEST(PrivateFolder, HoldsAFreshFileUntilRemoved) {
    TempFolder scratch;
    const fs::path folder = UserFolderIn(scratch.path(), "QuillonSagaLauncher");
    PrivateFolder privateFolder;
    ASSERT_TRUE(privateFolder.open(folder));
    OutputFile file;
    ASSERT_TRUE(privateFolder.createFile("QuillonSagaLauncher-Update.exe", file));
    ASSERT_TRUE(file.write("MZ", 2));
    ASSERT_TRUE(file.close());
    EXPECT_TRUE(privateFolder.stillSame());
    EXPECT_EQ(ReadFile(folder / "QuillonSagaLauncher-Update.exe"), "MZ");
    // An earlier file is replaced by a new one, not appended to.
    ASSERT_TRUE(privateFolder.createFile("QuillonSagaLauncher-Update.exe", file));
    ASSERT_TRUE(file.close());
    EXPECT_EQ(ReadFile(folder / "QuillonSagaLauncher-Update.exe"), "");
    privateFolder.removeFile("QuillonSagaLauncher-Update.exe");
    EXPECT_FALSE(fs::exists(folder / "QuillonSagaLauncher-Update.exe"));

    PrivateFolder inMissingParent;
    EXPECT_FALSE(inMissingParent.open(scratch.path() / "no-such-parent" / "folder"));
    EXPECT_FALSE(inMissingParent.stillSame());
    EXPECT_FALSE(inMissingParent.createFile("x", file));
}

}  // namespace

// Held until released, by another holder in the same process too, and never left behind.
TEST(FolderLock, OneHolderAtATime) {
    TempFolder scratch;
    {
        FolderLock first, second;
        EXPECT_EQ(first.tryLock(scratch.path()), FolderLock::Outcome::Locked);
        EXPECT_EQ(second.tryLock(scratch.path()), FolderLock::Outcome::Busy);
    }
    FolderLock after;
    EXPECT_EQ(after.tryLock(scratch.path()), FolderLock::Outcome::Locked);
    FolderLock missing;
    EXPECT_EQ(missing.tryLock(scratch.path() / "missing"), FolderLock::Outcome::Failed);
}

#ifndef _WIN32
// Whoever can merely read the folder, or left a file or a link where the lock goes, cannot hold
// the lock; the lock file is the player's alone and leaves with the lock.
TEST(FolderLock, NobodyElseCanHoldIt) {
    TempFolder scratch;
    const fs::path lockFile = scratch.path() / ".quillon-update.lock";
    const int reader = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(flock(reader, LOCK_EX | LOCK_NB), 0);
    for (const char* left : {"nothing", "a link", "a FIFO", "another user's file"}) {
        SCOPED_TRACE(left);
        const std::string kind = left;
        if (kind == "a link")
            fs::create_symlink(scratch.path() / "elsewhere", lockFile);
        if (kind == "a FIFO") {
            ASSERT_EQ(mkfifo(lockFile.c_str(), 0666), 0);
        }
        if (kind == "another user's file") {
            WriteFile(lockFile, "");
            if (chown(lockFile.c_str(), 65534, 65534) != 0)
                continue;  // only root can give a file away
        }
        {
            FolderLock lock;
            ASSERT_EQ(lock.tryLock(scratch.path()), FolderLock::Outcome::Locked);
            struct stat info {};
            ASSERT_EQ(lstat(lockFile.c_str(), &info), 0);
            EXPECT_TRUE(S_ISREG(info.st_mode));
            EXPECT_EQ(info.st_uid, geteuid());
            EXPECT_EQ(info.st_mode & 077, 0u);
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(lockFile)));
        EXPECT_FALSE(fs::exists(scratch.path() / "elsewhere"));
    }
    close(reader);
}
#endif

// A second start finds the first and asks it to show itself; once the first is gone the next
// start is the first again.
TEST(SingleInstance, SecondStartAsksTheFirstToShowItself) {
    TempFolder scratch;
    const std::string name = "qs-instance-test-" + std::to_string(std::random_device{}());
    {
        SingleInstance first(name, scratch.path());
        ASSERT_TRUE(first.isPrimary());
        EXPECT_FALSE(first.takeShowRequest());
        {
            SingleInstance second(name, scratch.path());
            EXPECT_FALSE(second.isPrimary());
        }
        EXPECT_TRUE(PollUntil([&] { return first.takeShowRequest(); }));
        EXPECT_FALSE(first.takeShowRequest());
    }
    SingleInstance next(name, scratch.path());
    EXPECT_TRUE(next.isPrimary());
}

#ifndef _WIN32
// A listener on an abstract socket named for this user, as any local user can bind, neither stops
// the first start from listening nor catches the second start's request.
TEST(SingleInstance, SquattedAbstractSocketCatchesNothing) {
    TempFolder scratch;
    const std::string name = "qs-instance-test-" + std::to_string(std::random_device{}());
    const int squatter = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(squatter, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string abstractName = name + "-" + std::to_string(geteuid());
    std::memcpy(address.sun_path + 1, abstractName.data(), abstractName.size());
    ASSERT_EQ(
        bind(squatter, reinterpret_cast<const sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size())),
        0);
    ASSERT_EQ(listen(squatter, 8), 0);
    SingleInstance first(name, scratch.path());
    ASSERT_TRUE(first.isPrimary());
    {
        SingleInstance second(name, scratch.path());
        EXPECT_FALSE(second.isPrimary());
    }
    EXPECT_TRUE(PollUntil([&] { return first.takeShowRequest(); }));
    close(squatter);
}

// A launcher killed without any clean-up never blocks the next start.
TEST(SingleInstance, KilledHolderLeavesNothingThatBlocks) {
    TempFolder scratch;
    const std::string name = "qs-instance-test-" + std::to_string(std::random_device{}());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstance held(name, scratch.path());
        [[maybe_unused]] const auto written = write(ready[1], "r", 1);
        for (;;)
            pause();
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    {
        SingleInstance whileHeld(name, scratch.path());
        EXPECT_FALSE(whileHeld.isPrimary());
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    SingleInstance after(name, scratch.path());
    EXPECT_TRUE(after.isPrimary());
}
#endif
