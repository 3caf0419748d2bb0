#pragma once
// Ed25519 signature verification (RFC 8032) with the platform's crypto library: OpenSSL on
// Linux, libgcrypt (linked statically) on Windows, whose CNG has no Ed25519.
#include <array>
#include <cstdint>
#include <string_view>

namespace qs {

using Ed25519PublicKey = std::array<std::uint8_t, 32>;
using Ed25519Signature = std::array<std::uint8_t, 64>;

// True only when `signature` is a valid signature of exactly `message` by `publicKey`.
bool VerifyEd25519(const Ed25519PublicKey& publicKey, std::string_view message,
                   const Ed25519Signature& signature);

}  // namespace qs
