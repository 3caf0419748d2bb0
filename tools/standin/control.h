#pragma once
// A plain-HTTP control port for the stand-in process: test programs that cannot link the
// service (the Windows build under Wine) create services in this process and drive them with
// the same calls as TestService. One JSON command per POST /control; see control.cpp.
#include <cstdint>
#include <memory>
#include <string>

#include "tools/standin/authority.h"
#include "tools/standin/service.h"

namespace qs::test {

class ControlChannel {
public:
    // Listens on bindAddress:port (0: a free port). Services it creates present certificates of
    // `authority`; `main`, when given, is reachable as service id 0 and is not owned.
    ControlChannel(const TestAuthority& authority, TestService* main, std::uint16_t port,
                   const std::string& bindAddress = "127.0.0.1");
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    std::uint16_t port() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qs::test
