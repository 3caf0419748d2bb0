#include "platform/sound.h"

#include <SDL.h>

#include <mutex>

namespace qs {

namespace {

// One output device for the process, opened on first use and kept for its life.
struct AudioOutput {
    std::mutex mutex;
    bool tried = false;
    SDL_AudioDeviceID device = 0;
    SDL_AudioSpec format{};
};

AudioOutput& Output() {
    static AudioOutput output;
    return output;
}

}  // namespace

void PlayWaveAsync(const std::vector<std::uint8_t>& wave) {
    if (wave.empty())
        return;
    AudioOutput& output = Output();
    std::lock_guard lock(output.mutex);

    SDL_AudioSpec waveSpec{};
    Uint8* samples = nullptr;
    Uint32 length = 0;
    SDL_RWops* stream = SDL_RWFromConstMem(wave.data(), static_cast<int>(wave.size()));
    if (!stream || !SDL_LoadWAV_RW(stream, 1, &waveSpec, &samples, &length))
        return;

    if (!output.tried) {
        output.tried = true;
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
            output.device = SDL_OpenAudioDevice(nullptr, 0, &waveSpec, &output.format, 0);
            if (output.device)
                SDL_PauseAudioDevice(output.device, 0);
        }
    }
    if (output.device && waveSpec.freq == output.format.freq &&
        waveSpec.format == output.format.format && waveSpec.channels == output.format.channels) {
        SDL_ClearQueuedAudio(output.device);  // a new click cuts off the last one
        SDL_QueueAudio(output.device, samples, length);
    }
    SDL_FreeWAV(samples);
}

}  // namespace qs
