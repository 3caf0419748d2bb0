// winhttp_probe: the request layer's WinHTTP transport against the stand-in service, run under
// Wine (or Windows). Each line is one exchange and its expected outcome; the exit code is the
// number of mismatches. tests/net/run-winhttp-probe.sh starts the services and runs it.
//
//   winhttp_probe.exe --port N [--ca FILE] [--wrong-ca FILE] [--other-name-port N] [--untrusted]
//
// --port: a stand-in for "localhost" started with the faults listed in run-winhttp-probe.sh.
// --ca: hand that authority to the requests (the service's own trust); without it the system
// store must trust the stand-in. --wrong-ca: an authority that did not sign the server, which must
// be refused. --other-name-port: a stand-in whose certificate names another host. --untrusted:
// only check that nothing is accepted while no store trusts the stand-in.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "update/https.h"
#include "update/text.h"

namespace {

constexpr char kUntrustedUpdateUrl[] = "Untrusted update URL configuration";
constexpr char kUntrustedLauncherUrl[] = "Untrusted launcher update URL";
constexpr char kPrepareFailed[] = "Unable to connect to update server";
constexpr char kRequestFailed[] = "HTTPS request failed";
constexpr char kStatusRefused[] = "Update server returned an error";
constexpr char kReadFailed[] = "HTTPS response read failed";

int g_failures = 0;

void Expect(const std::string& what, const std::string& outcome, const std::string& expected,
            std::chrono::steady_clock::duration elapsed) {
    const bool ok = outcome == expected;
    if (!ok)
        ++g_failures;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    std::printf("%s %-48s %6lld ms  %s%s%s\n", ok ? "PASS" : "FAIL", what.c_str(),
                static_cast<long long>(ms), outcome.substr(0, 60).c_str(),
                ok ? "" : "  expected: ", ok ? "" : expected.substr(0, 60).c_str());
    std::fflush(stdout);
}

// "ok:<body>" or the failure text; a body longer than 40 bytes shows as "ok:<N bytes>".
std::string Run(const std::function<std::vector<std::uint8_t>()>& request) {
    try {
        const auto bytes = request();
        if (bytes.size() > 40)
            return "ok:<" + std::to_string(bytes.size()) + " bytes>";
        return "ok:" + std::string(bytes.begin(), bytes.end());
    } catch (const std::runtime_error& error) {
        return error.what();
    }
}

std::string Live(const std::optional<std::string>& body) {
    if (!body)
        return "nullopt";
    if (body->size() > 40)
        return "body:<" + std::to_string(body->size()) + " bytes>";
    return "body:" + *body;
}

void Check(const std::string& what, const std::function<std::string()>& run,
           const std::string& expected) {
    const auto start = std::chrono::steady_clock::now();
    const std::string outcome = run();
    Expect(what, outcome, expected, std::chrono::steady_clock::now() - start);
}

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error(std::string("cannot read ") + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::wstring Url(const ServiceEndpoint& service, const std::string& path) {
    return ServiceUrl(service, path);
}

// The exchanges every run makes against the faulty stand-in.
void ExchangeTable(const ServiceEndpoint& service) {
    const std::string port = std::to_string(service.port);
    auto update = [&](const std::string& path, const wchar_t* verb = L"GET",
                      const std::string& body = {}) {
        return Run([&] { return HttpsRequest(Url(service, path), verb, body, service); });
    };
    auto launcher = [&](const std::string& path) {
        return Run([&] { return LauncherHttpsGet(Url(service, path), L"GET", service); });
    };
    auto live = [&](const std::string& path, std::size_t cap) {
        return Live(LiveHttpsGet(Url(service, path), cap, service));
    };

    // Success on all three profiles.
    Check(
        "update POST manifest",
        [&] { return update("/updater/updater.php", L"POST", "{}").substr(0, 3); }, "ok:");
    Check(
        "launcher GET latest.json",
        [&] { return launcher("/updater/launcher/latest.json").substr(0, 4); }, "ok:<");
    Check(
        "live GET status",
        [&] {
            const auto body = LiveHttpsGet(Url(service, "/status.php"), kStatusMaxBytes, service);
            return body && body->find("\"online\"") != std::string::npos ? "status object"
                                                                         : Live(body);
        },
        "status object");
    Check(
        "update 200 empty body", [&] { return update("/probe/empty"); }, "ok:");
    Check(
        "update host in capitals",
        [&] {
            return Run([&] {
                return HttpsRequest(Utf8ToWide("https://LocalHost:" + port + "/probe/empty"),
                                    L"GET", "", service);
            });
        },
        "ok:");

    // Trust: refused before any traffic.
    Check(
        "update http scheme",
        [&] {
            return Run([&] {
                return HttpsRequest(Utf8ToWide("http://localhost:" + port + "/status.php"), L"GET",
                                    "", service);
            });
        },
        kUntrustedUpdateUrl);
    Check(
        "launcher user info",
        [&] {
            return Run([&] {
                return LauncherHttpsGet(Utf8ToWide("https://evil@localhost:" + port + "/x"), L"GET",
                                        service);
            });
        },
        kUntrustedLauncherUrl);
    Check(
        "live other host",
        [&] {
            return Live(LiveHttpsGet(Utf8ToWide("https://127.0.0.1:" + port + "/status.php"),
                                     kStatusMaxBytes, service));
        },
        "nullopt");
    Check(
        "update verb not a token", [&] { return update("/status.php", L"GE T"); }, kPrepareFailed);

    // Status rule: only 200; no redirect followed.
    Check(
        "update 404", [&] { return update("/probe/404"); }, kStatusRefused);
    Check(
        "launcher 404", [&] { return launcher("/probe/404"); }, kStatusRefused);
    Check(
        "update 204", [&] { return update("/probe/204"); }, kStatusRefused);
    Check(
        "update 302 redirect", [&] { return update("/probe/redirect"); }, kStatusRefused);
    Check(
        "launcher 302 redirect", [&] { return launcher("/probe/redirect"); }, kStatusRefused);
    Check(
        "live 302 redirect not followed", [&] { return live("/probe/redirect", 1000); }, "body:");
    Check(
        "live 503 body used", [&] { return live("/probe/503", 1000).substr(0, 5); }, "body:");

    // Body failures.
    Check(
        "update truncated (Content-Length short)", [&] { return update("/probe/truncated"); },
        kReadFailed);
    Check(
        "launcher truncated", [&] { return launcher("/probe/truncated"); }, kReadFailed);
    Check(
        "live truncated", [&] { return live("/probe/truncated", 1000); }, "nullopt");
    Check(
        "update stall before reply", [&] { return update("/probe/stall"); }, kRequestFailed);
    Check(
        "live stall before reply", [&] { return live("/probe/stall", 1000); }, "nullopt");
    Check(
        "update drip under the low-speed limit", [&] { return update("/news.php"); }, kReadFailed);
    Check(
        "update endless body cut at 64 MiB",
        [&] { return update("/probe/endless", L"POST", "{}"); }, kReadFailed);
    Check(
        "live endless body cut at the status cap",
        [&] { return live("/probe/endless", kStatusMaxBytes); }, "nullopt");
    Check(
        "sink refusal",
        [&] {
            try {
                HttpsRequestToSink(
                    Url(service, "/status.php"), L"GET", "",
                    [](const char*, std::size_t) { return false; }, service);
                return std::string("no failure");
            } catch (const std::runtime_error& error) {
                return std::string(error.what());
            }
        },
        kReadFailed);
    Check(
        "sink exception travels",
        [&] {
            try {
                LauncherHttpsGetToSink(
                    Url(service, "/status.php"), L"GET",
                    [](const char*, std::size_t) -> bool { throw std::runtime_error("disk full"); },
                    service);
                return std::string("no failure");
            } catch (const std::runtime_error& error) {
                return std::string(error.what());
            }
        },
        "disk full");

    // One connection across requests, as an update run uses it.
    Check(
        "connection reused for three requests",
        [&] {
            HttpsConnection connection;
            std::string outcome;
            for (const char* path : {"/probe/empty", "/status.php", "/probe/404"}) {
                outcome +=
                    Run([&] {
                        return HttpsRequest(Url(service, path), L"GET", "", service, connection);
                    }).substr(0, 3) +
                    "|";
            }
            return outcome;
        },
        "ok:|ok:|Upd|");
}

}  // namespace

int main(int argc, char** argv) {
    ServiceEndpoint service{"localhost", 0, ""};
    std::string wrongCa;
    std::uint16_t otherNamePort = 0;
    bool untrusted = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--untrusted") {
            untrusted = true;
            continue;
        }
        ++i;
        if (option == "--port")
            service.port = static_cast<std::uint16_t>(std::stoi(value));
        else if (option == "--ca")
            service.caPem = ReadFile(value);
        else if (option == "--wrong-ca")
            wrongCa = ReadFile(value);
        else if (option == "--other-name-port")
            otherNamePort = static_cast<std::uint16_t>(std::stoi(value));
    }
    if (!service.port) {
        std::fprintf(stderr,
                     "usage: winhttp_probe --port N [--ca FILE] [--wrong-ca FILE] "
                     "[--other-name-port N]\n");
        return 100;
    }
    InitializeHttps();
    // Short limits, as in the Linux network tests, so stalls and drips end in seconds.
    UpdateTransferLimits() = TransferLimits{10000, 2, 1000, 0};
    LiveTransferLimits() = TransferLimits{5000, 2, 1000, 0};
    std::printf("winhttp_probe: localhost:%u, %s\n", service.port,
                service.caPem.empty() ? "system store" : "authority handed in (--ca)");

    if (untrusted) {
        // Nothing trusts the stand-in's authority: the handshake must fail.
        Check(
            "update, authority not trusted",
            [&] {
                return Run(
                    [&] { return HttpsRequest(Url(service, "/status.php"), L"GET", "", service); });
            },
            kRequestFailed);
        Check(
            "live, authority not trusted",
            [&] { return Live(LiveHttpsGet(Url(service, "/status.php"), 1000, service)); },
            "nullopt");
        std::printf("winhttp_probe: %d failure(s)\n", g_failures);
        return g_failures;
    }
    ExchangeTable(service);

    if (!wrongCa.empty()) {
        const ServiceEndpoint wrong{service.host, service.port, wrongCa};
        Check(
            "update, authority that did not sign",
            [&] {
                return Run(
                    [&] { return HttpsRequest(Url(wrong, "/status.php"), L"GET", "", wrong); });
            },
            kRequestFailed);
        Check(
            "live, authority that did not sign",
            [&] { return Live(LiveHttpsGet(Url(wrong, "/status.php"), 1000, wrong)); }, "nullopt");
    }
    if (otherNamePort) {
        const ServiceEndpoint other{service.host, otherNamePort, service.caPem};
        Check(
            "update, certificate for another name",
            [&] {
                return Run(
                    [&] { return HttpsRequest(Url(other, "/status.php"), L"GET", "", other); });
            },
            kRequestFailed);
        Check(
            "launcher, certificate for another name",
            [&] {
                return Run(
                    [&] { return LauncherHttpsGet(Url(other, "/status.php"), L"GET", other); });
            },
            kRequestFailed);
    }
    std::printf("winhttp_probe: %d failure(s)\n", g_failures);
    return g_failures;
}
