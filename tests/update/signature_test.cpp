// Signed updates: the signature check itself (on both systems: OpenSSL, libgcrypt), the key forms
// a build takes, and on Linux whole runs against a signing stand-in.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "platform/wide_text.h"
#include "scratch.h"
#include "update/clock_check.h"
#include "update/update_signature.h"

#ifndef _WIN32
#include "selfupdate/launcher_update.h"
#include "tools/publish/documents.h"
#include "tools/publish/signing.h"
#include "tools/standin/service.h"
#include "update/update_run.h"
#endif

using namespace qs;

namespace fs = std::filesystem;

namespace {

// RFC 8032's first key; its signatures of the empty message (from the RFC) and of "r".
constexpr char kKeyHex[] = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr char kKeyPem[] =
    "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEA11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=\n"
    "-----END PUBLIC KEY-----\n";
constexpr char kEmptySignature[] =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
    "b46bd25bf5f0595bbe24655141438e7a100b";
constexpr char kRSignature[] =
    "1b79abc415a34efe5915b4c1b53d2435e731b3c92d0ba440de29cab2999fa885bd0eb3c71dfd8df6fbecf8c0ef40"
    "3e8902dec8e2abd00ab9b04b1df027929609";

std::string Flipped(std::string text, std::size_t at) {
    text[at] = text[at] == '0' ? '1' : '0';
    return text;
}

}  // namespace

TEST(UpdateSignature, OnlyTheExactBytesByTheBuiltInKeyPass) {
    const std::string otherKey = Flipped(kKeyHex, 5);
    struct Case {
        const char* name;
        std::string key, body, signature;
        bool valid;
    };
    const Case cases[] = {
        {"the empty message", kKeyHex, "", kEmptySignature, true},
        {"one byte", kKeyHex, "r", kRSignature, true},
        {"key as PEM", kKeyPem, "r", kRSignature, true},
        {"signature with a line end", kKeyHex, "r", std::string(kRSignature) + "\n", true},
        {"a byte of the body changed", kKeyHex, "s", kRSignature, false},
        {"a byte added", kKeyHex, "r ", kRSignature, false},
        {"a byte of the signature changed", kKeyHex, "r", Flipped(kRSignature, 70), false},
        {"another key", otherKey, "r", kRSignature, false},
        {"the signature of another message", kKeyHex, "r", kEmptySignature, false},
        {"no signature", kKeyHex, "r", "", false},
        {"signature too short", kKeyHex, "r", std::string(kRSignature).substr(2), false},
        {"key not hex", std::string(64, 'g'), "r", kRSignature, false},
        {"PEM of something else", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----", "r",
         kRSignature, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SignatureValid(c.key, c.body, c.signature), c.valid) << c.name;
    EXPECT_EQ(ParseUpdatePublicKey(kKeyPem), ParseUpdatePublicKey(kKeyHex));
}

TEST(UpdateSignature, SerialAndExpiryKeepOldAndStaleManifestsOut) {
    TempFolder scratch;
    const fs::path serial = scratch.path() / "update-serial.txt";
    EXPECT_EQ(ErrorOf([&] { AcceptManifestFreshness({5, 1000}, 999, serial); }), "");
    EXPECT_EQ(ReadFile(serial), "5\n");
    EXPECT_EQ(ErrorOf([&] { AcceptManifestFreshness({5, 1000}, 999, serial); }), "");  // equal
    EXPECT_EQ(ErrorOf([&] {
                  AcceptManifestFreshness({4, 1000}, 999, serial);
              }),
              kManifestRolledBack);
    EXPECT_EQ(ErrorOf([&] { AcceptManifestFreshness({9, 1000}, 1000, serial); }), kManifestExpired);
    EXPECT_EQ(ReadFile(serial), "5\n");  // neither moved it
    EXPECT_EQ(ErrorOf([&] { AcceptManifestFreshness({6, 1000}, 10, serial); }), "");
    EXPECT_EQ(ReadFile(serial), "6\n");
    EXPECT_EQ(ErrorOf([&] { AcceptReleaseFreshness({5, 1000}, 10, serial); }), kReleaseRolledBack);
    EXPECT_EQ(ErrorOf([&] { AcceptReleaseFreshness({7, 1000}, 1000, serial); }), kReleaseExpired);

    // A record that is not as written is never read as "none yet".
    const std::string damaged = kSerialRecordDamaged + serial.string();
    for (const char* text : {"not a number", "", "6", "6\n7\n", " 6\n", "99999999999999999999\n"}) {
        WriteFile(serial, text);
        EXPECT_EQ(ErrorOf([&] {
                      AcceptManifestFreshness({1, 1000}, 10, serial);
                  }),
                  damaged)
            << text;
    }
    fs::remove(serial);
    fs::create_directory(serial);
    EXPECT_EQ(ErrorOf([&] { AcceptManifestFreshness({1, 1000}, 10, serial); }), damaged);
    // A newer serial the record cannot take fails rather than passing unrecorded.
    WriteFile(scratch.path() / "file", "");
    const fs::path unwritable = scratch.path() / "file" / "update-serial.txt";
    EXPECT_EQ(ErrorOf([&] {
                  AcceptManifestFreshness({1, 1000}, 10, unwritable);
              }),
              kSerialRecordNotSaved + unwritable.string());

    EXPECT_EQ(ReadManifestFreshness(R"({"files":{},"serial":7,"expires":99})")->serial, 7u);
    for (const char* manifest : {R"({"files":{}})", R"({"serial":-1,"expires":9})",
                                 R"({"serial":"7","expires":9})", R"({"serial":7})", "[]", "{"})
        EXPECT_FALSE(ReadManifestFreshness(manifest)) << manifest;
}

// The server's Date is read in its one current form; the local clock is named as the cause of an
// expiry only when the server's clock says the manifest is still good and the two are far apart.
TEST(UpdateSignature, ExpiryNamesAClockFarFromTheServers) {
    const std::pair<const char*, std::optional<std::int64_t>> dates[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"Mon, 29 Feb 2027 12:00:00 GMT", std::nullopt},  // no such day
        {"Sun, 06 Nov 1994 08:49:37 UTC", std::nullopt},
        {"Sunday, 06-Nov-94 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Xyz 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 24:49:37 GMT", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, seconds] : dates)
        EXPECT_EQ(ParseHttpDate(text), seconds) << text;
    EXPECT_EQ(UtcText(784111777), "1994-11-06 08:49 UTC");

    const std::string named =
        std::string(kManifestExpired) +
        ". Your computer's clock may be wrong: it reads 1994-11-06 08:49 UTC.";
    const std::int64_t local = 784111777;
    const struct {
        std::int64_t expires;
        std::optional<std::int64_t> server;
        std::string text;
    } cases[] = {
        {local - 10, local - 2 * 86400, named},        // fresh by the server's clock
        {local - 10, std::nullopt, kManifestExpired},  // no server clock to compare
        {local - 10, local - 600, kManifestExpired},   // the clocks agree closely
        {local - 10, local, kManifestExpired},         // expired by the server's clock too
    };
    for (const auto& c : cases)
        EXPECT_EQ(ManifestExpiredText(local, c.expires, c.server), c.text);
}

