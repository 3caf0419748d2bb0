// Where a run fetches files from: the content addresses a manifest names, and the mirrors a signed
// manifest adds, each refused when ill-formed, each replaced by the next when it fails.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "net/https.h"
#include "platform/wide_text.h"
#include "scratch.h"
#include "tools/standin/service.h"
#include "update/file_source.h"
#include "update/update_run.h"

#ifndef _WIN32
#include "tools/publish/signing.h"
#endif

using namespace qs;
using qs::test::Fault;
using qs::test::TestService;

namespace {

UpdateEnvironment EnvironmentOf(const TestService& service) {
    UpdateEnvironment environment;
    environment.service = service.endpoint();
    environment.retryPauses = {std::chrono::milliseconds(1), std::chrono::milliseconds(1)};
    return environment;
}

UpdateResult RunUpdate(const TempFolder& scratch, const UpdateEnvironment& environment) {
    return RunClientUpdate(
        scratch.path() / "client", [](const UpdateProgress&) {}, environment);
}

}  // namespace

TEST(FileSource, OnlyWellFormedBasesAreTaken) {
    EXPECT_TRUE(IsObjectsPath("/updater/objects/"));
    EXPECT_TRUE(IsObjectsPath("/a/"));
    for (const char* path :
         {"/", "updater/objects/", "/updater/objects", "/a/../b/", "/a/./", "//a/", "/a/%2e%2e/",
          "/a?x=/", "/a#/", "/a b/", "/\xc3\xa9/", "/a\\b/", ""})
        EXPECT_FALSE(IsObjectsPath(path)) << path;
    EXPECT_FALSE(IsObjectsPath("/" + std::string(kMaxBaseLength, 'a') + "/"));

    ServiceEndpoint service{"launcher.example", 443, "CA", "KEY"};
    const auto mirror = MirrorSource("https://cdn-1.example:8443/q/objects/", service);
    ASSERT_TRUE(mirror);
    EXPECT_EQ(mirror->endpoint.host, "cdn-1.example");
    EXPECT_EQ(mirror->endpoint.port, 8443);
    EXPECT_EQ(mirror->endpoint.caPem, "CA");  // the service's authorities, nothing else
    EXPECT_EQ(mirror->objectsPath, "/q/objects/");
    EXPECT_EQ(MirrorSource("https://10.0.0.7/o/", service)->endpoint.port, 443);
    for (const char* url :
         {"http://cdn.example/o/", "https://cdn.example/o", "https://cdn.example", "https:///o/",
          "https://user@cdn.example/o/", "https://cdn.example:0/o/", "https://cdn.example:65536/o/",
          "https://cdn.example:08443/o/", "https://cdn.example:/o/", "https://[::1]/o/",
          "https://cdn..example/o/", "https://.cdn.example/o/", "https://cdn.example/o/?x/",
          "https://cdn.example/../o/", "ftp://cdn.example/o/", ""})
        EXPECT_FALSE(MirrorSource(url, service)) << url;

    const std::vector<std::string> mirrors(kMaxMirrors + 3, "https://cdn.example/o/");
    EXPECT_EQ(SourcesOfManifest(service, "/objects/", mirrors, true).size(), kMaxMirrors + 1);
    const auto unsigned_ = SourcesOfManifest(service, "/objects/", mirrors, false);
    ASSERT_EQ(unsigned_.size(), 1u);
    EXPECT_EQ(unsigned_[0].objectsPath, "/objects/");
    EXPECT_EQ(SourcesOfManifest(service, "/../", {}, true)[0].objectsPath, "");  // old paths
}

