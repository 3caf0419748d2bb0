// The signature file comes from the server and the public key text is built in. A signature or
// hex key is taken only as exactly its hex digits between blanks and line ends; what the
// publisher writes (OpenSSL's PEM of the key, the signature's hex and a line end) reads back as
// written; and a signature passes only for the exact body it was made for.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/chunker.h"
#include "update/update_signature.h"

using namespace qs;

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::string Hex(const std::uint8_t* bytes, std::size_t size, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        text.append({digits[bytes[i] >> 4], digits[bytes[i] & 15]});
    return text;
}

// Exactly 2N hex digits once blanks and line ends are trimmed from both ends.
template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> ReferenceHex(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (text.size() != 2 * N)
        return std::nullopt;
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < 2 * N; ++i) {
        const char c = text[i];
        const int value = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (value < 0)
            return std::nullopt;
        bytes[i / 2] = static_cast<std::uint8_t>(bytes[i / 2] << 4 | value);
    }
    return bytes;
}

std::string PemOf(const Ed25519PublicKey& raw) {
    const Key key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size()),
                  &EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), &BIO_free);
    if (!key || !out || PEM_write_bio_PUBKEY(out.get(), key.get()) != 1)
        std::abort();
    char* text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    return std::string(text, static_cast<std::size_t>(length));
}

// The publisher's key pair, made once.
struct Signer {
    Key key{nullptr, &EVP_PKEY_free};
    std::string publicPem;
    Signer() {
        EVP_PKEY* made = nullptr;
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
            EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr), &EVP_PKEY_CTX_free);
        if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
            EVP_PKEY_keygen(context.get(), &made) != 1)
            std::abort();
        key.reset(made);
        Ed25519PublicKey raw{};
        std::size_t length = raw.size();
        if (EVP_PKEY_get_raw_public_key(key.get(), raw.data(), &length) != 1)
            std::abort();
        publicPem = PemOf(raw);
    }
    std::string sign(std::string_view body) const {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
        std::uint8_t signature[64];
        std::size_t length = sizeof signature;
        if (!context ||
            EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
            EVP_DigestSign(context.get(), signature, &length,
                           reinterpret_cast<const unsigned char*>(body.data()), body.size()) != 1)
            std::abort();
        return Hex(signature, length, false) + "\n";
    }
};

// Up to three texts separated by zero bytes: key, signature, body.
std::vector<std::string_view> Parts(std::string_view input) {
    std::vector<std::string_view> parts;
    while (parts.size() < 2) {
        const std::size_t zero = input.find('\0');
        if (zero == std::string_view::npos)
            break;
        parts.push_back(input.substr(0, zero));
        input.remove_prefix(zero + 1);
    }
    parts.push_back(input);
    parts.resize(3);
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Signer signer;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> parts = Parts(input);
    const std::string_view keyText = parts[0], signatureText = parts[1], body = parts[2];

    if (ParseSignatureText(signatureText) != ReferenceHex<64>(signatureText))
        std::abort();
    const std::optional<Ed25519PublicKey> key = ParseUpdatePublicKey(keyText);
    if (keyText.find("-----BEGIN PUBLIC KEY-----") == std::string_view::npos &&
        key != ReferenceHex<32>(keyText))
        std::abort();
    const bool valid = SignatureValid(keyText, body, signatureText);
    if (valid && (!key || !ParseSignatureText(signatureText)))
        std::abort();

    // What the publisher writes, from bytes of the input.
    const Digest digest = DigestOfBytes(input);
    Ed25519PublicKey raw{};
    std::copy(digest.begin(), digest.end(), raw.begin());
    Ed25519Signature signature{};
    for (std::size_t i = 0; i < signature.size(); ++i)
        signature[i] = digest[i % digest.size()] ^ static_cast<std::uint8_t>(i);
    if (ParseUpdatePublicKey(PemOf(raw)) != raw ||
        ParseUpdatePublicKey(Hex(raw.data(), raw.size(), true)) != raw ||
        ParseSignatureText(Hex(signature.data(), signature.size(), false) + "\n") != signature)
        std::abort();

    // A real signature of the body passes, and of nothing else.
    const std::string made = signer.sign(body);
    if (!SignatureValid(signer.publicPem, body, made) ||
        SignatureValid(signer.publicPem, std::string(body) + "x", made) ||
        (!body.empty() && SignatureValid(signer.publicPem, body.substr(1), made)))
        std::abort();
    if (!signatureText.empty() && signatureText != made &&
        ReferenceHex<64>(signatureText) != ReferenceHex<64>(made) &&
        SignatureValid(signer.publicPem, body, signatureText))
        std::abort();
    return 0;
}
