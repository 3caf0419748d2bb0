// The stand-in service itself, driven by plain libcurl so its faults are proven independently of
// the launcher's request layer.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/standin/service.h"

namespace {

using qs::test::Fault;
using qs::test::TestService;

struct RawReply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
};

RawReply RawRequest(const TestService& service, const std::string& path,
                    const std::string& host = "localhost", bool post = false,
                    long lowSpeedTime = 0) {
    RawReply reply;
    CURL* curl = curl_easy_init();
    const std::string url = "https://" + host + ":" + std::to_string(service.port()) + path;
    curl_blob ca{const_cast<char*>(service.caPem().data()), service.caPem().size(), CURL_BLOB_COPY};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &ca);
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (post)
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{}");
    if (lowSpeedTime > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedTime);
    }
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t, size_t n, void* user) -> size_t {
            auto* body = static_cast<std::string*>(user);
            if (body->size() > (1u << 20))
                return 0;
            body->append(data, n);
            return n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    reply.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_cleanup(curl);
    return reply;
}

TEST(TestService, ServesManifestBuiltFromFilesWithExecutableUnderBinary) {
    TestService service;
    service.setFile("data/a b.txt", "hello");
    service.setFile("Quillon Saga.exe", "#!/bin/sh\n");
    const RawReply reply = RawRequest(service, "/updater/updater.php", "localhost", true);
    ASSERT_EQ(reply.code, CURLE_OK);
    EXPECT_EQ(reply.status, 200);
    const auto manifest = nlohmann::json::parse(reply.body);
    EXPECT_EQ(manifest["files"].size(), 1u);
    EXPECT_EQ(manifest["files"]["data/a b.txt"], qs::test::Sha256Hex("hello"));
    EXPECT_EQ(manifest["binary"]["file"], "Quillon Saga.exe");
    EXPECT_EQ(manifest["binary"]["checksum"], qs::test::Sha256Hex("#!/bin/sh\n"));

    const RawReply file = RawRequest(service, "/updater/files/data/a%20b.txt");
    EXPECT_EQ(file.body, "hello");
    ASSERT_EQ(service.requestCount("/updater/files/data/a b.txt"), 1u);
    EXPECT_EQ(service.lastRequest()->target, "/updater/files/data/a%20b.txt");
    EXPECT_EQ(service.lastRequest()->method, "GET");
}

TEST(TestService, UnknownPathIs404AndIsRecorded) {
    TestService service;
    EXPECT_EQ(RawRequest(service, "/nothing").status, 404);
    EXPECT_EQ(service.requestCount("/nothing"), 1u);
}

TEST(TestService, FaultsMisbehaveAsDocumented) {
    TestService service;
    const std::string body(1000, 'b');
    service.setResource("/f", body);

    service.setFault("/f", Fault::Status(503, "{\"online\":false}"));
    RawReply reply = RawRequest(service, "/f");
    EXPECT_EQ(reply.status, 503);
    EXPECT_EQ(reply.body, "{\"online\":false}");

    service.setFault("/f", Fault::Redirect("https://localhost/elsewhere", 301));
    EXPECT_EQ(RawRequest(service, "/f").status, 301);

    service.setFault("/f", Fault::Truncate(10));
    reply = RawRequest(service, "/f");
    EXPECT_NE(reply.code, CURLE_OK);
    EXPECT_EQ(reply.body, body.substr(0, 10));

    service.setFault("/f", Fault::WrongBytes());
    reply = RawRequest(service, "/f");
    EXPECT_EQ(reply.body.size(), body.size());
    EXPECT_NE(reply.body, body);

    service.setFault("/f", Fault::NotJson());
    EXPECT_FALSE(nlohmann::json::accept(RawRequest(service, "/f").body));

    service.setFault("/f", Fault::Endless());
    EXPECT_EQ(RawRequest(service, "/f").code, CURLE_WRITE_ERROR);  // our 1 MiB cap

    service.setFault("/f", Fault::Drip(std::chrono::milliseconds(1), 100));
    EXPECT_EQ(RawRequest(service, "/f").body, body);

    service.setFault("/f", Fault::StallAfter(5));
    reply = RawRequest(service, "/f", "localhost", false, 1);
    EXPECT_EQ(reply.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(reply.body, body.substr(0, 5));

    service.setFault("/f", Fault::Stall());
    reply = RawRequest(service, "/f", "localhost", false, 1);
    EXPECT_EQ(reply.code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(reply.status, 0);

    service.setHandler("/f", [](const qs::test::RecordedRequest& request) {
        return qs::test::Reply{418, "method " + request.method, "text/plain", {}};
    });
    reply = RawRequest(service, "/f");
    EXPECT_EQ(reply.status, 418);
    EXPECT_EQ(reply.body, "method GET");
}

TEST(TestService, CertificatesTrustedOnlyForTheTestAuthorityAndLocalhost) {
    TestService trusted;
    trusted.setStatusJson("{}");
    EXPECT_EQ(RawRequest(trusted, "/status.php").code, CURLE_OK);
    EXPECT_EQ(RawRequest(trusted, "/status.php", "127.0.0.1").code, CURLE_OK);

    TestService untrusted(TestService::Certificate::Untrusted);
    EXPECT_EQ(RawRequest(untrusted, "/status.php").code, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(untrusted.requestCount(), 0u);

    TestService otherName(TestService::Certificate::OtherName);
    EXPECT_EQ(RawRequest(otherName, "/status.php").code, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(otherName.requestCount(), 0u);
}

}  // namespace
