#pragma once
// Ed25519 keys and signatures for signed updates, with OpenSSL. The private key stays with the
// publisher; builds of the launcher take only the public half (QS_UPDATE_PUBLIC_KEY).
#include <filesystem>
#include <string>

namespace qs::publish {

// Writes "update-key.pem" (the private key, owner-only) and "update-key.pub.pem" into `folder`
// and returns the public key as 64 hex digits. Refuses to overwrite an existing private key.
std::string GenerateSigningKey(const std::filesystem::path& folder);

// The public half of the Ed25519 private key in `privateKeyPem`, as 64 hex digits. Throws
// std::runtime_error for anything else.
std::string PublicKeyHex(const std::string& privateKeyPem);

// The signature of exactly `bytes` by the private key in `privateKeyPem`: 128 hex digits and a
// line end, as the launcher reads a signature file. Throws std::runtime_error when it cannot sign.
std::string SignatureText(const std::string& privateKeyPem, const std::string& bytes);

}  // namespace qs::publish
