// What the Windows window does with the result of presenting a frame or resizing its buffers; the
// lost device and the covered screen cannot be brought about under Wine, so the decision is
// tested here.
#include <gtest/gtest.h>

#include <cstdint>

#include "shell/window_rules.h"

namespace qs {
namespace {

TEST(PresentStep, LostDeviceRebuildsCoveredWindowIdlesTheRestGoesOn) {
    const struct {
        const char* name;
        std::uint32_t result;
        PresentStep step;
    } rows[] = {
        {"S_OK", 0x00000000u, PresentStep::Continue},
        {"DXGI_STATUS_OCCLUDED", 0x087A0001u, PresentStep::Idle},
        {"DXGI_ERROR_DEVICE_REMOVED", 0x887A0005u, PresentStep::Rebuild},
        {"DXGI_ERROR_DEVICE_HUNG", 0x887A0006u, PresentStep::Rebuild},
        {"DXGI_ERROR_DEVICE_RESET", 0x887A0007u, PresentStep::Rebuild},
        {"DXGI_ERROR_DRIVER_INTERNAL_ERROR", 0x887A0020u, PresentStep::Rebuild},
        {"DXGI_ERROR_INVALID_CALL", 0x887A0001u, PresentStep::Continue},
        {"E_OUTOFMEMORY", 0x8007000Eu, PresentStep::Continue},
    };
    for (const auto& row : rows)
        EXPECT_EQ(StepAfterPresent(static_cast<std::int32_t>(row.result)), row.step) << row.name;
}

}  // namespace
}  // namespace qs
