// standin: the game's web service, stood in for on this machine so the launcher can be run and
// shown without the real host. Serves a content folder over HTTPS with a local authority.
//
//   standin --root DIR --port N --cert-dir DIR [--bind ADDR] [--name HOST]... [--fault
//   PATH=KIND[:ARG]]... [--control-port N]
//   standin --certs-only --cert-dir DIR [--name HOST]...
//
// DIR/client/** is the game client (the manifest is built from it), DIR/latest.json the launcher
// release, DIR/status.json the server status and DIR/news.json the news. The authority is kept in
// the cert dir as ca.pem and ca-key.pem and reused on the next start, so a launcher built against
// ca.pem keeps trusting the service; the server certificate is issued afresh on every start.
// --certs-only writes that certificate and its key (server.pem, server-key.pem) and exits, for
// another server (nginx, scripts/run-nginx.sh) to present.
// SIGHUP reloads the folder; SIGINT or SIGTERM stops the service. With --control-port (0: a free
// one) test programs on 127.0.0.1 create and drive further services in this process (control.h);
// the folder's service is id 0 there.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/standin/control.h"
#include "tools/standin/service.h"

using namespace qs;

namespace {

namespace fs = std::filesystem;
using qs::test::Fault;

struct Arguments {
    fs::path root;
    fs::path certDir;
    int port = 8443;
    std::string bindAddress = "127.0.0.1";
    std::vector<std::string> names{"localhost"};
    std::vector<std::pair<std::string, Fault>> faults;
    std::optional<int> controlPort;
    fs::path signKey;  // PEM of an Ed25519 private key; empty: nothing signed
    bool certsOnly = false;
};

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr
        << "standin: " << problem << "\n"
        << "usage: standin --root DIR --port N --cert-dir DIR [--bind ADDR] [--name HOST]...\n"
        << "               [--fault PATH=KIND[:ARG]]... [--control-port N]\n"
        << "               [--sign-key PRIVATE_KEY_PEM]\n"
        << "       standin --certs-only --cert-dir DIR [--name HOST]...\n"
        << "  KIND: status:CODE, redirect:URL, truncate, wrong, drip:MS, stall, endless, notjson,\n"
        << "        ignorerange, wrongrange, slow:MS, limit:BYTES_PER_SECOND\n";
    std::exit(2);
}

Fault ParseFault(const std::string& text) {
    const auto colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string argument = colon == std::string::npos ? "" : text.substr(colon + 1);
    try {
        if (kind == "status")
            return Fault::replyStatus(std::stoi(argument));
        if (kind == "redirect")
            return Fault::redirect(argument);
        if (kind == "truncate")
            return Fault::truncate();
        if (kind == "wrong")
            return Fault::wrongBytes();
        if (kind == "drip")
            return Fault::drip(
                std::chrono::milliseconds(argument.empty() ? 200 : std::stoi(argument)));
        if (kind == "stall")
            return Fault::stall();
        if (kind == "endless")
            return Fault::endless();
        if (kind == "notjson")
            return Fault::notJson();
        if (kind == "ignorerange")
            return Fault::ignoreRange();
        if (kind == "wrongrange")
            return Fault::wrongRange();
        if (kind == "slow")
            return Fault::slow(std::chrono::milliseconds(std::stoi(argument)));
        if (kind == "limit")
            return Fault::limit(std::stoll(argument));
    } catch (const std::exception&) {
        Usage("bad fault argument: " + text);
    }
    Usage("unknown fault kind: " + kind);
}

Arguments Parse(int argc, char** argv) {
    Arguments arguments;
    bool namesGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(option + " needs a value");
            return argv[++i];
        };
        if (option == "--root") {
            arguments.root = value();
        } else if (option == "--cert-dir") {
            arguments.certDir = value();
        } else if (option == "--port") {
            const std::string text = value();
            try {
                arguments.port = std::stoi(text);
            } catch (const std::exception&) {
                Usage("bad port " + text);
            }
            if (arguments.port < 0 || arguments.port > 65535)
                Usage("bad port " + text);
        } else if (option == "--control-port") {
            const std::string text = value();
            try {
                arguments.controlPort = std::stoi(text);
            } catch (const std::exception&) {
                Usage("bad control port " + text);
            }
            if (*arguments.controlPort < 0 || *arguments.controlPort > 65535)
                Usage("bad control port " + text);
        } else if (option == "--sign-key") {
            arguments.signKey = value();
        } else if (option == "--bind") {
            arguments.bindAddress = value();
        } else if (option == "--name") {
            if (!namesGiven)
                arguments.names.clear();
            namesGiven = true;
            arguments.names.push_back(value());
        } else if (option == "--fault") {
            const std::string text = value();
            const auto equals = text.find('=');
            if (equals == std::string::npos || text.front() != '/')
                Usage("bad fault " + text);
            arguments.faults.emplace_back(text.substr(0, equals),
                                          ParseFault(text.substr(equals + 1)));
        } else if (option == "--certs-only") {
            arguments.certsOnly = true;
        } else if (option == "--help" || option == "-h") {
            Usage("help");
        } else {
            Usage("unknown option " + option);
        }
    }
    if (arguments.root.empty() && !arguments.certsOnly)
        Usage("--root is required");
    if (arguments.certDir.empty())
        Usage("--cert-dir is required");
    return arguments;
}

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& file, const std::string& text, bool secret) {
    const fs::path partial = file.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
            throw std::runtime_error("cannot write " + partial.string());
    }
    if (secret)
        ::chmod(partial.c_str(), 0600);
    fs::rename(partial, file);
}

