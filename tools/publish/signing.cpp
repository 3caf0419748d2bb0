#include "tools/publish/signing.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace qs::publish {
namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return text;
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string PublicHex(EVP_PKEY* key) {
    unsigned char publicKey[32];
    std::size_t length = sizeof publicKey;
    if (EVP_PKEY_get_raw_public_key(key, publicKey, &length) != 1)
        throw std::runtime_error("cannot read the public half of the key");
    return Hex(publicKey, length);
}

// The Ed25519 private key in `pem`; null for anything else.
Key ReadPrivateKey(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr,
            &EVP_PKEY_free);
    if (key && EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
    return key;
}

}  // namespace

std::string GenerateSigningKey(const std::filesystem::path& folder) {
    const std::filesystem::path privateFile = folder / "update-key.pem";
    if (std::filesystem::exists(privateFile))
        throw std::runtime_error(privateFile.string() + " exists; a key is never overwritten");
    std::filesystem::create_directories(folder);
    EVP_PKEY* raw = nullptr;
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_keygen(context.get(), &raw) != 1)
        throw std::runtime_error("cannot make an Ed25519 key");
    Key key(raw, &EVP_PKEY_free);
    // Owner-only from the start: the key is never readable by anyone else, not even briefly.
    const mode_t previous = umask(077);
    std::unique_ptr<FILE, decltype(&std::fclose)> out(std::fopen(privateFile.c_str(), "wx"),
                                                      &std::fclose);
    umask(previous);
    if (!out ||
        PEM_write_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error("cannot write " + privateFile.string());
    std::unique_ptr<FILE, decltype(&std::fclose)> pub(
        std::fopen((folder / "update-key.pub.pem").c_str(), "w"), &std::fclose);
    if (!pub || PEM_write_PUBKEY(pub.get(), key.get()) != 1)
        throw std::runtime_error("cannot write the public key");
    return PublicHex(key.get());
}

std::string PublicKeyHex(const std::string& privateKeyPem) {
    const Key key = ReadPrivateKey(privateKeyPem);
    if (!key)
        throw std::runtime_error("not an Ed25519 private key in PEM");
    return PublicHex(key.get());
}

std::string SignatureText(const std::string& privateKeyPem, const std::string& bytes) {
    const Key key = ReadPrivateKey(privateKeyPem);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    if (!key || !context ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1)
        throw std::runtime_error("cannot sign with that key (an Ed25519 private key in PEM)");
    return Hex(signature, length) + "\n";
}

}  // namespace qs::publish
