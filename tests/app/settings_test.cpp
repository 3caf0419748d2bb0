#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "scratch.h"

using namespace qs;

namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    TempFolder root_;
    fs::path file_ = root_.path() / "QuillonSagaLauncher" / "settings.ini";
};

TEST_F(SettingsFile, LoadTable) {
    struct Case {
        const char* name;
        std::optional<std::string> content;  // nullopt: no file
        bool close, verify;
        std::uint32_t limit = 0;
    };
    const std::vector<Case> cases = {
        {"no file", std::nullopt, false, true},
        {"empty file", "", false, true},
        {"both set", "CloseOnLaunch=1\nVerifyOnStart=0\n", true, false},
        {"CR LF line ends", "CloseOnLaunch=1\r\nVerifyOnStart=0\r\n", true, false},
        {"value true", "CloseOnLaunch=true\n", false, true},
        {"blank before value", "CloseOnLaunch= 1\n", false, true},
        {"blank before key", " CloseOnLaunch=1\n", false, true},
        {"1 followed by more", "CloseOnLaunch=10\n", false, true},
        {"last occurrence wins", "CloseOnLaunch=1\nCloseOnLaunch=0\nCloseOnLaunch=1", true, true},
        {"byte-order mark hides the first key",
         "\xEF\xBB\xBF"
         "CloseOnLaunch=1\nVerifyOnStart=0",
         false, false},
        {"other lines ignored", "[section]\n# note\nVerifyOnStart=0\nGameDir=/x\n", false, false},
        {"speed limit", "CloseOnLaunch=1\nVerifyOnStart=1\nDownloadLimitMBps=20\r\n", true, true,
         20},
        {"speed limit not a number", "DownloadLimitMBps=5 MB\n", false, true, 0},
        {"speed limit absurd", "DownloadLimitMBps=99999999\n", false, true, 0},
    };
    for (const auto& c : cases) {
        fs::remove(file_);
        if (c.content)
            WriteFile(file_, *c.content);
        LauncherSettings settings;
        settings.unsavedChanges = true;
        LoadSettings(settings, file_);
        EXPECT_EQ(settings.closeOnLaunch, c.close) << c.name;
        EXPECT_EQ(settings.verifyOnStart, c.verify) << c.name;
        EXPECT_EQ(settings.savedCloseOnLaunch, c.close) << c.name;
        EXPECT_EQ(settings.savedVerifyOnStart, c.verify) << c.name;
        EXPECT_EQ(settings.downloadLimitMBps, c.limit) << c.name;
        EXPECT_EQ(settings.savedDownloadLimitMBps, c.limit) << c.name;
        EXPECT_EQ(settings.unsavedChanges, !c.content) << c.name;  // no file: nothing changes
    }
}

// The two original lines first and in their form, the limit after them.
TEST(SettingsFileText, LinesEndedAsTheSystemEndsTextLines) {
    LauncherSettings settings;
    EXPECT_EQ(SettingsFileText(settings, HostSystem::Linux),
              "CloseOnLaunch=0\nVerifyOnStart=1\nDownloadLimitMBps=0\n");
    settings.closeOnLaunch = true;
    settings.verifyOnStart = false;
    settings.downloadLimitMBps = 5;
    EXPECT_EQ(SettingsFileText(settings, HostSystem::Windows),
              "CloseOnLaunch=1\r\nVerifyOnStart=0\r\nDownloadLimitMBps=5\r\n");
}

TEST(DownloadLimit, StepsThroughItsValues) {
    const std::tuple<std::uint32_t, int, std::uint32_t> cases[] = {
        {0, -1, 0}, {0, 1, 1}, {5, 1, 10}, {5, -1, 2}, {7, 1, 10}, {7, -1, 5}, {100, 1, 100}};
    for (const auto& [from, direction, to] : cases)
        EXPECT_EQ(StepDownloadLimit(from, direction), to) << from << " " << direction;
    EXPECT_EQ(DownloadLimitBytesPerSecond(2), 2u << 20);
}

TEST_F(SettingsFile, SaveCreatesTheFolderAndWritesTheLines) {
    LauncherSettings settings;
    SaveSettings(settings, file_);
    EXPECT_EQ(ReadFile(file_), SettingsFileText(settings));

    settings.closeOnLaunch = true;
    settings.verifyOnStart = false;
    RecomputeUnsavedChanges(settings);
    ASSERT_TRUE(settings.unsavedChanges);
    SaveSettings(settings, file_);
    EXPECT_FALSE(settings.unsavedChanges);
    EXPECT_TRUE(settings.savedCloseOnLaunch);

    LauncherSettings reloaded;
    LoadSettings(reloaded, file_);
    EXPECT_TRUE(reloaded.closeOnLaunch);
    EXPECT_FALSE(reloaded.verifyOnStart);
    // Nothing but the settings file: no temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file_.parent_path()), fs::directory_iterator()),
              1);
}

TEST_F(SettingsFile, FailuresKeepChangesUnsavedAndNeverThrow) {
#ifdef _WIN32
    const bool ignoresModes = true;  // no folder modes to speak of
#else
    const bool ignoresModes = geteuid() == 0;
#endif
    if (ignoresModes) {
        // root ignores folder modes; a file where the folder should be fails for everyone.
        WriteFile(file_.parent_path(), "not a folder");
    } else {
#ifndef _WIN32
        chmod(root_.path().c_str(), 0500);
#endif
    }
    LauncherSettings settings;
    settings.closeOnLaunch = true;
    RecomputeUnsavedChanges(settings);
    EXPECT_NO_THROW(SaveSettings(settings, file_));
    EXPECT_TRUE(settings.unsavedChanges);
    EXPECT_NO_THROW(LoadSettings(settings, file_));
    EXPECT_TRUE(settings.closeOnLaunch);

    EXPECT_NO_THROW(SaveSettings(settings, fs::path()));  // no home folder at all
    EXPECT_NO_THROW(LoadSettings(settings, fs::path()));
    EXPECT_TRUE(settings.unsavedChanges);
}

#ifndef _WIN32
// The interface tests find the files under the data and config homes; a relative home is no
// home at all. (Windows takes its folders from the shell, not from the environment.)
TEST(SettingsFilePath, IgnoresARelativeConfigHome) {
    ScopedEnv relative("XDG_CONFIG_HOME", "relative/ignored");
    EXPECT_TRUE(SettingsFilePath().is_absolute());
}
#endif

}  // namespace
