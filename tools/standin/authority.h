#pragma once
// Certificates for local HTTPS: a test certificate authority and the server certificates it
// issues, made in process with OpenSSL so the launcher's trust checks stay fully on in tests.
#include <memory>
#include <string>
#include <vector>

namespace qs::test {

// A certificate with its private key, both PEM.
struct CertificateAndKey {
    std::string certPem;
    std::string keyPem;
};

// Names a server certificate is issued for (subject alternative names).
struct ServerNames {
    std::vector<std::string> dnsNames{"localhost"};
    std::vector<std::string> ipAddresses{"127.0.0.1"};
};

class TestAuthority {
public:
    // A fresh authority with its own key (P-256); commonName goes into its subject.
    static TestAuthority create(const std::string& commonName);
    // An authority from PEM files written by save(); throws std::runtime_error when unreadable.
    static TestAuthority fromPem(const CertificateAndKey& authority);

    // The one authority every TestService of this process trusts by default.
    static const TestAuthority& shared();

    const std::string& caPem() const { return authority_.certPem; }
    const CertificateAndKey& material() const { return authority_; }

    // A server certificate for `names`, signed by this authority, valid from an hour ago for ten
    // years.
    CertificateAndKey issueServer(const ServerNames& names = {}) const;

private:
    explicit TestAuthority(CertificateAndKey authority) : authority_(std::move(authority)) {}
    CertificateAndKey authority_;
};

}  // namespace qs::test