// The authority from the cert dir, or a new one written there.
qs::test::TestAuthority LoadOrCreateAuthority(const fs::path& certDir) {
    fs::create_directories(certDir);
    const fs::path caFile = certDir / "ca.pem";
    const fs::path keyFile = certDir / "ca-key.pem";
    if (fs::is_regular_file(caFile) && fs::is_regular_file(keyFile))
        return qs::test::TestAuthority::fromPem({ReadFile(caFile), ReadFile(keyFile)});
    auto authority = qs::test::TestAuthority::create("Quillon Saga Stand-in Authority");
    WriteFile(keyFile, authority.material().keyPem, true);
    WriteFile(caFile, authority.caPem(), false);
    return authority;
}

std::mutex g_logMutex;

void LogRequest(const qs::test::RecordedRequest& request) {
    std::lock_guard lock(g_logMutex);
    std::cout << "standin: " << request.method << " " << request.target << " ("
              << request.header("User-Agent") << ")" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    const Arguments arguments = Parse(argc, argv);

    // Block the signals before any thread exists so only sigwait below receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        const auto authority = LoadOrCreateAuthority(arguments.certDir);
        qs::test::ServerNames names;
        names.dnsNames.clear();
        names.ipAddresses = {"127.0.0.1"};
        for (const auto& name : arguments.names) {
            const bool isAddress = name.find_first_not_of("0123456789.") == std::string::npos ||
                                   name.find(':') != std::string::npos;
            (isAddress ? names.ipAddresses : names.dnsNames).push_back(name);
        }
        const auto server = authority.issueServer(names);
        WriteFile(arguments.certDir / "server.pem", server.certPem, false);
        if (arguments.certsOnly) {
            WriteFile(arguments.certDir / "server-key.pem", server.keyPem, true);
            return 0;
        }

        qs::test::TestService::Options options;
        options.port = static_cast<std::uint16_t>(arguments.port);
        options.bindAddress = arguments.bindAddress;
        options.server = server;
        options.caPem = authority.caPem();
        options.onRequest = LogRequest;
        qs::test::TestService service(std::move(options));
        service.loadFolder(arguments.root);
        // Read again on every reload: a new key signs from then on.
        const auto loadSigningKey = [&] {
            if (arguments.signKey.empty())
                return;
            std::ifstream key(arguments.signKey, std::ios::binary);
            std::ostringstream pem;
            pem << key.rdbuf();
            if (!key)
                throw std::runtime_error("cannot read " + arguments.signKey.string());
            service.setSigningKey(pem.str());
        };
        loadSigningKey();
        for (const auto& [path, fault] : arguments.faults)
            service.setFault(path, fault);

        std::cout << "standin: serving " << fs::absolute(arguments.root).string() << " on https://"
                  << arguments.names.front() << ":" << service.port() << " (trust "
                  << fs::absolute(arguments.certDir / "ca.pem").string() << ")" << std::endl;
        std::unique_ptr<qs::test::ControlChannel> control;
        if (arguments.controlPort) {
            control = std::make_unique<qs::test::ControlChannel>(
                authority, &service, static_cast<std::uint16_t>(*arguments.controlPort));
            std::cout << "standin: control on http://127.0.0.1:" << control->port() << std::endl;
        }
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0)
                continue;
            if (received != SIGHUP)
                break;
            try {
                service.loadFolder(arguments.root);
                loadSigningKey();
                std::cout << "standin: reloaded " << arguments.root.string() << std::endl;
            } catch (const std::exception& error) {
                std::cerr << "standin: reload failed: " << error.what() << std::endl;
            }
        }
        std::cout << "standin: stopping" << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "standin: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
