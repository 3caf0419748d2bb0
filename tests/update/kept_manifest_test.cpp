// The conditional and compressed manifest: the kept copy and its damage, a 304 that reuses it
// (signed: checked again, never trusted on the service's word), and gzip with its decoded cap.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/clock_check.h"
#include "update/kept_manifest.h"
#include "update/update_run.h"
#include "update/update_signature.h"
#include "update/verified_record.h"

#ifndef _WIN32
#include "tools/publish/signing.h"
#endif

namespace fs = std::filesystem;

namespace qs {
namespace {

constexpr char kManifestPath[] = "/updater/updater.php";

TEST(KeptManifest, ReadsBackOnlyExactlyAsWritten) {
    TempFolder scratch;
    const fs::path file = scratch.path() / "manifest-kept.txt";
    EXPECT_EQ(LoadKeptManifest(file).state, KeptManifestState::None);
    const KeptManifest kept{"{\"files\":{}}\n\n", "ab12", {"\"e1\"", "Mon, 07 Dec 2026"}};
    ASSERT_TRUE(SaveKeptManifest(file, kept));
    EXPECT_EQ(LoadKeptManifest(file).kept, kept);
    const std::string text = *KeptManifestText(kept.body, kept.signature, kept.validator);
    const struct {
        const char* name;
        std::string text;
    } damaged[] = {
        {"empty", ""},
        {"cut short", text.substr(0, text.size() - 1)},
        {"a byte more", text + " "},
        {"a body byte changed", text.substr(0, text.size() - 3) + "]\n\n"},
        {"another format", "quillon kept manifest 2" + text.substr(23)},
    };
    for (const auto& c : damaged) {
        WriteFile(file, c.text);
        EXPECT_EQ(LoadKeptManifest(file).state, KeptManifestState::Damaged) << c.name;
    }
    EXPECT_FALSE(KeptManifestText("{}", "ab\n12", {}));  // a line end would break the header
}

class ConditionalManifestTest : public testing::Test {
protected:
    void SetUp() override { service.setFile("a.pak", "alpha"); }

    UpdateResult Run() {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        environment.service.updateKey = updateKey;
        environment.serialRecord = scratch.path() / "update-serial.txt";
        environment.keptManifest = kept;
        environment.verifiedRecord = record;
        environment.parsingManifest = [this] { ++parses; };
        environment.unixNow = [this] { return now; };
        return RunClientUpdate(
            client, [](const qs::UpdateProgress&) {}, environment);
    }
    // Once the files' stamps are old enough to vouch, a run reads them and records them for good,
    // against the manifest it followed.
    void SettleRecord() {
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
        ASSERT_TRUE(Run().ok);
        parses = 0;
    }
    std::string ManifestHeader(const char* name) {
        return service.lastRequest(kManifestPath)->header(name);
    }

