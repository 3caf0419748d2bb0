// The publisher: it refuses what a launcher would refuse, hashes only what changed, and a reader
// of the tree never sees half a publish.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "net/client_location.h"
#include "scratch.h"
#include "tools/publish/cli.h"
#include "tools/publish/documents.h"
#include "tools/publish/objects.h"
#include "tools/publish/publish.h"
#include "tools/publish/purge.h"
#include "tools/standin/service.h"
#include "update/block_index.h"
#include "update/chunker.h"
#include "update/digest.h"
#include "update/file_source.h"
#include "update/update_run.h"
#include "update/update_signature.h"

using namespace qs;

namespace fs = std::filesystem;
using namespace qs::publish;

namespace {

int Cli(std::vector<std::string> arguments, std::string* err = nullptr) {
    std::ostringstream out, errors;
    const int status = PublishMain(arguments, out, errors, false);
    if (err)
        *err = errors.str();
    return status;
}

// A client folder and the tree published from it, in one scratch folder.
class PublishTree : public testing::Test {
protected:
    void SetUp() override { options.clientDir = client, options.outDir = out; }
    PublishReport PublishNow() { return Publish(options); }
    // The served tree holds exactly the files its manifest names, each with the named digest and
    // size; the manifest's text.
    std::string ExpectTreeIsItsManifest() {
        const std::string manifest = ReadFile(out / "updater/updater.php");
        std::map<std::string, std::string> named, served;
        for (const UpdatePlanEntry& entry : PlanClientUpdate(scratch.path() / "empty", manifest))
            named[entry.relativePath] = entry.checksum;
        for (const auto& entry : fs::recursive_directory_iterator(out / "updater/files"))
            if (!entry.is_directory())
                served[entry.path().lexically_relative(out / "updater/files").generic_string()] =
                    WideToUtf8(Sha256File(entry.path()).digest);
        EXPECT_EQ(served, named);
        return manifest;
    }
    // ... and those files are the client's.
    void ExpectTreeIsTheClient() {
        ExpectTreeIsItsManifest();
        std::map<std::string, std::string> files, served;
        for (const auto& entry : fs::recursive_directory_iterator(client))
            if (!entry.is_directory())
                files[entry.path().lexically_relative(client).generic_string()] =
                    ReadFile(entry.path());
        for (const auto& [path, bytes] : files)
            served[path] = ReadFile(out / "updater/files" / path);
        EXPECT_EQ(served, files);
    }
    TempFolder scratch;
    const fs::path client = scratch.path() / "client", out = scratch.path() / "out";
    PublishOptions options;
};

// No problem where `reason` is null, else the first problem names it.
void ExpectFirstProblem(const std::vector<std::string>& problems, const char* text,
                        const char* reason) {
    if (!reason)
        EXPECT_TRUE(problems.empty()) << text << ": " << problems.front();
    else
        EXPECT_TRUE(!problems.empty() && problems[0].find(reason) != std::string::npos) << text;
}

}  // namespace

TEST(PublishRules, ManifestPathsAsTheLauncherTakesThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"readme.txt", nullptr},
        {"data/Game Settings.ini", nullptr},
        {".hidden/a-b_c.D", nullptr},
        {"a..b", "launcher refuses"},
        {"c:d", "launcher refuses"},
        {"/abs", "starts with a slash"},
        {"a//b", "empty path segment"},
        {"CON.txt", "Windows device"},
        {"sub/lpt3", "Windows device"},
        {"trail.", "ends in a period"},
        {"trail /x", "ends in a period"},
        {"x?.txt", "download URL"},
        {"back\\slash", "download URL"},
        {"caf\xc3\xa9.txt", "download URL"},
        {"bad\xff.txt", "launcher refuses"},
        {"part.download", "partial downloads"},
    };
    for (const auto& [path, reason] : cases) {
        const auto problem = ManifestPathProblem(path);
        ExpectFirstProblem(problem ? std::vector{*problem} : std::vector<std::string>{}, path,
                           reason);
    }
}

TEST(PublishRules, NamesThatMeetOnWindows) {
    const std::vector<std::string> sorted = {"Data/A.txt", "Readme", "data/a.txt", "readme/x",
                                             "z.txt"};
    const auto problems = CaseCollisions(sorted);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].path, "Readme");  // a folder "readme" on Windows as well
    EXPECT_NE(problems[0].reason.find("readme/x"), std::string::npos);
    EXPECT_EQ(problems[1].path, "data/a.txt");
    EXPECT_NE(problems[1].reason.find("Data/A.txt"), std::string::npos);
}