// Files, their resumes and their chunk ranges come from the objects a manifest names; without
// the member, or with an ill-formed one, from the paths of old.
TEST(FileSource, FilesComeFromTheirObjectsOrTheOldPaths) {
    const std::string big = RandomBytes(5 << 20, 7);
    for (const std::string objects : {"named", "absent", "ill-formed"}) {
        SCOPED_TRACE(objects);
        TestService service;
        TempFolder scratch;
        service.setObjectsNamed(objects == "named");
        const auto publish = [&](const std::string& bigBytes) {
            service.setManifestJson(std::nullopt);
            service.setFile("data/a b.pak", "alpha");
            service.setFile("big.pak", bigBytes);
            std::string manifest = service.manifestJson();
            if (objects == "ill-formed")
                manifest.insert(manifest.size() - 1, R"(,"objects":"/updater/../objects/")");
            service.setManifestJson(manifest);
        };
        // Requests to the layout not expected, which must be none.
        const auto strayRequests = [&] {
            std::size_t count = 0;
            for (const auto& request : service.requests())
                count += request.path.starts_with(objects == "named" ? "/updater/files/"
                                                                     : "/updater/objects/");
            return count;
        };
        // The stand-in takes any "objects" member for a good one; the launcher does not.
        const auto pathOf = [&](const std::string& name) {
            return objects == "named" ? service.filePath(name) : "/updater/files/" + name;
        };
        publish(big);
        const std::string bigPath = pathOf("big.pak");
        service.setFault(bigPath, Fault::truncate(1 << 20).only(1));
        ASSERT_TRUE(RunUpdate(scratch, EnvironmentOf(service)).ok);
        EXPECT_EQ(ReadFile(scratch.path() / "client/data/a b.pak"), "alpha");
        EXPECT_EQ(service.requestCount(pathOf("data/a b.pak")), 1u);
        ASSERT_EQ(service.requestCount(bigPath), 2u);  // cut short, then resumed there
        EXPECT_EQ(service.lastRequest(bigPath)->header("Range"), "bytes=1048576-");

        // A patch: the changed chunks come as ranges of the new file's address.
        std::string patched = big;
        patched[3 << 20] ^= 1;
        publish(patched);
        service.clearRequests();
        ASSERT_TRUE(RunUpdate(scratch, EnvironmentOf(service)).ok);
        EXPECT_EQ(ReadFile(scratch.path() / "client/big.pak"), patched);
        const std::string patchedPath = pathOf("big.pak");
        ASSERT_GE(service.requestCount(patchedPath), 1u);
        EXPECT_NE(service.lastRequest(patchedPath)->header("Range"), "");
        EXPECT_EQ(strayRequests(), 0u);
    }
}

#ifndef _WIN32
namespace {

// An origin that signs its manifest and lists `mirrors` stand-ins, all serving the same files.
class MirrorTest : public testing::Test {
protected:
    MirrorTest() {
        const std::string publicHex = qs::publish::GenerateSigningKey(keys.path());
        key = publicHex;
        mirrors.push_back(std::make_unique<TestService>());
        mirrors.push_back(std::make_unique<TestService>());
        for (int i = 0; i < 12; ++i)
            files.push_back("f" + std::to_string(i) + ".pak");
        std::vector<std::string> urls;
        for (auto& mirror : mirrors)
            urls.push_back("https://127.0.0.1:" + std::to_string(mirror->port()) +
                           "/updater/objects/");
        for (TestService* service : all()) {
            service->setObjectsNamed(true);
            for (const std::string& file : files)
                service->setFile(file, "content of " + file);
        }
        origin->setMirrors(urls);
        origin->setSigningKey(ReadFile(keys.path() / "update-key.pem"));
    }

    std::vector<TestService*> all() { return {origin.get(), mirrors[0].get(), mirrors[1].get()}; }

    UpdateResult run(bool signedUpdates = true, bool oneAtATime = false) {
        UpdateEnvironment environment = EnvironmentOf(*origin);
        if (oneAtATime)
            environment.transfers = environment.smallFileTransfers = 1;
        if (signedUpdates)
            environment.service.updateKey = key;
        environment.serialRecord = scratch.path() / "update-serial.txt";
        if (beforeNextFile)
            environment.beforeNextFile = beforeNextFile;
        return RunUpdate(scratch, environment);
    }

