#include "web_servers.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "scratch.h"
#include "tools/standin/authority.h"
#include "tools/standin/service.h"

namespace qs::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string Template(const std::string& relative) {
    return ReadFile(fs::path(QS_DEPLOY_DIR) / relative);
}

// Starts `program` with `arguments`, its output in `output`, and waits until `ready`; -1 when it
// exited first (a port taken meanwhile: the caller tries another) or never got ready.
pid_t StartServer(const fs::path& program, const std::vector<std::string>& arguments,
                  const fs::path& output, const std::function<bool()>& ready) {
    // Nothing is allocated in the child.
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::string programText = program.string(), outputText = output.string();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that crashed
        const int out = ::open(outputText.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(programText.c_str(), argv.data());
        ::_exit(127);
    }
    for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(20ms)) {
        if (::waitpid(child, nullptr, WNOHANG) == child)
            return -1;
        if (ready())
            return child;
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
}

void StopServer(pid_t pid) {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }
}

}  // namespace

fs::path FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin:/sbin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((fs::path(folder) / name).c_str(), X_OK) == 0)
            return fs::path(folder) / name;
    return {};
}

std::string Replace(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [key, value] : values)
        for (std::size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, key.size(), value);
    return text;
}

std::string TreeServerBlock(const fs::path& root) {
    return Replace(Template("nginx/quillon.conf"),
                   {{"@SERVER_NAME@", "localhost"}, {"@ROOT@", root.string()}});
}

std::string EdgeServerBlock(std::uint16_t cachePort) {
    return Replace(
        Template("varnish/edge.conf"),
        {{"@SERVER_NAME@", "localhost"}, {"@CACHE@", "127.0.0.1:" + std::to_string(cachePort)}});
}

Nginx::Nginx(const fs::path& prefix, const std::string& serverBlock, const std::string& listenKey)
    : prefix_(prefix) {
    const fs::path program = FindProgram("nginx");
    if (program.empty())
        throw std::runtime_error("nginx is not installed (scripts/setup-deps.sh installs it)");
    fs::create_directories(prefix / "tmp");
    const auto server = TestAuthority::shared().issueServer();
    WriteFile(prefix / "cert.pem", server.certPem);
    WriteFile(prefix / "key.pem", server.keyPem);
    WriteFile(prefix / "nginx.conf", Template("nginx/standalone.conf"));
    // A root master would hand the workers to "nobody", who cannot read a private folder.
    const std::string global = ::geteuid() == 0 ? "daemon off; user root;" : "daemon off;";
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
        port_ = UnusedPort();
        WriteFile(prefix / "quillon-server.conf",
                  Replace(serverBlock, {{listenKey, "127.0.0.1:" + std::to_string(port_)},
                                        {"@CERT@", (prefix / "cert.pem").string()},
                                        {"@KEY@", (prefix / "key.pem").string()}}));
        fs::remove(prefix / "nginx.pid");
        pid_ = StartServer(program,
                           {"nginx", "-p", prefix.string() + "/", "-c",
                            (prefix / "nginx.conf").string(), "-g", global},
                           prefix / "nginx.out",
                           [&] { return fs::exists(prefix / "nginx.pid"); });  // once it listens
    }
    if (pid_ <= 0)
        throw std::runtime_error("nginx did not start: " + ReadFile(prefix / "nginx.out"));
}

Nginx::~Nginx() {
    stop();
}
void Nginx::stop() {
    StopServer(pid_);
    pid_ = -1;
}

ServiceEndpoint Nginx::endpoint() const {
    return {"localhost", port_, TestAuthority::shared().caPem()};
}

std::vector<std::string> Nginx::log() const {
    std::string text = ReadFile(prefix_ / "access.log"), previous;
    for (int i = 0; i < 50 && text != previous; ++i) {
        previous = text;
        std::this_thread::sleep_for(100ms);
        text = ReadFile(prefix_ / "access.log");
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Varnish::Varnish(const fs::path& folder, std::uint16_t originPort) {
    const fs::path program = FindProgram("varnishd");
    if (program.empty())
        throw std::runtime_error("varnishd is not installed (scripts/setup-deps.sh installs it)");
    fs::create_directories(folder);
    const fs::path vcl = fs::absolute(folder / "quillon.vcl");
    WriteFile(vcl, Replace(Template("varnish/quillon.vcl"),
                           {{"@ORIGIN_HOST@", "127.0.0.1"},
                            {"@ORIGIN_PORT@", std::to_string(originPort)}}));
    for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
        port_ = UnusedPort();
        // -j none: as root the default jail wants a "varnish" user; this runs as the caller.
        pid_ = StartServer(
            program,
            {"varnishd", "-F", "-j", "none", "-n", fs::absolute(folder / "work").string(), "-a",
             "127.0.0.1:" + std::to_string(port_), "-f", vcl.string(), "-s", "malloc,256m"},
            folder / "varnishd.out", [&] { return PortListening(port_); });
    }
    if (pid_ <= 0)
        throw std::runtime_error("varnishd did not start: " + ReadFile(folder / "varnishd.out"));
}

Varnish::~Varnish() {
    StopServer(pid_);
}

CacheTier::CacheTier(const fs::path& folder, const fs::path& root)
    : origin(folder / "origin", TreeServerBlock(root), kOriginListen),
      cache(folder / "varnish", origin.port()),
      edge(folder / "edge", EdgeServerBlock(cache.port())) {}

LoggedRequest ParseLogLine(const std::string& line) {
    std::istringstream in(line);
    LoggedRequest request;
    std::string protocol;
    in >> request.method >> request.path >> protocol >> request.status >> request.range >>
        request.bytes;
    for (std::size_t at; (at = request.path.find("%20")) != std::string::npos;)
        request.path.replace(at, 3, " ");
    if (request.range.size() >= 2)
        request.range = request.range.substr(1, request.range.size() - 2);
    return request;
}

std::vector<LoggedRequest> ParseLog(const std::vector<std::string>& lines, std::size_t from) {
    std::vector<LoggedRequest> requests;
    for (std::size_t i = from; i < lines.size(); ++i)
        requests.push_back(ParseLogLine(lines[i]));
    return requests;
}

std::string LocalUrl(std::uint16_t port) {
    return "https://localhost:" + std::to_string(port);
}

WebReply Exchange(const std::string& url, const std::string& method,
                  const std::vector<std::string>& headers) {
    WebReply reply;
    CURL* curl = curl_easy_init();
    const std::string ca = TestAuthority::shared().caPem();
    curl_blob blob{const_cast<char*>(ca.data()), ca.size(), CURL_BLOB_COPY};
    curl_slist* list = nullptr;
    for (const std::string& header : headers)
        list = curl_slist_append(list, header.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    if (method == "HEAD")
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    else if (method == "POST")
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{}");
    else
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    using Write = size_t (*)(char*, size_t, size_t, void*);
    Write body = [](char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
    };
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
        for (const char* name : {"content-type", "cache-control", "etag", "last-modified",
                                 "content-encoding", "content-range"})
            if (curl_header * found;
                curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &found) == CURLHE_OK)
                reply.headers[name] = found->value;
    }
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return reply;
}

}  // namespace qs::test
