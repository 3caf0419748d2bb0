// The record of proven files: what makes it vouch, what makes it worthless, and that a repair
// reads every file whatever it says.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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

using namespace qs;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qs::test::Sha256Hex;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

class VerifiedRecordTest : public testing::Test {
protected:
    // A record vouching for `name` as it is now, its stamp taken `age` after the file's last
    // change.
    VerifiedRecord RecordFor(const std::string& name, const std::string& digest,
                             std::int64_t age = 10 * kSecond) {
        const FileStamp stamp = *StampOfFile(client / name);
        VerifiedRecord record;
        record.remember(name, digest, {stamp, std::max(stamp.modifiedNs, stamp.changedNs) + age});
        EXPECT_TRUE(record.save(file, client));
        return VerifiedRecord::load(file, client);
    }

    // A run against `service` that keeps its record in `file`.
    UpdateEnvironment RunAgainst(const qs::test::TestService& service) const {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.verifiedRecord = file;
        return environment;
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

// Each stamp alone, and the manifest's digest, take the file out of the record's word; only the
// digest leaves the record's word that the file holds other bytes.
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
        // Only an unchanged file is known to hold another digest than the manifest's.
        const auto stamp = StampOfFile(client / "a.pak");
        EXPECT_EQ(stamp && record.vouchesAgainst("a.pak", asked, *stamp),
                  untouched == false && c.changesDigest);
    }
}

// A stamp vouches only when its times were at least 2 s old as it was taken; 4 s when the
// modification time lies on a whole even second, as on file systems with 2 s ticks.
TEST_F(VerifiedRecordTest, StampsYoungerThanTheirTickWhenTakenAreNotTrusted) {
    WriteFile(client / "a.pak", "content");
    const std::string digest = Sha256Hex("content");
    const std::tuple<bool, std::int64_t, bool> cases[] = {
        // modified on an even second, age of the stamp when taken, trusted
        {false, kSecond, false},    {false, -kSecond, false},      {false, 2 * kSecond + 1, true},
        {true, 3 * kSecond, false}, {true, 4 * kSecond + 1, true},
    };
    for (const auto& [evenSecond, age, trusted] : cases) {
        if (evenSecond) {
            auto time = std::chrono::floor<std::chrono::seconds>(
                fs::last_write_time(client / "a.pak") - 24h);
            time -= std::chrono::seconds(time.time_since_epoch().count() % 2);
            fs::last_write_time(client / "a.pak", time);
            ASSERT_EQ(StampOfFile(client / "a.pak")->modifiedNs % (2 * kSecond), 0);
        }
        EXPECT_EQ(Vouches(RecordFor("a.pak", digest, age), "a.pak", digest), trusted) << age;
    }
    // Either letter case of the manifest's digest.
    std::string upper = digest;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(Vouches(RecordFor("a.pak", digest), "a.pak", upper));
}

// A stamp taken as the file was placed vouches for nothing, however long the run goes on before
// it writes the record: a same-size rewrite in the file's clock tick would leave the same stamp.
TEST_F(VerifiedRecordTest, StampTakenAtPlacementIsNotTrustedHoweverLateTheRecordIsWritten) {
    qs::test::TestService service;
    service.setFile("a.pak", "alpha");
    UpdateEnvironment environment = RunAgainst(service);
    ASSERT_TRUE(RunClientUpdate(
                    client,
                    [](const qs::UpdateProgress& progress) {
                        if (progress.message == L"Update complete.")
                            std::this_thread::sleep_for(2100ms);
                    },
                    environment)
                    .ok);
    const VerifiedRecord record = VerifiedRecord::load(file, client);
    EXPECT_EQ(record.size(), 1u);
    EXPECT_FALSE(Vouches(record, "a.pak", Sha256Hex("alpha")));
}

// A record of the first format, whose stamps say nothing of when they were taken, vouches for
// nothing: the files are read, and the record written anew.
TEST_F(VerifiedRecordTest, RecordOfTheFirstFormatVouchesForNothing) {
    WriteFile(client / "a.pak", "content");
    RecordFor("a.pak", Sha256Hex("content"));
    std::istringstream lines(ReadFile(file));
    std::string magic, folder, entry;
    std::getline(lines, magic);
    std::getline(lines, folder);
    std::getline(lines, entry);
    std::vector<std::string> fields;
    for (std::istringstream words(entry); fields.size() < 7;)
        words >> fields.emplace_back();
    const std::string body = "quillon-verified 1\n" + folder + "\nwritten " +
                             std::to_string(VerifiedRecord::Now() + 100 * kSecond) + "\n" +
                             fields[0] + " " + fields[1] + " " + fields[2] + " " + fields[3] + " " +
                             fields[4] + " " + fields[6] + " a.pak\n";
    WriteFile(file, body + "sha256 " + Sha256Hex(body) + "\n");
    EXPECT_FALSE(Vouches(VerifiedRecord::load(file, client), "a.pak", Sha256Hex("content")));
}

