#pragma once
#include <cstdint>
#include <vector>

namespace qs {

// Plays a whole RIFF/WAVE file from memory without waiting; a new call cuts off the last
// sound. Silent when there is no audio device. The buffer must outlive the playback.
void PlayWaveAsync(const std::vector<std::uint8_t>& wave);

}  // namespace qs