TEST(PublishRules, ARecordedDigestIsReusedOnlyWhenNothingMoved) {
    const std::string digest(64, 'a');
    const RecordedFile recorded{10, 500, true, digest, {1, 7, 10}};
    const SourceFile file{"a", "a", 10, 500, "a", {}};
    struct Case {
        RecordedFile recorded;
        SourceFile file;
        std::optional<FileState> published;
        bool reuse;
    };
    const Case cases[] = {
        {recorded, file, FileState{1, 7, 10}, true},
        {recorded, {"a", "a", 11, 500, "a", {}}, FileState{1, 7, 10}, false},      // size
        {recorded, {"a", "a", 10, 501, "a", {}}, FileState{1, 7, 10}, false},      // time
        {{10, 500, false, digest, {1, 7, 10}}, file, FileState{1, 7, 10}, false},  // unsettled
        {recorded, file, FileState{1, 8, 10}, false},  // the published copy was replaced
        {recorded, file, std::nullopt, false},         // or removed
        {{10, 500, true, "zz", {1, 7, 10}}, file, FileState{1, 7, 10}, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(CanReuse(cases[i].recorded, cases[i].file, cases[i].published), cases[i].reuse)
            << i;
    EXPECT_TRUE(Settled(0, kSettleTicks));
    EXPECT_FALSE(Settled(1, kSettleTicks));
    EXPECT_FALSE(Settled(kSettleTicks * 2, kSettleTicks));  // written "in the future"

    // What the record says of each file's indexes comes back as written; a record of the
    // publisher before them reads as not knowing.
    using Indexes = RecordedFile::Indexes;
    PublishState state{{"a b/c", recorded}, {"n", recorded}, {"c", recorded}, {"both", recorded}};
    state["n"].indexes = Indexes::None;
    state["c"].indexes = Indexes::ChunkOnly;
    state["both"].indexes = Indexes::Both, state["both"].blockHead = std::string(64, 'b');
    const PublishState parsed = ParseState(StateText(state));
    ASSERT_EQ(parsed.size(), state.size());
    for (const auto& [path, written] : state) {
        EXPECT_EQ(parsed.at(path).published, recorded.published);
        EXPECT_EQ(parsed.at(path).indexes, written.indexes) << path;
        EXPECT_EQ(parsed.at(path).blockHead, written.blockHead) << path;
    }
    EXPECT_EQ(
        ParseState("quillon-publish state 2\n10 500 1 " + digest + " 1 7 a b\n").at("a b").indexes,
        Indexes::Unknown);
    state = {{"a b/c", recorded}};
    // A damaged line, or a cut-off last one, is hashed again; an earlier publisher's JSON is read.
    state["b"] = recorded;
    std::string text = StateText(state);
    text.replace(text.find("10 500"), 2, "x");
    EXPECT_EQ(ParseState(text).size(), 1u);
    EXPECT_TRUE(ParseState(text.substr(0, text.size() - 1)).empty());
    EXPECT_EQ(ParseState(R"({"format":1,"files":{"a":{"size":10,"mtime":500,"settled":true,)"
                         R"("sha256":"s","volume":1,"index":7}}})")
                  .at("a")
                  .published,
              recorded.published);
    EXPECT_TRUE(ParseState("{\"format\":2}").empty());
    EXPECT_TRUE(ParseState("not json").empty());
}

TEST(PublishDocuments, StatusAndNewsAsTheLauncherReadsThem) {
    const std::pair<const char*, const char*> status[] = {
        {R"({"online":true,"players":57,"maxPlayers":500,"motd":"Hi","serverName":"Q"})", nullptr},
        {R"({"online":false,"maintenance":true})", nullptr},
        {R"({"players":3})", "\"online\""},
        {R"({"online":"true"})", "\"online\""},
        {R"({"online":true,"players":12.9})", "whole number"},
        {R"({"online":true,"players":4294967296})", "whole number"},
        {R"({"online":true,"motd":5})", "\"motd\""},
        {R"([{"online":true}])", "not a JSON object"},
        {R"({"online":true)", "not JSON"},
    };
    for (const auto& [text, reason] : status)
        ExpectFirstProblem(StatusProblems(text), text, reason);
    EXPECT_FALSE(StatusProblems(std::string(70000, ' ') + "{\"online\":true}").empty());

    const std::pair<const char*, const char*> news[] = {
        {R"([{"id":"n1","title":"Patch – 1","featured":true},{"id":"n0"}])", nullptr},
        {R"([])", nullptr},
        {R"({"id":"n1"})", "not a JSON array"},
        {R"([{"title":"no id"}])", "item 1: \"id\""},
        {R"([{"id":"n1"},{"id":"n2","featured":"yes"}])", "item 2: \"featured\""},
        {R"([{"id":"n1","url":7}])", "\"url\""},
        {R"([1])", "item 1: not an object"},
    };
    for (const auto& [text, reason] : news)
        ExpectFirstProblem(NewsProblems(text), text, reason);
}

TEST(PublishDocuments, ReleaseOnTheServiceHost) {
    const BaseUrl base = *ParseBaseUrl("https://Launcher.example:8443/");
    EXPECT_EQ(base.origin, "https://Launcher.example:8443");
    for (const char* bad : {"http://a", "https://", "https://a:0", "https://a/b", "https://a:x"})
        EXPECT_FALSE(ParseBaseUrl(bad)) << bad;

    EXPECT_EQ(PlaceInstaller(base, "", "Setup 1.0.9.exe").url,
              "https://Launcher.example:8443/updater/launcher/Setup%201.0.9.exe");
    const InstallerPlace given =
        PlaceInstaller(base, "https://launcher.example/updater/launcher/S%201.exe", "local.exe");
    EXPECT_EQ(given.fileName, "S 1.exe");
    const std::pair<const char*, const char*> refused[] = {
        {"https://other.example/updater/launcher/S.exe", "not https on"},
        {"http://launcher.example/updater/launcher/S.exe", "not https on"},
        {"https://launcher.example/downloads/S.exe", "not under"},
        {"https://launcher.example/updater/launcher/a/S.exe", "cannot be published"},
        {"https://launcher.example/updater/launcher/latest.json", "cannot be published"},
        {"https://launcher.example/updater/launcher/S.exe?x=1", "cannot be published"},
    };
    for (const auto& [url, reason] : refused)
        EXPECT_NE(ErrorOf([&] { PlaceInstaller(base, url, "S.exe"); }).find(reason),
                  std::string::npos)
            << url;

    const std::string digest(64, 'b');
    EXPECT_EQ(
        nlohmann::json::parse(ReleaseJson("v1.0.9", "u", digest, "notes")),
        nlohmann::json(
            {{"version", "v1.0.9"}, {"url", "u"}, {"sha256", digest}, {"changelog", "notes"}}));
    EXPECT_NE(ErrorOf([&] { ReleaseJson("V2", "u", digest, {}); }), "");
    EXPECT_NE(ErrorOf([&] { ReleaseJson("2", "u", "abc", {}); }), "");
}

// The manifest is written by hand for speed: it must still be the JSON a document tree dumps
// (members and entries in order, nothing escaped twice) and say what each entry is.
TEST(PublishDocuments, ManifestIsTheDocumentATreeWouldDump) {
    const std::string exe = WideToUtf8(ClientExecutableName);
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    const std::pair<std::uint64_t, std::int64_t> fresh{1765000000, 1766000000};
    const struct {
        std::vector<ManifestEntry> entries;
        std::optional<std::pair<std::uint64_t, std::int64_t>> freshness;
        std::vector<std::string> mirrors;
    } cases[] = {
        {{}, std::nullopt, {}},
        {{{exe, b, 12, false, ""}, {"a b/c-d_e.pak", a, 0, false, ""}}, std::nullopt, {}},
        {{{"big.pak", a, 1 << 30, true, c}, {"mid.pak", b, 5'000'000, true, ""}, {"z", c, 1}},
         fresh,
         {"https://m.example/q/", "https://n.example/\"odd\"\u00e9/"}},
    };
    for (const auto& [entries, freshness, mirrors] : cases) {
        const std::string text = ManifestJson(entries, freshness, mirrors);
        const nlohmann::json parsed = nlohmann::json::parse(text);
        EXPECT_EQ(parsed.dump(), text);
        EXPECT_EQ(parsed["objects"], kObjectsBase);
        EXPECT_EQ(parsed.contains("serial"), freshness.has_value());
        EXPECT_EQ(parsed.value("mirrors", std::vector<std::string>{}), mirrors);
        std::vector<std::string> chunked;
        for (const ManifestEntry& entry : entries) {
            EXPECT_EQ(parsed["sizes"][entry.path], entry.size);
            if (entry.path == exe)
                EXPECT_EQ(parsed["binary"], nlohmann::json({{"file", exe}, {"checksum", b}}));
            else
                EXPECT_EQ(parsed["files"][entry.path], entry.sha256);
            if (entry.chunked)
                chunked.push_back(entry.path);
            EXPECT_EQ(parsed.contains("blocks") && parsed["blocks"].contains(entry.path),
                      !entry.blocks.empty());
        }
        EXPECT_EQ(parsed.value("chunked", std::vector<std::string>{}), chunked);
        EXPECT_EQ(parsed["files"].size() + parsed.contains("binary"), entries.size());
    }
}

TEST(PublishDocuments, ProgressLine) {
    EXPECT_EQ(FormatProgress({1, 4, 512u << 20, 2048u << 20}, 2.0),
              "hashing 1 of 4 files, 512.0 MiB of 2.0 GiB, 6 s left");
    EXPECT_EQ(FormatProgress({0, 4, 100, 2048u << 20}, 0.5),
              "hashing 0 of 4 files, 100 bytes of 2.0 GiB");
}

// A whole publish: what the launcher plans from the manifest is the client, byte for byte; an
// unchanged file is linked, not hashed again; a changed one (same size, new bytes) is not.
TEST_F(PublishTree, MatchesTheClientAndRepublishesOnlyChanges) {
    WriteOldFile(client / "Quillon Saga.exe", "exe");
    WriteOldFile(client / "data/Game Settings.ini", "[a]");
    WriteOldFile(client / "data/maps/world.pak", std::string(300000, 'w'));
    WriteOldFile(client / "Sub/Quillon Saga.exe", "not the client");

    PublishReport report = PublishNow();
    EXPECT_EQ(report.files, 4u);
    EXPECT_EQ(report.hashedFiles, 4u);

    const std::string manifest = ReadFile(out / "updater/updater.php");
    const auto json = nlohmann::json::parse(manifest);
    EXPECT_EQ(json["binary"]["file"], "Quillon Saga.exe");
    EXPECT_FALSE(json["files"].contains("Quillon Saga.exe"));
    EXPECT_EQ(json["sizes"]["Quillon Saga.exe"], 3);
    EXPECT_EQ(json["sizes"]["data/maps/world.pak"], 300000);
    const auto plan = PlanClientUpdate(scratch.path() / "empty", manifest);
    ASSERT_EQ(plan.size(), 4u);
    for (const UpdatePlanEntry& entry : plan) {
        EXPECT_EQ(ReadFile(out / "updater/files" / entry.relativePath),
                  ReadFile(client / entry.relativePath));
        EXPECT_EQ(entry.checksum, WideToUtf8(Sha256File(client / entry.relativePath).digest));
        EXPECT_EQ(entry.size, fs::file_size(client / entry.relativePath));
    }

    // An unchanged file is not even linked again: its change time (moved by every new link) stays.
    auto changeTime = [&] {
        struct stat info {};
        ::stat((out / "updater/files/data/maps/world.pak").c_str(), &info);
        return std::pair(info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
    };
    const auto inode = RegularFileState(out / "updater/files/data/maps/world.pak");
    const auto linked = changeTime();
    report = PublishNow();
    EXPECT_EQ(report.hashedFiles, 0u);
    EXPECT_EQ(RegularFileState(out / "updater/files/data/maps/world.pak"), inode);
    EXPECT_EQ(changeTime(), linked);
    EXPECT_EQ(ReadFile(out / "updater/updater.php"), manifest);

    WriteFile(client / "data/Game Settings.ini", "[b]");
    fs::last_write_time(client / "data/Game Settings.ini",
                        fs::file_time_type::clock::now() - std::chrono::minutes(5));
    fs::remove(out / "updater/files/Quillon Saga.exe");  // a damaged tree heals
    report = PublishNow();
    EXPECT_EQ(report.hashedFiles, 1u);  // the standby's copy is intact
    EXPECT_EQ(report.hashedBytes, 3u);
    EXPECT_EQ(ReadFile(out / "updater/files/data/Game Settings.ini"), "[b]");
    EXPECT_EQ(ReadFile(out / "updater/files/Quillon Saga.exe"), "exe");
    EXPECT_EQ(changeTime(), linked);
    // Only the standby tree and the two trees' records are left beside the tree.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(out / ".quillon-publish"), fs::directory_iterator()),
        3);
}

// Every file also lies under its digest, written once, linked to its copy in the tree; no
// republish removes an object, and one that is damaged (another size) is written again.
TEST_F(PublishTree, ObjectsAreWrittenOnceAndKept) {
    WriteOldFile(client / "a.pak", "alpha");
    WriteOldFile(client / "same/a.pak", "alpha");
    WriteOldFile(client / "b.pak", "beta");
    PublishNow();
    const auto object = [&](const std::string& bytes) {
        Sha256Stream stream;
        stream.update(bytes.data(), bytes.size());
        const std::string digest = WideToUtf8(stream.finish());
        return out / "updater/objects" / digest.substr(0, 2) / digest;
    };
    EXPECT_EQ(nlohmann::json::parse(ReadFile(out / "updater/updater.php"))["objects"],
              "/updater/objects/");
    EXPECT_EQ(ReadFile(object("alpha")), "alpha");
    EXPECT_TRUE(fs::equivalent(object("beta"), out / "updater/files/b.pak"));

    WriteFile(client / "b.pak", "beta 2");
    fs::remove(object("alpha"));
    WriteFile(object("alpha"), "alpha, damaged");
    PublishNow();
    EXPECT_EQ(ReadFile(object("beta")), "beta");  // the old file's object stays
    EXPECT_TRUE(fs::equivalent(object("beta 2"), out / "updater/files/b.pak"));
    EXPECT_EQ(ReadFile(object("alpha")), "alpha");

    const auto beta = RegularFileState(object("beta 2"));
    PublishNow();
    EXPECT_EQ(RegularFileState(object("beta 2")), beta);  // present: not written again
    std::size_t objects = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out / "updater/objects"))
        objects += entry.is_regular_file();
    EXPECT_EQ(objects, 3u);
}

