#pragma once
// SHA-256 from the platform's crypto library, fed piece by piece.
#include <cstddef>
#include <memory>
#include <string>

namespace qs {

class Sha256Stream {
public:
    // Throws std::runtime_error "SHA-256 initialization failed".
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;
    Sha256Stream(Sha256Stream&&) noexcept;
    Sha256Stream& operator=(Sha256Stream&&) noexcept;
    // Throws std::runtime_error "SHA-256 read failed".
    void update(const void* data, std::size_t size);
    // Lower-case digest text; the stream is spent afterwards. Throws std::runtime_error
    // "SHA-256 finalization failed".
    std::wstring finish();
    // The digest of what was fed so far; the stream goes on. Same failures as finish().
    std::wstring peek() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace qs