// The manifest a record was made against reads back with it; a record without one is written as
// launchers that know no such line read it.
TEST_F(VerifiedRecordTest, ManifestItWasMadeAgainstReadsBack) {
    WriteFile(client / "a.pak", "content");
    VerifiedRecord record = RecordFor("a.pak", Sha256Hex("content"));
    EXPECT_EQ(record.madeAgainst(), "");
    EXPECT_TRUE(ReadFile(file).starts_with("quillon-verified 2\n"));
    record.setMadeAgainst(Sha256Hex("manifest"));
    EXPECT_FALSE(record.addsNothingTo(VerifiedRecord::load(file, client)));
    ASSERT_TRUE(record.save(file, client));
    const VerifiedRecord loaded = VerifiedRecord::load(file, client);
    EXPECT_EQ(loaded.madeAgainst(), Sha256Hex("manifest"));
    EXPECT_TRUE(Vouches(loaded, "a.pak", Sha256Hex("content")));
    EXPECT_TRUE(record.addsNothingTo(loaded));
}

// A path no line can hold is left out; it does not cost the rest of the record.
TEST_F(VerifiedRecordTest, PathsTheRecordCannotHoldAreNotRemembered) {
    WriteFile(client / "a.pak", "content");
    const FileStamp now = *StampOfFile(client / "a.pak");
    const TakenStamp stamp{now, now.modifiedNs + 10 * kSecond};
    const std::string digest = Sha256Hex("content");
    VerifiedRecord record;
    for (const char* path : {"a.pak", "", "b\nc"})
        record.remember(path, digest, stamp);
    EXPECT_EQ(record.size(), 1u);
    ASSERT_TRUE(record.save(file, client));
    EXPECT_TRUE(Vouches(VerifiedRecord::load(file, client), "a.pak", digest));
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
        EXPECT_EQ(VerifiedRecord::load(file, client).size(), 0u) << name;
    }
    WriteFile(file, whole);
    EXPECT_EQ(VerifiedRecord::load(file, scratch.path() / "moved").size(), 0u);
    fs::resize_file(file, VerifiedRecord::kMaxBytes + 1);
    EXPECT_EQ(VerifiedRecord::load(file, client).size(), 0u);
    EXPECT_EQ(VerifiedRecord::load(scratch.path() / "missing", client).size(), 0u);
}

// The start-up check believes the record; a repair reads every file. A record that vouches for a
// file that is not what it says (as if changed within the same clock tick) shows the difference.
TEST_F(VerifiedRecordTest, RepairReadsEveryFileWhateverTheRecordSays) {
    qs::test::TestService service;
    service.setFile("a.pak", "genuine");
    service.setFile("b.pak", "bravo");
    UpdateEnvironment environment = RunAgainst(service);
    auto run = [&] {
        return RunClientUpdate(
            client, [](const qs::UpdateProgress&) {}, environment);
    };
    ASSERT_TRUE(run().ok);
    EXPECT_EQ(VerifiedRecord::load(file, client).size(), 2u);

    WriteFile(client / "a.pak", "damaged");
    RecordFor("a.pak", Sha256Hex("genuine"));  // the record says all is well
    service.clearRequests();
    ASSERT_TRUE(run().ok);
    EXPECT_EQ(service.requestCount(service.filePath("a.pak")), 0u);
    EXPECT_EQ(ReadFile(client / "a.pak"), "damaged");

    environment.hashEverything = true;
    ASSERT_TRUE(run().ok);
    EXPECT_EQ(service.requestCount(service.filePath("a.pak")), 1u);
    EXPECT_EQ(ReadFile(client / "a.pak"), "genuine");
    EXPECT_EQ(VerifiedRecord::load(file, client).size(), 2u);
}

// A file the record says holds other bytes than the manifest's is fetched without a digest pass
// (here the record is wrong, so the bytes fetched are the ones already there).
TEST_F(VerifiedRecordTest, FileTheRecordKnowsOutdatedIsFetchedUnread) {
    qs::test::TestService service;
    service.setFile("a.pak", "genuine");
    UpdateEnvironment environment = RunAgainst(service);
    WriteFile(client / "a.pak", "genuine");
    RecordFor("a.pak", Sha256Hex("older"));
    ASSERT_TRUE(RunClientUpdate(
                    client, [](const qs::UpdateProgress&) {}, environment)
                    .ok);
    EXPECT_EQ(service.requestCount(service.filePath("a.pak")), 1u);
    EXPECT_EQ(ReadFile(client / "a.pak"), "genuine");
}

// Fresh downloads are too close to the record written after them; the next start reads them and
// writes the record again, after which a start that finds nothing changed writes nothing.
TEST_F(VerifiedRecordTest, RecordIsRewrittenOnlyWhenItWouldSayMore) {
    qs::test::TestService service;
    service.setFile("a.pak", "alpha");
    UpdateEnvironment environment = RunAgainst(service);
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
    const TakenStamp stamp{*StampOfFile(client / "a.pak"), VerifiedRecord::Now()};
    auto recordOf = [&](std::size_t entries) {
        VerifiedRecord record;
        for (std::size_t i = 0; i < entries; ++i)
            record.remember("data/file" + std::to_string(i), Sha256Hex("x"), stamp);
        return record;
    };
    const VerifiedRecord small = recordOf(10), large = recordOf(60000);
    ASSERT_TRUE(small.save(file, client));
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 8; ++attempt) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (bool big = true;; big = !big)
                (big ? large : small).save(file, client);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 80));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const std::size_t entries = VerifiedRecord::load(file, client).size();
        EXPECT_TRUE(entries == 10 || entries == 60000) << entries;
    }
}
#endif