    std::size_t objectRequests(const TestService& service) {
        std::size_t count = 0;
        for (const auto& request : service.requests())
            count += request.path.starts_with("/updater/objects/");
        return count;
    }

    void expectClientWhole() {
        for (const std::string& file : files)
            EXPECT_EQ(ReadFile(scratch.path() / "client" / file), "content of " + file);
    }

    TempFolder keys, scratch;
    std::string key;
    std::unique_ptr<TestService> origin = std::make_unique<TestService>();
    std::vector<std::unique_ptr<TestService>> mirrors;
    std::vector<std::string> files;
    std::function<void()> beforeNextFile;
};

}  // namespace

TEST_F(MirrorTest, TransfersSpreadOverEveryBase) {
    ASSERT_TRUE(run().ok);
    expectClientWhole();
    for (TestService* service : all())
        EXPECT_GE(objectRequests(*service), 1u);
    EXPECT_EQ(objectRequests(*origin) + objectRequests(*mirrors[0]) + objectRequests(*mirrors[1]),
              files.size());
}

TEST_F(MirrorTest, UnsignedManifestKeepsEveryDownloadOnTheService) {
    ASSERT_TRUE(run(/*signedUpdates=*/false).ok);
    expectClientWhole();
    EXPECT_EQ(mirrors[0]->requestCount() + mirrors[1]->requestCount(), 0u);
    EXPECT_EQ(objectRequests(*origin), files.size());
}

// A mirror that fails a file hands it on; the run ends whole, and the failed mirror is avoided.
TEST_F(MirrorTest, AFailingMirrorsFilesComeFromAnotherBase) {
    const std::pair<const char*, Fault> faults[] = {
        {"503", Fault::replyStatus(503)},        {"404", Fault::replyStatus(404)},
        {"dropped mid-body", Fault::truncate()}, {"wrong bytes", Fault::wrongBytes()},
        {"stalled", Fault::stallAfter(4)},
    };
    struct Restore {
        TransferLimits saved = UpdateTransferLimits();
        ~Restore() { UpdateTransferLimits() = saved; }
    } restore;
    UpdateTransferLimits().lowSpeedTimeSec = 1;  // a stall ends after a second, not thirty
    for (const auto& [name, fault] : faults) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all(scratch.path() / "client");
        for (TestService* service : all())
            service->clearRequests();
        for (const std::string& file : files)
            mirrors[0]->setFault(mirrors[0]->filePath(file), fault);
        ASSERT_TRUE(run(true, /*oneAtATime=*/true).ok);
        expectClientWhole();
        EXPECT_EQ(objectRequests(*mirrors[0]), 1u);  // failed once, then avoided
    }
}

// A mirror whose certificate the service's authorities did not issue gets no request.
TEST_F(MirrorTest, AMirrorWithAnUntrustedCertificateIsPassedOver) {
    TestService untrusted(TestService::Certificate::Untrusted);
    for (const std::string& file : files)
        untrusted.setFile(file, "content of " + file);
    origin->setMirrors(
        {"https://127.0.0.1:" + std::to_string(untrusted.port()) + "/updater/objects/"});
    ASSERT_TRUE(run(true, /*oneAtATime=*/true).ok);
    expectClientWhole();
    EXPECT_EQ(untrusted.requestCount(), 0u);
}

// The origin stops after three files (the manifest long read): the mirrors serve the rest,
// the origin's share included.
TEST_F(MirrorTest, OriginStoppedMidRunIsFinishedByAMirror) {
    int taken = 0;
    std::size_t servedByOrigin = 0;
    beforeNextFile = [&] {
        if (++taken == 4) {
            servedByOrigin = objectRequests(*origin);
            origin.reset();
        }
    };
    const UpdateResult result = run(true, /*oneAtATime=*/true);
    ASSERT_TRUE(result.ok) << WideToUtf8(result.message);
    expectClientWhole();
    EXPECT_EQ(objectRequests(*mirrors[0]) + objectRequests(*mirrors[1]),
              files.size() - servedByOrigin);
}
#endif