// Every offending path is listed, and nothing is written.
TEST_F(PublishTree, RefusesBeforeWritingAnything) {
    WriteFile(client / "ok.txt", "1");
    WriteFile(client / "a..b", "2");
    WriteFile(client / "Aux.dat", "3");
    fs::create_symlink("/etc/hostname", client / "escape");
    fs::create_symlink("ok.txt", client / "inside");
    ASSERT_EQ(::mkfifo((client / "pipe").c_str(), 0600), 0);
    WriteFile(scratch.path() / "news.json", "{}");

    std::string err;
    EXPECT_EQ(
        Cli({client.string(), out.string(), "--news", (scratch.path() / "news.json").string()},
            &err),
        1);
    for (const char* listed : {"a..b:", "Aux.dat:", "escape: a link that leaves", "pipe: not a",
                               "news.json: not a JSON array"})
        EXPECT_NE(err.find(listed), std::string::npos) << listed << "\n" << err;
    EXPECT_EQ(err.find("inside"), std::string::npos) << err;
    EXPECT_EQ(err.find("ok.txt"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(out));

    EXPECT_EQ(Cli({client.string()}), 2);
    EXPECT_EQ(Cli({client.string(), out.string(), "--release", "1.0.9"}), 2);
    WriteFile(scratch.path() / "other/keep.txt", "mine");
    fs::remove(client / "a..b");
    fs::remove(client / "Aux.dat");
    fs::remove(client / "escape");
    fs::remove(client / "pipe");
    EXPECT_EQ(Cli({client.string(), (scratch.path() / "other").string()}, &err), 1);
    EXPECT_NE(err.find("holds other files"), std::string::npos) << err;
    EXPECT_EQ(Cli({client.string(), (client / "out").string()}), 1);
    EXPECT_EQ(Cli({client.string(), out.string(), "--quiet"}, &err), 0) << err;
    EXPECT_EQ(ReadFile(out / "updater/files/inside"), "1");
}

// A client file swapped between the scan and the copy is refused, and its stand-in (here the
// signing key) is never read into the tree.
TEST_F(PublishTree, AFileSwappedAfterTheScanIsNeverPublished) {
    const fs::path key = scratch.path() / "keys/update-key.pem";
    WriteFile(key, "PRIVATE KEY");
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"became a link",
         [&] {
             fs::remove(client / "data/b.pak");
             fs::create_symlink(key, client / "data/b.pak");
         }},
        {"became a link",  // its folder, for one holding the same name
         [&] {
             fs::rename(client / "data", scratch.path() / "data-moved");
             fs::create_symlink(key.parent_path(), client / "data");
             fs::copy_file(key, key.parent_path() / "b.pak");
         }},
        {"replaced by another file",
         [&] {
             // Kept, so the new file cannot reuse its inode number.
             fs::rename(client / "data/b.pak", scratch.path() / "data-moved");
             WriteFile(client / "data/b.pak", "BRAVO");
         }},
        {"changed size", [&] { WriteFile(client / "data/b.pak", "bravo and more"); }},
    };
    for (const auto& [reason, swap] : cases) {
        fs::remove_all(client);
        fs::remove_all(out);
        fs::remove_all(scratch.path() / "data-moved");
        fs::remove(key.parent_path() / "b.pak");
        WriteOldFile(client / "a.pak", "alpha");
        WriteOldFile(client / "data/b.pak", "bravo");
        options.onStep = [&](PublishOptions::Step step) {
            if (step == PublishOptions::Step::Scanned)
                swap();
        };
        try {
            Publish(options);
            ADD_FAILURE() << reason << ": published";
        } catch (const PublishRefused& refused) {
            ASSERT_EQ(refused.problems().size(), 1u);
            EXPECT_EQ(refused.problems()[0].path, "data/b.pak");
            EXPECT_NE(refused.problems()[0].reason.find(reason), std::string::npos)
                << refused.problems()[0].reason;
        }
        EXPECT_FALSE(fs::exists(out / "updater")) << reason;
        for (const auto& entry : fs::recursive_directory_iterator(out))
            EXPECT_FALSE(entry.is_regular_file() && ReadFile(entry.path()) == "PRIVATE KEY")
                << entry.path();
    }
}

