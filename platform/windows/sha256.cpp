#include "platform/sha256.h"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace qs {

namespace {

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

// Both handles are released on every path, the failed ones included.
struct Sha256Stream::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    DWORD digestLength = 0;
    ~State() {
        if (hash)
            BCryptDestroyHash(hash);
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
    ULONG got = 0;
    if (!Succeeded(
            BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !Succeeded(BCryptGetProperty(state_->algorithm, BCRYPT_HASH_LENGTH,
                                     reinterpret_cast<PUCHAR>(&state_->digestLength),
                                     sizeof state_->digestLength, &got, 0)) ||
        got != sizeof state_->digestLength || state_->digestLength != 32 ||
        !Succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0)))
        throw std::runtime_error("SHA-256 initialization failed");
}

Sha256Stream::~Sha256Stream() = default;
Sha256Stream::Sha256Stream(Sha256Stream&&) noexcept = default;
Sha256Stream& Sha256Stream::operator=(Sha256Stream&&) noexcept = default;

void Sha256Stream::update(const void* data, std::size_t size) {
    auto bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    // BCryptHashData takes a 32-bit length.
    while (size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        if (!Succeeded(BCryptHashData(state_->hash, bytes, piece, 0)))
            throw std::runtime_error("SHA-256 read failed");
        bytes += piece;
        size -= piece;
    }
}

namespace {

std::wstring Finish(BCRYPT_HASH_HANDLE hash, DWORD digestLength) {
    std::vector<UCHAR> digest(digestLength, 0);
    if (!Succeeded(BCryptFinishHash(hash, digest.data(), digestLength, 0)))
        throw std::runtime_error("SHA-256 finalization failed");
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(digest.size() * 2);
    for (UCHAR value : digest) {
        text.push_back(kHex[value >> 4]);
        text.push_back(kHex[value & 0x0F]);
    }
    return text;
}

}  // namespace

std::wstring Sha256Stream::finish() {
    return Finish(state_->hash, state_->digestLength);
}

std::wstring Sha256Stream::peek() const {
    BCRYPT_HASH_HANDLE copy = nullptr;
    if (!Succeeded(BCryptDuplicateHash(state_->hash, &copy, nullptr, 0, 0)))
        throw std::runtime_error("SHA-256 finalization failed");
    try {
        std::wstring text = Finish(copy, state_->digestLength);
        BCryptDestroyHash(copy);
        return text;
    } catch (...) {
        BCryptDestroyHash(copy);
        throw;
    }
}

}  // namespace qs
