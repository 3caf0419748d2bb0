// The plain value types of the stand-in (requests, faults), shared by the in-process service
// and the control-port client.
#include <algorithm>
#include <cctype>

#include "tools/standin/service.h"

namespace qs::test {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return Lower(a) == Lower(b);
}

}  // namespace

// Both kinds of service are made from their options, and reached the same way: by name, on their
// port, with their authority.
TestService::TestService() : TestService(Options{}) {}

TestService::TestService(Certificate certificate)
    : TestService([certificate] {
          Options options;
          options.certificate = certificate;
          return options;
      }()) {}

ServiceEndpoint TestService::endpoint() const {
    return ServiceEndpoint{"localhost", port(), caPem()};
}
std::wstring TestService::url(std::string_view path) const {
    return ServiceUrl(endpoint(), path);
}

bool RecordedRequest::hasHeader(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& header) { return EqualIgnoringCase(header.first, name); });
}

std::string RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (EqualIgnoringCase(key, name))
            return value;
    return {};
}

std::vector<std::string> RecordedRequest::headerNames() const {
    std::vector<std::string> names;
    for (const auto& header : headers)
        names.push_back(Lower(header.first));
    return names;
}

Fault Fault::replyStatus(int status, std::string body) {
    Fault fault;
    fault.kind = Kind::Status;
    fault.status = status;
    fault.body = std::move(body);
    return fault;
}
Fault Fault::redirect(std::string location, int status) {
    Fault fault;
    fault.kind = Kind::Redirect;
    fault.status = status;
    fault.location = std::move(location);
    return fault;
}
Fault Fault::truncate(long long sentBytes) {
    Fault fault;
    fault.kind = Kind::Truncate;
    fault.bytes = sentBytes;
    return fault;
}
Fault Fault::wrongBytes() {
    Fault fault;
    fault.kind = Kind::WrongBytes;
    return fault;
}
Fault Fault::drip(std::chrono::milliseconds interval, long long bytesPerTick) {
    Fault fault;
    fault.kind = Kind::Drip;
    fault.interval = interval;
    fault.bytes = std::max(1LL, bytesPerTick);
    return fault;
}
Fault Fault::stall() {
    Fault fault;
    fault.kind = Kind::Stall;
    fault.bytes = -1;
    return fault;
}
Fault Fault::stallAfter(long long sentBytes) {
    Fault fault;
    fault.kind = Kind::Stall;
    fault.bytes = std::max(0LL, sentBytes);
    return fault;
}
Fault Fault::endless() {
    Fault fault;
    fault.kind = Kind::Endless;
    return fault;
}
Fault Fault::notJson() {
    Fault fault;
    fault.kind = Kind::NotJson;
    return fault;
}
Fault Fault::ignoreRange() {
    Fault fault;
    fault.kind = Kind::IgnoreRange;
    return fault;
}
Fault Fault::wrongRange() {
    Fault fault;
    fault.kind = Kind::WrongRange;
    return fault;
}
Fault Fault::slow(std::chrono::milliseconds delay) {
    Fault fault;
    fault.kind = Kind::Slow;
    fault.interval = delay;
    return fault;
}
Fault Fault::limit(long long bytesPerSecond) {
    Fault fault;
    fault.kind = Kind::Limit;
    fault.bytes = std::max(1LL, bytesPerSecond);
    return fault;
}

}  // namespace qs::test