// Two client versions published in turn while a reader keeps reading the tree as a server
// would: every manifest it reads is whole and one of the two, and every file it reads is whole
// and one of the two versions of that file.
TEST_F(PublishTree, AReaderNeverSeesHalfAPublish) {
    const std::vector<std::string> names = {"a.bin", "d/b.bin", "d/e/c.bin"};
    std::map<std::string, std::set<std::string>> versions;
    std::set<std::string> manifests;
    for (char version : {'1', '2'}) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string bytes(4000 * (i + 1), version);
            WriteFile(client / names[i], bytes);
            versions[names[i]].insert(bytes);
        }
        PublishNow();
        manifests.insert(ReadFile(out / "updater/updater.php"));
    }

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!done) {
            if (!manifests.contains(ReadFile(out / "updater/updater.php")))
                ++torn;
            for (const std::string& name : names)
                if (!versions[name].contains(ReadFile(out / "updater/files" / name)))
                    ++torn;
            ++reads;
        }
    });
    for (int round = 0; round < 20; ++round) {
        const char version = round % 2 ? '2' : '1';
        for (std::size_t i = 0; i < names.size(); ++i)
            WriteFile(client / names[i], std::string(4000 * (i + 1), version));
        PublishNow();
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 20);
}

// Republishes bring the standby tree up to date by what changed: the served tree stays exactly the
// client through removed and re-added files, a file changed back, and a standby someone changed.
TEST_F(PublishTree, RepublishesKeepTheTreeExactlyTheClient) {
    const fs::path standby = out / ".quillon-publish/standby/files";
    const std::vector<std::function<void()>> rounds = {
        [&] {
            WriteOldFile(client / "a.txt", "a1");
            WriteOldFile(client / "d/b.txt", "b1");
            WriteOldFile(client / "d/e/c.txt", "c1");
        },
        [&] {
            WriteOldFile(client / "a.txt", "a2");
            fs::remove(client / "d/b.txt");
            WriteOldFile(client / "x/y.txt", "y1");
        },
        [&] {
            WriteOldFile(client / "a.txt", "a1");  // back to an earlier version
            WriteOldFile(client / "d/b.txt", "b1");
            fs::remove_all(client / "x");
        },
        [&] {
            fs::remove(standby / "d/e/c.txt");  // replaced, so another inode
            WriteFile(standby / "d/e/c.txt", "c!");
            WriteFile(standby / "extra/z.txt", "z");
            fs::create_symlink("/etc", standby / "d/link");
        },
        // Written in place: the live tree's link to that file shows it too, so it is copied again.
        [&] { WriteFile(standby / "a.txt", "a1 and more"); },
        [] {},
    };
    for (std::size_t round = 0; round < rounds.size(); ++round) {
        rounds[round]();
        const PublishReport report = PublishNow();
        SCOPED_TRACE(round);
        ExpectTreeIsTheClient();
        if (round == 3) {
            EXPECT_EQ(report.hashedFiles, 0u);  // the live copies are linked back
        }
    }
}

