#include "platform/sound.h"

#include <windows.h>
// windows.h first: mmsystem.h needs its types.
#include <mmsystem.h>

namespace qs {

namespace {

// The player reads the caller's buffer while it plays; a sound still playing when the program
// exits would read a buffer that static destruction has already freed. Made after the first
// buffer, so destroyed before it: stops the sound first.
struct StopSoundAtExit {
    ~StopSoundAtExit() { PlaySoundW(nullptr, nullptr, 0); }
};

}  // namespace

void PlayWaveAsync(const std::vector<std::uint8_t>& wave) {
    if (wave.empty())
        return;  // a null sound would stop the last one instead
    static const StopSoundAtExit stopAtExit;
    PlaySoundW(reinterpret_cast<LPCWSTR>(wave.data()), nullptr,
               SND_MEMORY | SND_ASYNC | SND_NODEFAULT);
}

}  // namespace qs
