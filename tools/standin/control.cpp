#include "tools/standin/control.h"

#include <httplib.h>

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "tools/standin/wire.h"

namespace qs::test {

using nlohmann::json;

struct ControlChannel::Impl {
    const TestAuthority& authority;
    TestService* main = nullptr;
    httplib::Server server;
    std::thread thread;
    std::uint16_t port = 0;

    std::mutex mutex;
    std::map<long long, std::shared_ptr<TestService>> services;
    long long nextId = 1;
    std::unique_ptr<TestAuthority> stranger;  // issues the certificates nobody trusts

    Impl(const TestAuthority& issuer, TestService* folderService)
        : authority(issuer), main(folderService) {}

    std::shared_ptr<TestService> find(const json& command) {
        const long long id = command.at("id").get<long long>();
        std::lock_guard lock(mutex);
        if (id == 0 && main)
            return std::shared_ptr<TestService>(main, [](TestService*) {});
        const auto found = services.find(id);
        if (found == services.end())
            throw std::invalid_argument("no service " + std::to_string(id));
        return found->second;
    }

    json create(const json& command) {
        const std::string kind = command.value("certificate", "trusted");
        TestService::Options options;
        options.caPem = authority.caPem();
        if (kind == "trusted") {
            options.server = authority.issueServer();
        } else if (kind == "othername") {
            options.server = authority.issueServer(ServerNames{{"other.example"}, {}});
        } else if (kind == "untrusted") {
            std::lock_guard lock(mutex);
            if (!stranger)
                stranger = std::make_unique<TestAuthority>(
                    TestAuthority::create("Quillon Saga Untrusted Authority"));
            options.server = stranger->issueServer();
        } else {
            throw std::invalid_argument("unknown certificate " + kind);
        }
        auto service = std::make_shared<TestService>(std::move(options));
        std::lock_guard lock(mutex);
        const long long id = nextId++;
        services[id] = service;
        return {{"id", id}, {"port", service->port()}, {"caPem", authority.caPem()}};
    }

    json run(const json& command) {
        const std::string op = command.at("op").get<std::string>();
        const auto text = [&](const char* name) { return command.at(name).get<std::string>(); };
        const auto bytes = [&](const char* name) { return wire::FromHex(text(name)); };
        if (op == "create")
            return create(command);
        if (op == "authority")
            return {{"caPem", authority.caPem()}};
        if (op == "destroy") {
            std::shared_ptr<TestService> service;
            {
                std::lock_guard lock(mutex);
                const auto found = services.find(command.at("id").get<long long>());
                if (found != services.end()) {
                    service = std::move(found->second);
                    services.erase(found);
                }
            }
            return json::object();  // the service stops here, outside the lock
        }
        const auto service = find(command);
        if (op == "setFile") {
            service->setFile(text("path"), bytes("bytes"));
        } else if (op == "removeFile") {
            service->removeFile(text("path"));
        } else if (op == "clearFiles") {
            service->clearFiles();
        } else if (op == "setManifestJson") {
            if (command.at("json").is_null())
                service->setManifestJson(std::nullopt);
            else
                service->setManifestJson(bytes("json"));
        } else if (op == "setObjectsNamed") {
            service->setObjectsNamed(command.at("named").get<bool>());
        } else if (op == "setMirrors") {
            service->setMirrors(command.at("urls").get<std::vector<std::string>>());
        } else if (op == "filePath") {
            return {{"path", service->filePath(text("path"))}};
        } else if (op == "manifestJson") {
            return {{"json", wire::ToHex(service->manifestJson())}};
        } else if (op == "setResource") {
            service->setResource(text("path"), bytes("bytes"), text("contentType"));
        } else if (op == "setFault") {
            service->setFault(text("path"), wire::FaultFromJson(command.at("fault")));
        } else if (op == "clearFault") {
            service->clearFault(text("path"));
        } else if (op == "setReply") {
            service->setReply(text("path"), wire::ReplyFromJson(command.at("reply")));
        } else if (op == "clearHandler") {
            service->clearHandler(text("path"));
        } else if (op == "clearFaultsAndHandlers") {
            service->clearFaultsAndHandlers();
        } else if (op == "requests") {
            json list = json::array();
            for (const auto& request : service->requests())
                list.push_back(wire::RequestToJson(request));
            return {{"requests", list}, {"port", service->port()}};
        } else if (op == "clearRequests") {
            service->clearRequests();
        } else if (op == "peakRequestsInFlight") {
            return {{"peak", service->peakRequestsInFlight()}};
        } else {
            throw std::invalid_argument("unknown op " + op);
        }
        return json::object();
    }
};

ControlChannel::ControlChannel(const TestAuthority& authority, TestService* main,
                               std::uint16_t port, const std::string& bindAddress)
    : impl_(std::make_unique<Impl>(authority, main)) {
    Impl* impl = impl_.get();
    impl->server.set_payload_max_length(256u << 20);
    impl->server.Post("/control", [impl](const httplib::Request& request,
                                         httplib::Response& response) {
        try {
            response.set_content(impl->run(json::parse(request.body)).dump(), "application/json");
        } catch (const std::exception& error) {
            response.status = 400;
            response.set_content(
                json{{"error", error.what()}}.dump(-1, ' ', false, json::error_handler_t::replace),
                "application/json");
        }
    });
    if (port == 0) {
        const int bound = impl->server.bind_to_any_port(bindAddress);
        if (bound <= 0)
            throw std::runtime_error("control: cannot bind " + bindAddress);
        impl->port = static_cast<std::uint16_t>(bound);
    } else {
        if (!impl->server.bind_to_port(bindAddress, port))
            throw std::runtime_error("control: cannot bind " + bindAddress + ":" +
                                     std::to_string(port));
        impl->port = port;
    }
    impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
    while (!impl->server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ControlChannel::~ControlChannel() {
    impl_->server.stop();
    if (impl_->thread.joinable())
        impl_->thread.join();
    std::lock_guard lock(impl_->mutex);
    impl_->services.clear();
}

std::uint16_t ControlChannel::port() const {
    return impl_->port;
}

}  // namespace qs::test
