// The record of proven files: what makes it vouch, what makes it worthless, and that a repair
// reads every file whatever it says.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/update_run.h"
#include "update/verified_record.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Sha256Hex;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

class VerifiedRecordTest : public testing::Test {
protected:
    // A record vouching for `name` as it is now, written `age` after the file's last change.
    VerifiedRecord RecordFor(const std::string& name, const std::string& digest,
                             std::int64_t age = 10 * kSecond) {
        const FileStamp stamp = *StampOfFile(client / name);
        VerifiedRecord record;
        record.remember(name, digest, stamp);
        EXPECT_TRUE(record.save(file, client, std::max(stamp.modifiedNs, stamp.changedNs) + age));
        return VerifiedRecord::Load(file, client);
    }

    bool Vouches(const VerifiedRecord& record, const std::string& name, const std::string& digest) {
        const auto stamp = StampOfFile(client / name);
        return stamp && record.vouchesFor(name, digest, *stamp);
    }

    TempFolder scratch;
    fs::path client = scratch.path() / "client";
    fs::path file = scratch.path() / "data" / "verified-files.txt";
};

}  // namespace

// Each stamp alone, and the manifest's digest, take the file out of the record's word.
TEST_F(VerifiedRecordTest, AnyChangeForcesAHash) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
        bool changesDigest = false;
    };
    const Case cases[] = {
        {"nothing changed", [](const fs::path&) {}},
        {"size", [](const fs::path& f) { WriteFile(f, "content plus"); }},
        {"modification time",
         [](const fs::path& f) { fs::last_write_time(f, fs::last_write_time(f) - 1h); }},
#ifndef _WIN32
        {"status-change time (mode)",
         [](const fs::path& f) {
             std::this_thread::sleep_for(20ms);
             fs::permissions(f, fs::perms::owner_read, fs::perm_options::remove);
         }},
#endif
        {"replaced by a copy keeping size and time, as cp -p does",
         [](const fs::path& f) {
             const auto time = fs::last_write_time(f);
             WriteFile(fs::path(f) += ".new", "CONTENT");
             fs::last_write_time(fs::path(f) += ".new", time);
             fs::rename(fs::path(f) += ".new", f);
         }},
        {"another digest in the manifest", [](const fs::path&) {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(client);
        WriteFile(client / "a.pak", "content");
        fs::last_write_time(client / "a.pak", fs::last_write_time(client / "a.pak") - 24h);
        const VerifiedRecord record = RecordFor("a.pak", Sha256Hex("content"));
        c.change(client / "a.pak");
        const std::string asked = c.changesDigest ? Sha256Hex("other") : Sha256Hex("content");
        const bool untouched = std::string(c.name) == "nothing changed";
        EXPECT_EQ(Vouches(record, "a.pak", asked), untouched);
    }
}

TEST_F(VerifiedRecordTest, StampsWithinTwoSecondsOfTheRecordAreNotTrusted) {
    WriteFile(client / "a.pak", "content");
    const std::string digest = Sha256Hex("content");
    EXPECT_FALSE(Vouches(RecordFor("a.pak", digest, kSecond), "a.pak", digest));
    EXPECT_FALSE(Vouches(RecordFor("a.pak", digest, -kSecond), "a.pak", digest));
    EXPECT_TRUE(Vouches(RecordFor("a.pak", digest, 3 * kSecond), "a.pak", digest));
    // Either letter case of the manifest's digest.
    std::string upper = digest;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(Vouches(RecordFor("a.pak", digest), "a.pak", upper));
}

// Torn, edited, foreign or oversized: worth nothing, and no error.
TEST_F(VerifiedRecordTest, DamagedOrForeignRecordIsIgnored) {
    WriteFile(client / "a.pak", "content");
    ASSERT_EQ(RecordFor("a.pak", Sha256Hex("content")).size(), 1u);
    const std::string whole = ReadFile(file);
    const std::pair<const char*, std::string> damaged[] = {
        {"torn", whole.substr(0, whole.size() / 2)},
        {"last byte gone", whole.substr(0, whole.size() - 1)},
        {"one byte edited",
         [&] {
             std::string edited = whole;
             edited[edited.find(" a.pak") - 1] ^= 1;
             return edited;
         }()},
        {"empty", ""},
    };
    for (const auto& [name, text] : damaged) {
        WriteFile(file, text);
        EXPECT_EQ(VerifiedRecord::Load(file, client).size(), 0u) << name;
    }
    WriteFile(file, whole);
    EXPECT_EQ(VerifiedRecord::Load(file, scratch.path() / "moved").size(), 0u);
    fs::resize_file(file, VerifiedRecord::kMaxBytes + 1);
    EXPECT_EQ(VerifiedRecord::Load(file, client).size(), 0u);
    EXPECT_EQ(VerifiedRecord::Load(scratch.path() / "missing", client).size(), 0u);
}

// The start-up check believes the record; a repair reads every file. A record that vouches for a
// file that is not what it says (as if changed within the same clock tick) shows the difference.
TEST_F(VerifiedRecordTest, RepairReadsEveryFileWhateverTheRecordSays) {
    qs::test::TestService service;
    service.setFile("a.pak", "genuine");
    service.setFile("b.pak", "bravo");
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.verifiedRecord = file;
    auto run = [&] {
        return RunClientUpdate(
            client, [](const qs::UpdateProgress&) {}, environment);
    };
    ASSERT_TRUE(run().ok);
    EXPECT_EQ(VerifiedRecord::Load(file, client).size(), 2u);

    WriteFile(client / "a.pak", "damaged");
    RecordFor("a.pak", Sha256Hex("genuine"));  // the record says all is well
    service.clearRequests();
    ASSERT_TRUE(run().ok);
    EXPECT_EQ(service.requestCount("/updater/files/a.pak"), 0u);
    EXPECT_EQ(ReadFile(client / "a.pak"), "damaged");

    environment.hashEverything = true;
    ASSERT_TRUE(run().ok);
    EXPECT_EQ(service.requestCount("/updater/files/a.pak"), 1u);
    EXPECT_EQ(ReadFile(client / "a.pak"), "genuine");
    EXPECT_EQ(VerifiedRecord::Load(file, client).size(), 2u);
}

// Fresh downloads are too close to the record written after them; the next start reads them and
// writes the record again, after which a start that finds nothing changed writes nothing.
TEST_F(VerifiedRecordTest, RecordIsRewrittenOnlyWhenItWouldSayMore) {
    qs::test::TestService service;
    service.setFile("a.pak", "alpha");
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.verifiedRecord = file;
    auto run = [&] {
        EXPECT_TRUE(RunClientUpdate(
                        client, [](const qs::UpdateProgress&) {}, environment)
                        .ok);
        return fs::last_write_time(file);
    };
    const auto afterDownload = run();
    std::this_thread::sleep_for(2100ms);
    const auto afterRead = run();
    EXPECT_NE(afterRead, afterDownload);
    EXPECT_EQ(run(), afterRead);
}

#ifndef _WIN32
// Killed while it writes, the record is the old one or the new one, never a torn one.
TEST_F(VerifiedRecordTest, KillDuringTheWriteLeavesTheOldRecordOrTheNew) {
    WriteFile(client / "a.pak", "content");
    const FileStamp stamp = *StampOfFile(client / "a.pak");
    auto recordOf = [&](std::size_t entries) {
        VerifiedRecord record;
        for (std::size_t i = 0; i < entries; ++i)
            record.remember("data/file" + std::to_string(i), Sha256Hex("x"), stamp);
        return record;
    };
    const VerifiedRecord small = recordOf(10), large = recordOf(60000);
    ASSERT_TRUE(small.save(file, client, VerifiedRecord::Now()));
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 8; ++attempt) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (bool big = true;; big = !big)
                (big ? large : small).save(file, client, VerifiedRecord::Now());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 80));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const std::size_t entries = VerifiedRecord::Load(file, client).size();
        EXPECT_TRUE(entries == 10 || entries == 60000) << entries;
    }
}
#endif
