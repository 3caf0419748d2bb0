// Peak memory of parsing the worst replies at their size caps, each in a forked child so the
// figures are the parse's alone (fork: Linux only).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "live/news_feed.h"
#include "live/status_poller.h"
#include "net/https.h"
#include "scratch.h"
#include "update/update_run.h"

using namespace qs;

namespace {

bool UnderAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

struct ChildRun {
    bool accepted = false;  // `work` returned true
    long growthKiB = -1;    // peak resident memory above the child's start
};

// Runs `work` in a child. A parse that runs away fails on an address-space limit rather than
// taking the machine's memory (the sanitizer's shadow mappings rule the limit out there).
ChildRun RunInChild(const std::function<bool()>& work) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        if (!UnderAddressSanitizer()) {
            const rlim_t limit = static_cast<rlim_t>(StatusKiB("VmSize:") + (1l << 20)) << 10;
            const rlimit addressSpace{limit, limit};
            setrlimit(RLIMIT_AS, &addressSpace);
        }
        const long start = StatusKiB("VmRSS:");
        bool accepted = false;
        try {
            accepted = work();
        } catch (...) {
        }
        const long report[2] = {accepted ? 1 : 0, StatusKiB("VmHWM:") - start};
        const bool sent = write(pipeEnds[1], report, sizeof report) == sizeof report;
        _exit(sent ? 0 : 1);
    }
    close(pipeEnds[1]);
    long report[2] = {0, -1};
    const bool received = child > 0 && read(pipeEnds[0], report, sizeof report) == sizeof report;
    close(pipeEnds[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return {report[0] == 1, report[1]};
}

TEST(ReplyMemory, WorstRepliesAtTheirCapsStaySmall) {
    constexpr long kBoundKiB = 64l << 10;
    TempFolder client;
    std::string wideNews = "[0";
    while (wideNews.size() + 3 <= kNewsMaxBytes)
        wideNews += ",0";
    wideNews += "]";
    std::string wideManifest = "{\"files\":{";
    for (std::size_t i = 0; wideManifest.size() + 16 <= kManifestMaxBytes; ++i)
        wideManifest += "\"" + std::to_string(i) + "\":\"\",";
    wideManifest += "\"x\":\"\"}}";
    struct Case {
        const char* name;
        std::string reply;
        std::function<bool(const std::string&)> parse;  // true: read as it should be
    };
    const Case cases[] = {
        {"manifest of brackets", std::string(kManifestMaxBytes, '['),
         [&](const std::string& reply) {
             return ErrorOf([&] { PlanClientUpdate(client.path(), reply); }) ==
                    "JSON reply is nested too deeply";
         }},
        {"manifest of tiny members", wideManifest,
         [&](const std::string& reply) {
             return ErrorOf([&] { PlanClientUpdate(client.path(), reply); }) ==
                    "JSON reply has too many values";
         }},
        {"news of brackets", std::string(kNewsMaxBytes, '['),
         [](const std::string& reply) { return !ParseNewsItems(reply).has_value(); }},
        {"news of two million zeros", wideNews,
         [](const std::string& reply) {
             auto items = ParseNewsItems(reply);
             return items && !items->empty() && items->size() <= 1000;
         }},
        {"status of brackets", std::string(kStatusMaxBytes, '['),
         [](const std::string& reply) { return !ParseServerStatus(reply).online; }},
    };
    for (const Case& c : cases) {
        const ChildRun run = RunInChild([&] { return c.parse(c.reply); });
        EXPECT_TRUE(run.accepted) << c.name;
        EXPECT_GE(run.growthKiB, 0) << c.name;
        EXPECT_LT(run.growthKiB, kBoundKiB) << c.name;
    }
}

}  // namespace
