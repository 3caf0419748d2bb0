#include "platform/signature.h"

#include <gcrypt.h>

#include <mutex>

namespace qs {

namespace {

bool Ready() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        ready = gcry_check_version(GCRYPT_VERSION) != nullptr;
        // Verification handles public values only: no secure memory is needed.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    });
    return ready;
}

struct Expression {
    gcry_sexp_t value = nullptr;
    ~Expression() { gcry_sexp_release(value); }
};

}  // namespace

bool VerifyEd25519(const Ed25519PublicKey& publicKey, std::string_view message,
                   const Ed25519Signature& signature) {
    if (!Ready())
        return false;
    Expression key, sig, data;
    if (gcry_sexp_build(&key.value, nullptr,
                        "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                        static_cast<int>(publicKey.size()), publicKey.data()) ||
        gcry_sexp_build(&sig.value, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32,
                        signature.data(), 32, signature.data() + 32) ||
        gcry_sexp_build(&data.value, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                        static_cast<int>(message.size()), message.data()))
        return false;
    return gcry_pk_verify(sig.value, data.value, key.value) == 0;
}

}  // namespace qs
