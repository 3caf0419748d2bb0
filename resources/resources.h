#pragma once
// Fonts and images compiled into the executable, looked up by their fixed resource ids.
#include <cstddef>
#include <cstdint>
#include <span>

namespace qs {

enum ResourceId : int {
    kResBackground = 101,
    kResFontRegular = 102,
    kResFontMedium = 103,
    kResFontBold = 104,
    kResHomeArt = 105,
    kResLogo = 106,
    kResFontLight = 108,
    kResIconSolid = 109,
    kResIconBrands = 110,
    kResNewsBanner = 111,
    kResBadgeOrb = 112,
    kResBadgeBolt = 113,
    kResBadgeSwords = 114,
    kResBadgeBell = 115,
    kResIconBolt = 117,
    kResIconTrophy = 118,
    kResStreak = 119,
};

// Empty span when the id is unknown.
std::span<const std::uint8_t> FindResourceData(int id);

}  // namespace qs