// A republish killed at any moment leaves a served tree that is exactly one of the two
// manifests', and the next publish takes up from whatever it left.
TEST_F(PublishTree, AKilledRepublishLeavesATreeThatMatchesAManifest) {
    auto writeVersion = [&](int version) {
        for (int i = 0; i < 40; ++i)
            if (i % 4 == 0 ||
                !fs::exists(client / ("d" + std::to_string(i % 5)) / std::to_string(i)))
                WriteOldFile(client / ("d" + std::to_string(i % 5)) / std::to_string(i),
                             std::string(3000 + i, static_cast<char>('a' + version)));
        fs::remove(client / (version ? "gone.txt" : "new.txt"));
        WriteOldFile(client / (version ? "new.txt" : "gone.txt"), "v" + std::to_string(version));
    };
    std::set<std::string> manifests;
    const auto started = std::chrono::steady_clock::now();
    for (int version : {0, 1}) {
        writeVersion(version);
        PublishNow();
        manifests.insert(ExpectTreeIsItsManifest());
    }
    const auto republish = (std::chrono::steady_clock::now() - started) / 2;
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long long> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(republish).count() * 11 / 10);
    for (int attempt = 0; attempt < 24; ++attempt) {
        writeVersion(attempt % 2);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            try {
                Publish(options);
            } catch (...) {
                _exit(1);
            }
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        SCOPED_TRACE(attempt);
        ASSERT_TRUE(WIFSIGNALED(status) || WEXITSTATUS(status) == 0);
        EXPECT_TRUE(manifests.contains(ExpectTreeIsItsManifest()));
        if (HasFailure())
            return;
    }
    PublishNow();
    ExpectTreeIsTheClient();
}

