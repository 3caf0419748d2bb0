#include "platform/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace qs {

struct Sha256Stream::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (!state_->context || EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 initialization failed");
}

Sha256Stream::~Sha256Stream() = default;
Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;

void Sha256Stream::update(const void* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(state_->context, data, size) != 1)
        throw std::runtime_error("SHA-256 read failed");
}

namespace {

std::wstring Finish(EVP_MD_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1 || length != 32)
        throw std::runtime_error("SHA-256 finalization failed");
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(kHex[digest[i] >> 4]);
        text.push_back(kHex[digest[i] & 0x0F]);
    }
    return text;
}

}  // namespace

std::wstring Sha256Stream::finish() {
    return Finish(state_->context);
}

std::wstring Sha256Stream::peek() const {
    State copy;
    copy.context = EVP_MD_CTX_new();
    if (!copy.context || EVP_MD_CTX_copy_ex(copy.context, state_->context) != 1)
        throw std::runtime_error("SHA-256 finalization failed");
    return Finish(copy.context);
}

}  // namespace qs