#ifndef _WIN32
namespace {

// A signing key of the test's own, with OpenSSL.
// A key pair of the test's own, made and used as the publisher makes and uses one.
class SigningKey {
public:
    SigningKey() : publicHex_(qs::publish::GenerateSigningKey(folder_.path())) {
        privatePem_ = ReadFile(folder_.path() / "update-key.pem");
    }
    const std::string& publicHex() const { return publicHex_; }
    const std::string& privatePem() const { return privatePem_; }
    std::string sign(const std::string& body) const {
        return qs::publish::SignatureText(privatePem_, body);
    }

private:
    TempFolder folder_;
    std::string publicHex_;
    std::string privatePem_;
};

class SignedRunTest : public testing::Test {
protected:
    void SetUp() override { service.setFile("a.pak", "alpha"); }

    // Serves `manifest` (the built one with serial and expiry when empty) signed by `signer`.
    void Publish(std::uint64_t serialNumber, std::int64_t expires, const SigningKey& signer,
                 std::function<void(std::string&, std::string&)> tamper = {}) {
        service.setManifestJson(std::nullopt);
        std::string manifest = service.manifestJson();
        manifest.insert(manifest.size() - 1, ",\"serial\":" + std::to_string(serialNumber) +
                                                 ",\"expires\":" + std::to_string(expires));
        std::string signature = signer.sign(manifest);
        if (tamper)
            tamper(manifest, signature);
        service.setManifestJson(manifest);
        service.setResource("/updater/updater.sig", signature);
    }