// keygen, then --sign: the launcher's own check accepts what was published, the serial grows
// with every publish, the expiry is the days asked for, and a key is never overwritten. The
// release document carries the manifest's serial and expiry, also when a publish keeps it: --sign
// alone signs the kept release again with this publish's key (whatever signed it before, or
// nothing), so a signed manifest never comes with a release a signed launcher refuses.
TEST_F(PublishTree, SignedTreeIsWhatASignedLauncherAccepts) {
    const fs::path keys = scratch.path() / "keys", otherKeys = scratch.path() / "other-keys";
    std::string err;
    ASSERT_EQ(Cli({"keygen", keys.string()}, &err), 0) << err;
    EXPECT_EQ(fs::status(keys / "update-key.pem").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Cli({"keygen", keys.string()}, &err), 1);
    ASSERT_EQ(Cli({"keygen", otherKeys.string()}), 0);
    const std::string publicKey = ReadFile(keys / "update-key.pub.pem");
    const auto publish = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {client.string(), out.string()});
        return Cli(arguments, &err);
    };
    // Both documents signed by `key`, the release with the manifest's serial and expiry.
    const auto signedBy = [&](const fs::path& keyFolder) {
        const std::string key = ReadFile(keyFolder / "update-key.pub.pem");
        const std::string manifest = ReadFile(out / "updater/updater.php");
        const std::string latest = ReadFile(out / "updater/launcher/latest.json");
        const auto served = ReadManifestFreshness(manifest),
                   release = ReadManifestFreshness(latest);
        return SignatureValid(key, manifest, ReadFile(out / "updater/updater.sig")) &&
               SignatureValid(key, latest, ReadFile(out / "updater/launcher/latest.json.sig")) &&
               served && release && release->serial == served->serial &&
               release->expires == served->expires;
    };
    const std::vector<std::string> release = {
        "--release",   "v1.0.9",
        "--installer", (scratch.path() / "setup.exe").string(),
        "--base-url",  "https://launcher.example"};

    WriteOldFile(client / "a.pak", "alpha");
    WriteFile(scratch.path() / "setup.exe", "installer");
    std::uint64_t lastSerial = 0;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::string> arguments = {
            "--quiet", "--sign", (keys / "update-key.pem").string(), "--expires-days", "7"};
        if (round == 0)
            arguments.insert(arguments.end(), release.begin(), release.end());
        ASSERT_EQ(publish(arguments), 0) << err;
        EXPECT_TRUE(signedBy(keys));
        const auto freshness = ReadManifestFreshness(ReadFile(out / "updater/updater.php")).value();
        EXPECT_EQ(nlohmann::json::parse(ReadFile(out / "updater/launcher/latest.json"))["version"],
                  "v1.0.9");
        EXPECT_GT(freshness.serial, lastSerial);
        EXPECT_LE(freshness.expires - static_cast<std::int64_t>(freshness.serial), 7 * 86400);
        lastSerial = freshness.serial;
    }
    EXPECT_EQ(publish({"--sign", (keys / "update-key.pub.pem").string()}), 1);  // the public half
    ASSERT_EQ(publish({"--sign", (otherKeys / "update-key.pem").string()}), 0) << err;
    EXPECT_TRUE(signedBy(otherKeys));
    ASSERT_EQ(publish(release), 0) << err;  // unsigned
    ASSERT_EQ(publish({"--sign", (keys / "update-key.pem").string()}), 0) << err;
    EXPECT_TRUE(signedBy(keys));
}

