#include "resources/resources.h"

#include <windows.h>

namespace qs {

// The resources live in the executable's own image; nothing is loaded or freed.
std::span<const std::uint8_t> FindResourceData(int id) {
    if (id <= 0 || id > 0xFFFF)
        return {};
    HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(id), RT_RCDATA);
    if (info == nullptr)
        return {};
    HGLOBAL loaded = LoadResource(nullptr, info);
    const DWORD size = SizeofResource(nullptr, info);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0)
        return {};
    return {static_cast<const std::uint8_t*>(data), size};
}

}  // namespace qs
