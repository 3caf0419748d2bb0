#include "platform/sound.h"

#include <windows.h>
// windows.h first: mmsystem.h needs its types.
#include <mmsystem.h>

void PlayWaveAsync(const std::vector<std::uint8_t>& wave) {
    if (wave.empty())
        return;  // a null sound would stop the last one instead
    PlaySoundW(reinterpret_cast<LPCWSTR>(wave.data()), nullptr,
               SND_MEMORY | SND_ASYNC | SND_NODEFAULT);
}
