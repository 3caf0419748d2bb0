#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/settings.h"

namespace fs = std::filesystem;

namespace {

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qs-settings-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        file_ = root_ / "QuillonSagaLauncher" / "settings.ini";
    }
    void TearDown() override {
        chmod(root_.c_str(), 0700);
        fs::remove_all(root_);
    }
    void Write(const std::string& content) {
        fs::create_directories(file_.parent_path());
        std::ofstream(file_, std::ios::binary) << content;
    }
    std::string Read() {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path root_, file_;
};

}  // namespace

TEST_F(SettingsFile, LoadTable) {
    struct Case {
        const char* name;
        std::string content;
        bool close, verify;
    };
    const std::vector<Case> cases = {
        {"both set", "CloseOnLaunch=1\nVerifyOnStart=0\n", true, false},
        {"only verify", "VerifyOnStart=0", false, false},
        {"CR LF line ends", "CloseOnLaunch=1\r\nVerifyOnStart=0\r\n", true, false},
        {"value true", "CloseOnLaunch=true\n", false, true},
        {"blank before value", "CloseOnLaunch= 1\n", false, true},
        {"blank before key", " CloseOnLaunch=1\n", false, true},
        {"1 followed by more", "CloseOnLaunch=10\n", false, true},
        {"last occurrence wins", "CloseOnLaunch=1\nCloseOnLaunch=0\nCloseOnLaunch=1", true, true},
        {"byte-order mark hides the first key",
         "\xEF\xBB\xBF"
         "CloseOnLaunch=1\nVerifyOnStart=0\n",
         false, false},
        {"other lines ignored", "[section]\n# note\nVerifyOnStart=1\nGameDir=/x\n", false, true},
        {"empty file", "", false, true},
        {"any order", "VerifyOnStart=0\nCloseOnLaunch=1", true, false},
    };
    for (const auto& c : cases) {
        Write(c.content);
        LauncherSettings settings;
        settings.unsavedChanges = true;
        LoadSettings(settings, file_);
        EXPECT_EQ(settings.closeOnLaunch, c.close) << c.name;
        EXPECT_EQ(settings.verifyOnStart, c.verify) << c.name;
        EXPECT_EQ(settings.savedCloseOnLaunch, c.close) << c.name;
        EXPECT_EQ(settings.savedVerifyOnStart, c.verify) << c.name;
        EXPECT_FALSE(settings.unsavedChanges) << c.name;
    }
}

TEST_F(SettingsFile, MissingFileKeepsDefaults) {
    LauncherSettings settings;
    LoadSettings(settings, file_);
    EXPECT_FALSE(settings.closeOnLaunch);
    EXPECT_TRUE(settings.verifyOnStart);
    EXPECT_FALSE(settings.unsavedChanges);
}

TEST_F(SettingsFile, SaveCreatesTheFolderAndWritesTwoLines) {
    LauncherSettings settings;
    SaveSettings(settings, file_);
    EXPECT_EQ(Read(), "CloseOnLaunch=0\nVerifyOnStart=1\n");

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
    // Nothing but the two settings: no temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(file_.parent_path()), fs::directory_iterator()),
              1);
}

TEST_F(SettingsFile, ToggleTwiceClearsUnsavedChanges) {
    LauncherSettings settings;
    settings.closeOnLaunch = !settings.closeOnLaunch;
    RecomputeUnsavedChanges(settings);
    EXPECT_TRUE(settings.unsavedChanges);
    settings.closeOnLaunch = !settings.closeOnLaunch;
    RecomputeUnsavedChanges(settings);
    EXPECT_FALSE(settings.unsavedChanges);
}

TEST_F(SettingsFile, FailuresKeepChangesUnsavedAndNeverThrow) {
    if (geteuid() == 0) {
        // root ignores folder modes; a file where the folder should be fails for everyone.
        std::ofstream(root_ / "QuillonSagaLauncher") << "not a folder";
    } else {
        chmod(root_.c_str(), 0500);
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

TEST(SettingsFilePath, FollowsTheConfigHome) {
    const char* saved = getenv("XDG_CONFIG_HOME");
    std::string previous = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", "/tmp/qs-config-home", 1);
    EXPECT_EQ(SettingsFilePath(), fs::path("/tmp/qs-config-home/QuillonSagaLauncher/settings.ini"));
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(SettingsFilePath().filename(), "settings.ini");
    EXPECT_TRUE(SettingsFilePath().is_absolute());
    if (saved)
        setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}
