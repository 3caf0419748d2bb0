// The launcher's log on its own: rotation at the cap, places it must not write through, a writer
// that falls behind, and what a line may carry.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/launcher_log.h"
#include "scratch.h"

using namespace qs;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Lines of `text`, one per entry.
std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

TEST(LauncherLog, CallsBeforeAStartAreNoOps) {
    EXPECT_FALSE(LauncherLogActive());
    LogEvent("nobody listens");
    StopLauncherLog();
}

// Past the cap the file becomes launcher.1.log and a new one starts; the one before is dropped.
TEST(LauncherLog, RotatesAtTheCapKeepingOnePreviousFile) {
    TempFolder folder;
    LauncherLogOptions options;
    options.capBytes = 2000;
    StartLauncherLog(folder.path(), options);
    for (int i = 0; i < 100; ++i)
        LogEvent("event " + std::to_string(i) + std::string(40, '.'));
    StopLauncherLog();
    const std::string current = ReadFile(folder.path() / "launcher.log");
    const std::string previous = ReadFile(folder.path() / "launcher.1.log");
    EXPECT_LE(current.size(), options.capBytes);
    EXPECT_GT(previous.size(), options.capBytes - 100);
    EXPECT_LE(previous.size(), options.capBytes);
    EXPECT_NE(current.find("event 99."), std::string::npos);
    EXPECT_EQ(previous.find("event 0."), std::string::npos);  // older than both files

    // A new start adds to the file it finds.
    StartLauncherLog(folder.path(), options);
    LogEvent("again");
    StopLauncherLog();
    EXPECT_EQ(ReadFile(folder.path() / "launcher.log").rfind(current, 0), 0u);
}

// A link or a FIFO at the log's name is neither followed nor opened, and logging goes on
// without a file: nothing waits and nothing is written elsewhere.
TEST(LauncherLog, NeverWritesThroughALinkOrAFifo) {
    TempFolder folder;
    const fs::path log = folder.path() / "launcher.log";
    const fs::path elsewhere = folder.path() / "elsewhere.txt";
    WriteFile(elsewhere, "untouched");
    const struct {
        const char* name;
        bool (*plant)(const fs::path& log, const fs::path& elsewhere);
    } cases[] = {
        {"link",
         [](const fs::path& at, const fs::path& to) {
             std::error_code error;
             fs::create_symlink(to, at, error);
             return kCanMakeLinks && !error;
         }},
#ifndef _WIN32
        {"fifo", [](const fs::path& at, const fs::path&) { return mkfifo(at.c_str(), 0600) == 0; }},
#endif
    };
    for (const auto& c : cases) {
        fs::remove(log);
        if (!c.plant(log, elsewhere))
            continue;
        const auto start = std::chrono::steady_clock::now();
        StartLauncherLog(folder.path());
        LogEvent("must not arrive");
        StopLauncherLog();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.name;
        EXPECT_EQ(ReadFile(elsewhere), "untouched") << c.name;
        EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(log))) << c.name;
    }
}

// A writer that cannot keep up never holds a caller: lines past the queue are counted, and the
// count is written once the writer catches up.
TEST(LauncherLog, FullQueueCountsLinesInsteadOfWaiting) {
    TempFolder folder;
    std::mutex mutex;
    std::condition_variable released;
    bool stalled = true;
    LauncherLogOptions options;
    options.queueLines = 16;
    options.beforeWrite = [&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return !stalled; });
    };
    StartLauncherLog(folder.path(), options);
    constexpr int kLines = 20000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kLines; ++i)
        LogEvent("busy " + std::to_string(i));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    {
        std::lock_guard lock(mutex);
        stalled = false;
    }
    released.notify_all();
    StopLauncherLog();

    // Every line is either written or counted in a later line.
    const std::string log = ReadFile(folder.path() / "launcher.log");
    std::size_t dropped = 0;
    for (auto at = log.find(" log: "); at != std::string::npos; at = log.find(" log: ", at + 1))
        dropped += std::stoul(log.substr(at + 6));
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(CountOf(log, " busy ") + dropped, std::size_t{kLines});
}

TEST(LauncherLog, LinesAreCleanTextWithAUtcTime) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain text /a b.dat", "plain text /a b.dat"},
        {"two\nlines\r", "two\\x0Alines\\x0D"},
        {"bell\x07 and \x1b[31m", "bell\\x07 and \\x1B[31m"},
        {"C:\\Users\\a\\launcher.log",
         "C:\\Users\\a\\launcher.log"},                            // Windows paths stay readable
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // well-formed UTF-8 stays
        {"bad \xC3 \xED\xA0\x80 \xFF", "bad \\xC3 \\xED\\xA0\\x80 \\xFF"},  // ill-formed does not
    };
    for (const auto& c : cases)
        EXPECT_EQ(CleanLogText(c.in), c.out) << c.in;
    EXPECT_EQ(CleanLogText(std::string(5000, 'x'), 100).size(), 100u);

    using std::chrono::system_clock;
    EXPECT_EQ(LogTimeText(system_clock::time_point()), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(LogTimeText(system_clock::time_point(1812318469123ms)), "2027-06-06T21:47:49.123Z");
}
