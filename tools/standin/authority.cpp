#include "tools/standin/authority.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace qs::test {
namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using CertPtr = std::unique_ptr<X509, CertDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

void Check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("test certificate: ") + what);
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string CertToPem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Check(bio && PEM_write_bio_X509(bio.get(), cert) == 1, "PEM_write_bio_X509");
    return BioText(bio.get());
}

std::string KeyToPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    Check(
        bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
    return BioText(bio.get());
}

CertPtr CertFromPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    CertPtr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    Check(cert != nullptr, "unreadable certificate PEM");
    return cert;
}

KeyPtr KeyFromPem(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    Check(key != nullptr, "unreadable key PEM");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    Check(ext != nullptr, "X509V3_EXT_conf_nid");
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    Check(added == 1, "X509_add_ext");
}

// A certificate for `subjectKey`, not yet signed; issuer null means self-issued.
CertPtr NewCertificate(EVP_PKEY* subjectKey, const std::string& commonName, X509* issuer) {
    CertPtr cert(X509_new());
    Check(cert != nullptr, "X509_new");
    Check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
    unsigned char serialBytes[16];
    Check(RAND_bytes(serialBytes, sizeof serialBytes) == 1, "RAND_bytes");
    serialBytes[0] &= 0x7f;  // positive
    BIGNUM* serial = BN_bin2bn(serialBytes, sizeof serialBytes, nullptr);
    Check(serial && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get())), "serial");
    BN_free(serial);
    Check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "notBefore");
    Check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) != nullptr,
          "notAfter");
    Check(X509_set_pubkey(cert.get(), subjectKey) == 1, "X509_set_pubkey");
    X509_NAME* subject = X509_get_subject_name(cert.get());
    Check(X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("Quillon Saga test"),
                                     -1, -1, 0) == 1,
          "subject O");
    Check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0) == 1,
          "subject CN");
    Check(X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject) == 1,
          "issuer");
    return cert;
}

KeyPtr NewKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "EVP_EC_gen");
    return key;
}

}  // namespace

TestAuthority TestAuthority::create(const std::string& commonName) {
    KeyPtr key = NewKey();
    CertPtr cert = NewCertificate(key.get(), commonName, nullptr);
    AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), cert.get(), NID_authority_key_identifier, "keyid:always");
    Check(X509_sign(cert.get(), key.get(), EVP_sha256()) > 0, "X509_sign");
    return TestAuthority({CertToPem(cert.get()), KeyToPem(key.get())});
}

TestAuthority TestAuthority::fromPem(const CertificateAndKey& authority) {
    CertFromPem(authority.certPem);
    KeyFromPem(authority.keyPem);
    return TestAuthority(authority);
}

const TestAuthority& TestAuthority::shared() {
    static const TestAuthority authority = create("Quillon Saga Test Authority");
    return authority;
}

CertificateAndKey TestAuthority::issueServer(const ServerNames& names) const {
    CertPtr issuer = CertFromPem(authority_.certPem);
    KeyPtr issuerKey = KeyFromPem(authority_.keyPem);
    KeyPtr key = NewKey();
    const std::string commonName = !names.dnsNames.empty()      ? names.dnsNames.front()
                                   : !names.ipAddresses.empty() ? names.ipAddresses.front()
                                                                : "server";
    CertPtr cert = NewCertificate(key.get(), commonName, issuer.get());
    std::string altNames;
    for (const auto& dns : names.dnsNames)
        altNames += (altNames.empty() ? "DNS:" : ",DNS:") + dns;
    for (const auto& ip : names.ipAddresses)
        altNames += (altNames.empty() ? "IP:" : ",IP:") + ip;
    AddExtension(cert.get(), issuer.get(), NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), issuer.get(), NID_key_usage,
                 "critical,digitalSignature,keyEncipherment");
    AddExtension(cert.get(), issuer.get(), NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), issuer.get(), NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), issuer.get(), NID_authority_key_identifier, "keyid:always");
    if (!altNames.empty())
        AddExtension(cert.get(), issuer.get(), NID_subject_alt_name, altNames);
    Check(X509_sign(cert.get(), issuerKey.get(), EVP_sha256()) > 0, "X509_sign");
    return {CertToPem(cert.get()), KeyToPem(key.get())};
}

}  // namespace qs::test