    qs::test::TestService service;
    TempFolder scratch;
    fs::path client = scratch.path() / "client";
    fs::path kept = scratch.path() / "manifest-kept.txt";
    fs::path record = scratch.path() / "verified-files.txt";
    int parses = 0;
    std::string updateKey;
    std::int64_t now = UnixSecondsNow();
};

// A 304 plans from the kept copy: a client file lost since is fetched again by its digest.
TEST_F(ConditionalManifestTest, UnchangedManifestIsReusedFromTheKeptCopy) {
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(ManifestHeader("If-None-Match"), "");
    ASSERT_EQ(LoadKeptManifest(kept).state, KeptManifestState::Loaded);
    fs::remove(client / "a.pak");
    service.clearRequests();
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(ManifestHeader("If-None-Match"), LoadKeptManifest(kept).kept.validator.etag);
    EXPECT_EQ(service.requestCount(kManifestPath), 1u);
    EXPECT_EQ(ReadFile(client / "a.pak"), "alpha");

    // A changed manifest comes whole and replaces the kept copy.
    service.setFile("a.pak", "beta");
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(ReadFile(client / "a.pak"), "beta");
    EXPECT_EQ(LoadKeptManifest(kept).kept.body, service.manifestJson());
}

// A 304 for the manifest the record was made against, every file as recorded, needs the record
// alone. An old record without the manifest, or a file not as recorded, takes the whole way.
TEST_F(ConditionalManifestTest, UnchangedManifestTheRecordHoldsIsNotParsed) {
    ASSERT_TRUE(Run().ok);
    SettleRecord();
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(parses, 0);

    VerifiedRecord old = VerifiedRecord::load(record, client);
    old.setMadeAgainst("");
    ASSERT_TRUE(old.save(record, client));
    ASSERT_TRUE(Run().ok);
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(parses, 1);

    WriteFile(client / "a.pak", "alpha, changed");
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(parses, 2);
    EXPECT_EQ(ReadFile(client / "a.pak"), "alpha");
}

// A kept copy that is not as written is never sent as a validator; an old service without
// validators leaves nothing kept.
TEST_F(ConditionalManifestTest, DamagedCopyAsksForTheWholeManifest) {
    ASSERT_TRUE(Run().ok);
    std::string text = ReadFile(kept);
    text[text.size() - 2] ^= 1;
    WriteFile(kept, text);
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(ManifestHeader("If-None-Match"), "");
    EXPECT_EQ(LoadKeptManifest(kept).kept.body, service.manifestJson());

    service.setReply(kManifestPath, {200, service.manifestJson(), "application/json", {}});
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(LoadKeptManifest(kept).state, KeptManifestState::None);
}

// The manifest travels gzip-encoded and is handed over decoded; a body that decodes past the cap
// stops there, however small it came. Wine's WinHTTP, like Windows before 8.1, neither asks for
// gzip nor decodes it: the body comes plain, and an encoded one nobody asked for is refused.
TEST_F(ConditionalManifestTest, CompressedManifestIsDecodedAndCappedDecoded) {
    const bool decodes = !RunningUnderWine();
    HttpsConnection connection;
    const ConditionalReply reply = HttpsConditionalRequest(service.url(kManifestPath), L"POST",
                                                           "{}", service.endpoint(), connection);
    EXPECT_EQ(std::string(reply.body.begin(), reply.body.end()), service.manifestJson());
    EXPECT_EQ(ManifestHeader("Accept-Encoding").find("gzip") != std::string::npos, decodes);

    service.setFault(kManifestPath, qs::test::Fault::gzipBomb(kManifestMaxBytes + 1));
    const UpdateResult bomb = Run();
    EXPECT_FALSE(bomb.ok);
    if (!decodes)
        return;
    EXPECT_EQ(WideToUtf8(bomb.message), "HTTPS response read failed");
    EXPECT_EQ(ErrorOf([&] {
                  HttpsConditionalRequest(service.url(kManifestPath), L"POST", "{}",
                                          service.endpoint(), connection, {}, 1 << 20);
              }),
              "HTTPS response read failed");
}

#ifndef _WIN32
// A service that gives only a Last-Modified is asked with If-Modified-Since.
TEST_F(ConditionalManifestTest, LastModifiedAloneIsSentBackAsIfModifiedSince) {
    const std::string date = "Mon, 07 Dec 2026 10:00:00 GMT";
    service.setHandler(kManifestPath, [&](const qs::test::RecordedRequest& request) {
        if (request.header("If-Modified-Since") == date)
            return qs::test::Reply{304, "", "text/plain", {}};
        return qs::test::Reply{
            200, service.manifestJson(), "application/json", {{"Last-Modified", date}}};
    });
    ASSERT_TRUE(Run().ok);
    fs::remove(client / "a.pak");
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(ManifestHeader("If-Modified-Since"), date);
    EXPECT_EQ(ManifestHeader("If-None-Match"), "");
    EXPECT_EQ(ReadFile(client / "a.pak"), "alpha");
}

class SignedConditionalManifestTest : public ConditionalManifestTest {
protected:
    void SetUp() override {
        ConditionalManifestTest::SetUp();
        updateKey = qs::publish::GenerateSigningKey(scratch.path() / "keys");
        service.setSigningKey(ReadFile(scratch.path() / "keys/update-key.pem"));
        ASSERT_TRUE(Run().ok);
        fs::remove(client / "a.pak");
        service.clearRequests();
    }
};

// Signed, a 304 costs the manifest request alone: the kept signature is checked, not fetched
// again, and the kept copy's serial and expiry are judged as a fresh manifest's are.
TEST_F(SignedConditionalManifestTest, KeptCopyIsCheckedAsAFreshManifestIs) {
    ASSERT_TRUE(Run().ok);
    EXPECT_NE(ManifestHeader("If-None-Match"), "");
    EXPECT_EQ(service.requestCount("/updater/updater.sig"), 0u);
    EXPECT_EQ(ReadFile(client / "a.pak"), "alpha");
    // Also when the record alone would do.
    SettleRecord();
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(parses, 0);

    const std::uint64_t serial = ReadManifestFreshness(service.manifestJson())->serial;
    WriteFile(scratch.path() / "update-serial.txt", std::to_string(serial + 1) + "\n");
    EXPECT_EQ(WideToUtf8(Run().message), kManifestRolledBack);
    WriteFile(scratch.path() / "update-serial.txt", std::to_string(serial) + "\n");

    now += 31 * 24 * 3600;  // the manifest expired since it was kept
    service.clearRequests();
    const UpdateResult expired = Run();
    // As for a fresh one: the server's Date says the manifest is good, so the clock is named.
    EXPECT_EQ(WideToUtf8(expired.message), std::string(kManifestExpired) +
                                               ". Your computer's clock may be wrong: it reads " +
                                               UtcText(now) + ".");
    EXPECT_EQ(service.requestCount(service.filePath("a.pak")), 0u);
}

// A kept copy whose signature fails (tampered with on disk, or from another key) is dropped and
// the manifest asked for whole, with its signature.
TEST_F(SignedConditionalManifestTest, KeptCopyThatFailsItsSignatureIsNeverUsed) {
    KeptManifest tampered = LoadKeptManifest(kept).kept;
    tampered.body.insert(tampered.body.size() - 1, ",\"extra\":1");
    ASSERT_TRUE(SaveKeptManifest(kept, tampered));
    parses = 0;
    ASSERT_TRUE(Run().ok);
    EXPECT_EQ(parses, 1);
    const auto requests = service.requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_NE(requests[0].header("If-None-Match"), "");  // answered 304: the body is unchanged
    EXPECT_EQ(requests[1].path, kManifestPath);
    EXPECT_EQ(requests[1].header("If-None-Match"), "");
    EXPECT_EQ(requests[2].path, "/updater/updater.sig");
    EXPECT_EQ(LoadKeptManifest(kept).kept.body, service.manifestJson());
}
#endif

}  // namespace
}  // namespace qs
