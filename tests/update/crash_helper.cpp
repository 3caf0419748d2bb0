// Runs one update against the stand-in service, so a test can kill it at any moment.
// Usage: qs_update_crash_helper <port> <ca.pem> <client folder>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/wide_text.h"
#include "update/update_run.h"

using namespace qs;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <port> <ca.pem> <client folder>\n", argv[0]);
        return 2;
    }
    std::ifstream caFile(argv[2], std::ios::binary);
    UpdateEnvironment environment;
    environment.service.host = "localhost";
    environment.service.port = static_cast<std::uint16_t>(std::stoi(argv[1]));
    environment.service.caPem.assign(std::istreambuf_iterator<char>(caFile), {});
    UpdateResult result = RunClientUpdate(
        argv[3], [](const qs::UpdateProgress&) {}, environment);
    if (!result.ok)
        std::fprintf(stderr, "%s\n", WideToUtf8(result.message).c_str());
    return result.ok ? 0 : 1;
}