// --mirror: only in a signed manifest, only what a launcher takes as a mirror, covered by the
// signature.
TEST_F(PublishTree, MirrorsAreSignedAndAsLaunchersTakeThem) {
    const fs::path keys = scratch.path() / "keys";
    ASSERT_EQ(Cli({"keygen", keys.string()}), 0);
    WriteOldFile(client / "a.pak", "alpha");
    const std::string sign = "--sign", key = (keys / "update-key.pem").string();
    const std::string mirror = "https://cdn-1.example:8443/q/objects/";
    struct Case {
        std::vector<std::string> options;
        int status;
        const char* message;  // in the error output
    };
    const Case cases[] = {
        {{"--mirror", mirror}, 2, "--mirror needs --sign: launchers ignore"},
        {{sign, key, "--mirror", "http://cdn.example/q/"}, 2, "not http://cdn.example/q/"},
        {{sign, key, "--mirror", "https://cdn.example"}, 2, "--mirror needs https://"},
        {{sign, key, "--mirror", "https://user@cdn.example/q/"}, 2, "--mirror needs https://"},
        {{sign, key, "--mirror", "https://cdn.example/q/../"}, 2, "--mirror needs https://"},
        {{sign, key, "--mirror"}, 2, "--mirror needs a value"},
        {{sign, key, "--mirror", mirror, "--mirror", "https://10.0.0.7/o/"}, 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments = {client.string(), out.string(), "--quiet"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        std::string err;
        EXPECT_EQ(Cli(arguments, &err), c.status) << c.options.back();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    std::vector<std::string> tooMany = {client.string(), out.string(), sign, key};
    for (std::size_t i = 0; i <= kMaxMirrors; ++i)
        tooMany.insert(tooMany.end(), {"--mirror", mirror});
    EXPECT_EQ(Cli(tooMany), 2);

    const std::string manifest = ReadFile(out / "updater/updater.php");
    EXPECT_EQ(nlohmann::json::parse(manifest)["mirrors"],
              nlohmann::json({mirror, "https://10.0.0.7/o/"}));
    EXPECT_TRUE(SignatureValid(ReadFile(keys / "update-key.pub.pem"), manifest,
                               ReadFile(out / "updater/updater.sig")));
}

// The next serial is on the disk before the tree that spends it is served, so a publish cut off
// after the switch never hands the same serial to two manifests; a damaged record is refused.
TEST_F(PublishTree, SerialIsRecordedBeforeTheSwitch) {
    ASSERT_EQ(Cli({"keygen", (scratch.path() / "keys").string()}), 0);
    WriteOldFile(client / "a.pak", "alpha");
    options.signingKeyPem = ReadFile(scratch.path() / "keys/update-key.pem");
    options.now = 1000;  // serials then count up from it
    const fs::path record = out / ".quillon-publish/serial.txt";
    const auto servedSerial = [&] {
        return ReadManifestFreshness(ReadFile(out / "updater/updater.php")).value().serial;
    };
    Publish(options);
    EXPECT_EQ(servedSerial(), 1000u);
    options.onStep = [](PublishOptions::Step step) {
        if (step == PublishOptions::Step::Switching)
            throw std::runtime_error("stopped at the switch");
    };
    EXPECT_EQ(ErrorOf([&] { Publish(options); }), "stopped at the switch");
    EXPECT_EQ(ReadFile(record), "1001\n");
    options.onStep = nullptr;
    Publish(options);
    EXPECT_EQ(servedSerial(), 1002u);

    for (const char* damaged : {"", "x\n", "12ab\n", "-3\n"}) {
        WriteFile(record, damaged);
        EXPECT_NE(ErrorOf([&] { Publish(options); }).find("serial.txt is damaged"),
                  std::string::npos)
            << damaged;
        EXPECT_EQ(servedSerial(), 1002u);
    }
}

// Large files get a content-addressed chunk index that the launcher takes; a republish links an
// unchanged file's index and replaces a changed one's.
TEST_F(PublishTree, ChunkIndexesForLargeFiles) {
    std::string big(kChunkedFileMin + 12345, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 2654435761u) >> 13);
    WriteOldFile(client / "data/big.pak", big);
    WriteOldFile(client / "data/copy.pak", big);
    WriteOldFile(client / "small.txt", "small");
    PublishNow();

    // The published index of big.pak as it is now: its path and what it reads as.
    const auto readIndex = [&] {
        const std::wstring digest = Sha256File(client / "data/big.pak").digest;
        const fs::path file = out / "updater/chunks" / (WideToUtf8(digest) + ".idx");
        return std::make_pair(file, ParseChunkIndex(ReadFile(file), *DigestFromHex(digest)));
    };
    auto manifest = nlohmann::json::parse(ReadFile(out / "updater/updater.php"));
    EXPECT_EQ(manifest["chunked"], nlohmann::json({"data/big.pak", "data/copy.pak"}));
    auto [path, index] = readIndex();
    ASSERT_TRUE(index);
    EXPECT_EQ(index->chunks, ChunkBytes(big));
    EXPECT_EQ(std::distance(fs::directory_iterator(out / "updater/chunks"), {}), 2);  // + blocks
    EXPECT_TRUE(fs::is_regular_file(fs::path(path).replace_extension(".blk")));
    EXPECT_EQ(manifest["blocks"].size(), 2u);
    const auto plan = PlanClientUpdate(scratch.path() / "empty", manifest.dump());
    for (const UpdatePlanEntry& entry : plan)
        EXPECT_EQ(entry.chunked, entry.relativePath != "small.txt") << entry.relativePath;

    const auto inode = RegularFileState(path);
    WriteOldFile(client / "small.txt", "changed");
    PublishNow();
    EXPECT_EQ(RegularFileState(path), inode);  // linked, not written again

    big.replace(1000, 10, "0123456789");
    WriteOldFile(client / "data/big.pak", big);
    WriteOldFile(client / "data/copy.pak", big);
    PublishNow();
    // Kept, as objects are: a launcher that read the previous manifest may still ask for it.
    EXPECT_TRUE(fs::exists(path));
    const auto [newPath, newIndex] = readIndex();
    ASSERT_TRUE(newIndex);
    EXPECT_EQ(newIndex->size, big.size());
}

// What a republish tells caches: the documents and client-path files whose bytes changed, under
// the addresses launchers ask for; a failed purge only warns, the publish stands.
TEST_F(PublishTree, PurgesWhatChangedAndOnlyWarnsWhenACacheFails) {
    WriteOldFile(client / "Quillon Saga.exe", "exe");
    WriteOldFile(client / "data/a b.pak", "a");
    WriteOldFile(client / "data/same.pak", "same");
    options.documents = {{"news.php", "[]"}};
    PublishNow();
    const TreeSnapshot first = SnapshotTree(out);
    EXPECT_TRUE(ChangedAddresses(first, first).empty());

    WriteFile(client / "Quillon Saga.exe", "new exe");
    fs::remove(client / "data/a b.pak");
    WriteFile(client / "data/new.pak", "n");
    options.documents = {{"news.php", "[]"}, {"status.php", R"({"online":true})"}};
    PublishNow();
    EXPECT_EQ(ChangedAddresses(first, SnapshotTree(out)),
              (std::vector<std::string>{
                  "/updater/updater.php", "/status.php", "/updater/files/Quillon%20Saga.exe",
                  "/updater/files/data/a%20b.pak", "/updater/files/data/new.pak"}));

    std::string err;
    EXPECT_EQ(Cli({client.string(), out.string(), "--purge", "ftp://127.0.0.1"}, &err), 2);
    WriteFile(client / "data/same.pak", "changed");
    EXPECT_EQ(Cli({client.string(), out.string(), "--quiet", "--purge",
                   "http://127.0.0.1:" + std::to_string(qs::test::UnusedPort())},
                  &err),
              0);
    EXPECT_NE(err.find("warning: PURGE http://127.0.0.1:"), std::string::npos) << err;
    EXPECT_EQ(ReadFile(out / "updater/files/data/same.pak"), "changed");
}