    UpdateResult Run(bool withKey = true) {
        UpdateEnvironment environment;
        environment.service = service.endpoint();
        if (withKey)
            environment.service.updateKey = key.publicHex();
        environment.serialRecord = scratch.path() / "update-serial.txt";
        environment.unixNow = [] { return std::int64_t{1'000'000}; };
        return RunClientUpdate(
            scratch.path() / "client", [](const qs::UpdateProgress&) {}, environment);
    }

    SigningKey key, otherKey;
    qs::test::TestService service;
    TempFolder scratch;
};

}  // namespace

TEST_F(SignedRunTest, OnlyAValidFreshManifestIsFollowed) {
    struct Case {
        const char* name;
        std::uint64_t serial;
        std::int64_t expires;
        bool otherSigner;
        std::function<void(std::string&, std::string&)> tamper;
        const char* message;  // nullptr: the run succeeds
    };
    const Case cases[] = {
        {"valid", 10, 2'000'000, false, {}, nullptr},
        {"a flipped byte in the manifest", 10, 2'000'000, false,
         [](std::string& manifest, std::string&) {
             manifest[manifest.find("a.pak\":\"") + 10] ^= 1;  // a digit of the file's digest
         },
         kManifestSignatureInvalid},
        {"a flipped byte in the signature", 10, 2'000'000, false,
         [](std::string&, std::string& signature) { signature[0] ^= 1; },
         kManifestSignatureInvalid},
        {"signed with another key", 10, 2'000'000, true, {}, kManifestSignatureInvalid},
        {"expired", 11, 999'999, false, {}, kManifestExpired},
        {"rolled back", 9, 2'000'000, false, {}, kManifestRolledBack},
        {"the same serial again", 10, 2'000'000, false, {}, nullptr},
        {"a newer one", 12, 2'000'000, false, {}, nullptr},
        {"rolled back below the newer one", 11, 2'000'000, false, {}, kManifestRolledBack},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(scratch.path() / "client");
        service.clearRequests();
        Publish(c.serial, c.expires, c.otherSigner ? otherKey : key, c.tamper);
        const UpdateResult result = Run();
        EXPECT_EQ(result.ok, c.message == nullptr) << WideToUtf8(result.message);
        if (c.message) {
            EXPECT_EQ(WideToUtf8(result.message), c.message);
        }
        // A refused manifest fetches nothing.
        EXPECT_EQ(service.requestCount(service.filePath("a.pak")), c.message ? 0u : 1u);
    }
}

TEST_F(SignedRunTest, MissingSignatureIsInvalidAndAnUnsignedBuildAsksForNone) {
    service.setManifestJson(std::nullopt);
    EXPECT_EQ(WideToUtf8(Run().message), kManifestSignatureInvalid);
    EXPECT_EQ(service.requestCount(service.filePath("a.pak")), 0u);
    service.clearRequests();
    EXPECT_TRUE(Run(false).ok);
    EXPECT_EQ(service.requestCount("/updater/updater.sig"), 0u);
}

// A manifest and a signature of two publishes (a cache between them) are fetched once more
// together; a signature request the network failed is a network failure, not a bad signature.
TEST_F(SignedRunTest, ManifestAndSignatureAreFetchedAgainTogetherAndNetworkFailuresStayThat) {
    Publish(10, 2'000'000, key);
    const std::string older = service.manifestJson();
    Publish(11, 2'000'000, key);
    const std::string newer = service.manifestJson();
    struct Case {
        const char* name;
        std::vector<std::string> manifests;  // served in turn, the last one from then on
        std::optional<qs::test::Fault> signatureFault;
        const char* message;  // nullptr: the run succeeds
        std::size_t manifestRequests;
    };
    const Case cases[] = {
        {"the manifest of the publish before", {older, newer}, std::nullopt, nullptr, 2},
        {"still not matching", {older}, std::nullopt, kManifestSignatureInvalid, 2},
        {"signature request answered 503",
         {newer},
         qs::test::Fault::replyStatus(503),
         "Update server returned an error",
         1},
        {"signature request cut off",
         {newer},
         qs::test::Fault::truncate(10),
         "HTTPS response read failed",
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(scratch.path() / "client");
        service.clearFaultsAndHandlers();
        service.clearRequests();
        std::atomic<std::size_t> served{0};
        service.setHandler("/updater/updater.php", [&](const qs::test::RecordedRequest&) {
            qs::test::Reply reply;
            reply.body = c.manifests[std::min(served++, c.manifests.size() - 1)];
            return reply;
        });
        if (c.signatureFault)
            service.setFault("/updater/updater.sig", *c.signatureFault);
        const UpdateResult result = Run();
        EXPECT_EQ(WideToUtf8(result.message), c.message ? c.message : "Ready to play.");
        EXPECT_EQ(service.requestCount("/updater/updater.php"), c.manifestRequests);
    }
}

// An old signed release (an older version hiding a security release, or a superseded one
// pushed again) is refused once a newer one was seen, and none is taken past its expiry.
TEST_F(SignedRunTest, ReleaseDocumentMustBeSignedFreshAndNeverOlder) {
    const std::int64_t later = std::time(nullptr) + 86400;
    struct Case {
        const char* name;
        std::optional<ManifestFreshness> freshness;
        bool otherSigner;
        const char* error;  // "": accepted
    };
    const Case cases[] = {
        {"signed with another key", ManifestFreshness{10, later}, true, kReleaseSignatureInvalid},
        {"no serial or expiry", std::nullopt, false, kReleaseSignatureInvalid},
        {"valid", ManifestFreshness{10, later}, false, ""},
        {"the same serial again", ManifestFreshness{10, later}, false, ""},
        {"expired", ManifestFreshness{11, std::time(nullptr) - 1}, false, kReleaseExpired},
        {"rolled back", ManifestFreshness{9, later}, false, kReleaseRolledBack},
        {"a newer one", ManifestFreshness{12, later}, false, ""},
    };
    ServiceEndpoint endpoint = service.endpoint();
    endpoint.updateKey = key.publicHex();
    const fs::path record = scratch.path() / "launcher-serial.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<qs::publish::ReleaseFreshness> freshness;
        if (c.freshness)
            freshness.emplace(c.freshness->serial, c.freshness->expires);
        const std::string latest = qs::publish::ReleaseJson(
            "v1.0.8", "https://localhost/x.exe", std::string(64, 'a'), std::nullopt, freshness);
        service.setLatestJson(latest);
        service.setResource("/updater/launcher/latest.json.sig",
                            (c.otherSigner ? otherKey : key).sign(latest));
        EXPECT_EQ(WideToUtf8(CheckLauncherRelease(endpoint, nullptr, record).error), c.error);
    }
    EXPECT_EQ(ReadFile(record), "12\n");
    // An unsigned build reads the document as it always did.
    service.setLatestJson(R"({"version":"v1.0.8","url":"u","sha256":"s"})");
    EXPECT_EQ(CheckLauncherRelease(service.endpoint(), nullptr, record).error, L"");
    // A signing stand-in serves it as the publisher writes it.
    qs::test::TestService signing;
    signing.setSigningKey(key.privatePem());
    signing.setLatestJson(R"({"version":"v1.0.8","url":"u","sha256":"s"})");
    endpoint = signing.endpoint();
    endpoint.updateKey = key.publicHex();
    EXPECT_EQ(CheckLauncherRelease(endpoint).error, L"");
}

// A fresh manifest seen through a clock two months ahead is refused, the refusal names the clock
// (the server's Date says the manifest is good), and a client that was whole stays playable.
TEST_F(SignedRunTest, ClockFarAheadIsNamedAndTheWholeClientStaysPlayable) {
    const std::int64_t now = std::time(nullptr);
    std::int64_t clock = now;
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.service.updateKey = key.publicHex();
    environment.serialRecord = scratch.path() / "update-serial.txt";
    environment.wholeMark = scratch.path() / "client-whole.txt";
    environment.unixNow = [&clock] { return clock; };
    const auto run = [&] {
        return RunClientUpdate(
            scratch.path() / "client", [](const qs::UpdateProgress&) {}, environment);
    };
    Publish(static_cast<std::uint64_t>(now), now + 30 * 86400, key);
    ASSERT_TRUE(run().ok);
    clock = now + 60 * 86400;
    const UpdateResult refused = run();
    EXPECT_EQ(WideToUtf8(refused.message), std::string(kManifestExpired) +
                                               ". Your computer's clock may be wrong: it reads " +
                                               UtcText(clock) + ".");
    EXPECT_FALSE(refused.placedFiles);
    EXPECT_TRUE(refused.provenBefore);
    // Expired by the server's clock as well: the manifest is at fault, not the clock.
    clock = now;
    Publish(static_cast<std::uint64_t>(now) + 1, now - 60, key);
    EXPECT_EQ(WideToUtf8(run().message), kManifestExpired);
}
#endif
