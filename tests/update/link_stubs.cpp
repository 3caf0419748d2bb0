// Interim request layer for the tests until the real one is linked into qs_core: a minimal
// libcurl client with certificate checks on, following the request layer's contract (status
// 200 only, no redirects). Weak, and removed once the real layer lands.
#include <curl/curl.h>

#include <stdexcept>

#include "update/https.h"
#include "update/text.h"

namespace {

struct Transfer {
    CURL* curl;
    const BodySink* sink;
    bool aborted = false;
};

void Perform(const std::wstring& url, const std::wstring& verb, const std::string& body,
             const BodySink& sink, const ServiceEndpoint& service) {
    const std::string prefix = WideToUtf8(ServiceUrl(service, "/"));
    const std::string target = WideToUtf8(url);
    if (target.rfind(prefix, 0) != 0)
        throw std::runtime_error("Untrusted update URL configuration");
    CURL* curl = curl_easy_init();
    if (!curl)
        throw std::runtime_error("Unable to initialize HTTPS");
    curl_blob ca{const_cast<char*>(service.caPem.data()), service.caPem.size(), CURL_BLOB_COPY};
    curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
    if (!service.caPem.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &ca);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "QuillonSagaLauncher/1.0");
    curl_slist* headers = nullptr;
    if (!body.empty())
        headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Cache-Control: no-cache, no-store, must-revalidate");
    headers = curl_slist_append(headers, "Pragma: no-cache");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (verb == L"POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    Transfer transfer{curl, &sink};
    long status = 0;
    curl_easy_setopt(
        curl, CURLOPT_HEADERFUNCTION, +[](char*, size_t, size_t n, void*) -> size_t { return n; });
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t, size_t n, void* user) -> size_t {
            auto* t = static_cast<Transfer*>(user);
            long code = 0;
            curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &code);
            if (code != 200)
                return n;  // an error body never reaches the sink
            if (!(*t->sink)(data, n)) {
                t->aborted = true;
                return 0;
            }
            return n;
        });
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (transfer.aborted)
        throw std::runtime_error("HTTPS response read failed");
    if (code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST)
        throw std::runtime_error("Unable to connect to update server");
    if (code != CURLE_OK)
        throw std::runtime_error("HTTPS request failed");
    if (status != 200)
        throw std::runtime_error("Update server returned an error");
}

}  // namespace

__attribute__((weak)) std::vector<std::uint8_t> HttpsRequest(const std::wstring& url,
                                                             const std::wstring& verb,
                                                             const std::string& body,
                                                             const ServiceEndpoint& service) {
    std::vector<std::uint8_t> reply;
    Perform(
        url, verb, body,
        [&reply](const char* data, std::size_t size) {
            reply.insert(reply.end(), data, data + size);
            return true;
        },
        service);
    return reply;
}

__attribute__((weak)) void HttpsRequestToSink(const std::wstring& url, const std::wstring& verb,
                                              const std::string& body, const BodySink& sink,
                                              const ServiceEndpoint& service) {
    Perform(url, verb, body, sink, service);
}
