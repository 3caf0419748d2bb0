#include "ui/ui_logic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "update/text.h"

namespace {

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

void PutTag(std::vector<std::uint8_t>& out, const char* tag) {
    out.insert(out.end(), tag, tag + 4);
}

// Length in bytes of the UTF-8 character that starts with `lead`; 1 for a stray byte.
std::size_t Utf8SequenceLength(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    if ((lead & 0xF8) == 0xF0)
        return 4;
    return 1;
}

bool IsContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

// Three rising tones a minor third apart, then a bright gliding overtone; every step in single
// precision so the samples come out the same on every build.
std::vector<std::uint8_t> BuildClickSoundWave() {
    constexpr float kTwoPi = 6.2831853f;
    constexpr float dt = 1.0f / 44100.0f;
    constexpr float kBase[3] = {440.0f, 554.37f, 659.25f};
    constexpr std::uint32_t kDataBytes = kClickSoundSampleCount * 2;

    std::vector<std::uint8_t> wave;
    wave.reserve(44 + kDataBytes);
    PutTag(wave, "RIFF");
    PutU32(wave, 36 + kDataBytes);
    PutTag(wave, "WAVE");
    PutTag(wave, "fmt ");
    PutU32(wave, 16);
    PutU16(wave, 1);  // PCM
    PutU16(wave, 1);  // mono
    PutU32(wave, kClickSoundSampleRate);
    PutU32(wave, kClickSoundSampleRate * 2);
    PutU16(wave, 2);
    PutU16(wave, 16);
    PutTag(wave, "data");
    PutU32(wave, kDataBytes);

    float tonePhase[3] = {0.0f, 0.0f, 0.0f};
    float brightPhase = 0.0f;
    for (int n = 0; n < kClickSoundSampleCount; ++n) {
        const float t = static_cast<float>(n) / 44100.0f;
        float sum = 0.0f;
        for (int k = 0; k < 3; ++k) {
            const float s = 0.03f * static_cast<float>(k);
            if (t < s || t >= s + 0.24f)
                continue;
            const float local = t - s;
            const float f =
                t < s + 0.08f ? kBase[k] * 0.98f * std::pow(1.0204082f, local / 0.08f) : kBase[k];
            tonePhase[k] += kTwoPi * f * dt;
            float e = 0.0001f;
            if (t < s + 0.05f) {
                e = 0.0001f * std::pow(10000.0f, local / 0.05f);
            } else if (t < s + 0.22f) {
                e = std::pow(0.0001f, (local - 0.05f) / 0.17f);
            }
            sum += std::sin(tonePhase[k]) * e * 0.05f;
        }
        if (t >= 0.09f && t < 0.3f) {
            const float f =
                t < 0.2f ? 1318.5f * std::pow(1.3348502f, (t - 0.09f) / 0.11f) : 1760.0f;
            brightPhase += kTwoPi * f * dt;
            float amplitude = 0.0f;
            if (t < 0.12f) {
                amplitude = 0.0001f * std::pow(4000.0f, (t - 0.09f) / 0.03f);
            } else if (t < 0.28f) {
                amplitude = 0.4f * std::pow(0.00025f, (t - 0.12f) / 0.16f);
            }
            sum += std::sin(brightPhase) * amplitude * 0.05f;
        }
        const float clamped = std::clamp(sum, -1.0f, 1.0f);
        PutU16(wave, static_cast<std::uint16_t>(static_cast<std::int16_t>(clamped * 32767.0f)));
    }
    return wave;
}

float AnimationRate(float deltaTime, float perSecond) {
    const float rate = perSecond * deltaTime;
    if (!(rate > 0.0f))
        return 0.0f;  // also a NaN frame time
    return std::min(1.0f, rate);
}

float ApproachLevel(float level, float target, float rate) {
    return level + (target - level) * rate;
}

int LevelAlpha(float level, int fullAlpha) {
    if (level >= 1.0f)
        return fullAlpha;
    if (!(level > 0.0f))
        return 0;
    return static_cast<int>(static_cast<float>(fullAlpha) * level);
}

int NavFillAlpha(float selectionLevel, float hoverLevel) {
    if (selectionLevel > 0.005f)
        return LevelAlpha(selectionLevel, 28);
    if (hoverLevel > 0.005f)
        return LevelAlpha(hoverLevel, 14);
    return 0;
}

float NavButtonTop(ActivePage page) {
    switch (page) {
        case ActivePage::News:
            return 168.0f;
        case ActivePage::Settings:
            return 216.0f;
        case ActivePage::Home:
            break;
    }
    return 120.0f;
}

bool IsUpdating(std::int32_t progressIndex, std::int32_t progressCount) {
    return progressCount >= 1 && progressIndex < progressCount;
}

PlayButtonLook ChoosePlayButton(bool updating, bool clientReady, bool online, bool hovered) {
    using namespace palette;
    PlayButtonLook look{"SERVER OFFLINE", kOfflineFill, kOfflineIcon, kOfflineLabel};
    if (updating) {
        look = {"UPDATING...", kAccentVioletBusy, kWhite, kWhite};
    } else if (clientReady && online) {
        look = {"PLAY NOW", kAccentViolet, kWhite, kWhite};
    } else if (!clientReady && online) {
        look = {"CHECK FOR UPDATES", kAccentViolet, kWhite, kWhite};
    }
    if (hovered && online)
        look.fill = kLightViolet;
    return look;
}

PlayAction PlayButtonAction(bool pressed, bool online, bool clientReady) {
    if (!pressed || !online)
        return PlayAction::None;
    return clientReady ? PlayAction::Play : PlayAction::UpdateCheck;
}

std::string ServerPillText(const ServerStatus& status) {
    if (!status.online)
        return "OFFLINE";
    if (status.players < 1)
        return "ONLINE";
    char text[32];
    std::snprintf(text, sizeof text, "ONLINE %d", static_cast<int>(status.players));
    return text;
}

bool ShowDownloadBox(std::int32_t progressIndex, std::int32_t progressCount) {
    return progressCount > 0 && progressIndex < progressCount;
}

float DownloadFraction(std::int32_t progressIndex, std::int32_t progressCount) {
    if (progressCount <= 0)
        return 0.0f;
    return static_cast<float>(progressIndex) / static_cast<float>(progressCount);
}

std::string DownloadDetailText(std::string_view statusLine) {
    constexpr std::string_view kPrefix = "Downloading ";
    std::string_view detail = statusLine;
    if (detail.starts_with(kPrefix))
        detail.remove_prefix(kPrefix.size());
    // Counted in characters, not bytes: a path with accented letters must not be cut mid-character.
    std::size_t characters = 0;
    std::size_t cutAt = detail.size();
    for (std::size_t i = 0; i < detail.size(); ++i) {
        if (IsContinuationByte(detail[i]))
            continue;
        if (characters == 21)
            cutAt = i;
        ++characters;
    }
    if (characters < 25)
        return std::string(detail);
    return std::string(detail.substr(0, cutAt)) + "...";
}

int RingSegmentCount(float fraction) {
    return std::max(2, static_cast<int>(32.0f * fraction));
}

bool IsWebAddress(std::string_view url) {
    auto hasScheme = [url](std::string_view scheme) {
        if (url.size() < scheme.size())
            return false;
        for (std::size_t i = 0; i < scheme.size(); ++i) {
            char c = url[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != scheme[i])
                return false;
        }
        return true;
    };
    std::size_t schemeLength = hasScheme("https://") ? 8 : hasScheme("http://") ? 7 : 0;
    if (schemeLength == 0)
        return false;
    // Blanks and control characters have no place in an address and could confuse the opener.
    if (std::any_of(url.begin(), url.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte <= 0x20 || byte == 0x7F;
        }))
        return false;
    try {
        (void)Utf8ToWide(url);
    } catch (const std::runtime_error&) {
        return false;
    }
    const std::string_view rest = url.substr(schemeLength);
    const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
    return !host.empty() && host.front() != '@' && host.front() != ':';
}

void CopyTruncated(char* buffer, std::size_t capacity, std::string_view text) {
    if (capacity == 0)
        return;
    std::size_t length = std::min(text.size(), capacity - 1);
    if (length < text.size()) {
        // Step back over a character the limit would split.
        std::size_t start = length;
        while (start > 0 && IsContinuationByte(text[start]))
            --start;
        if (start + Utf8SequenceLength(static_cast<unsigned char>(text[start])) > length)
            length = start;
    }
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
}

const char* FallbackClientFolderText(HostSystem system) {
    if (system == HostSystem::Windows)
        return "C:\\Users\\Player\\AppData\\Roaming\\Quillon Saga\\QuillonSaga Game";
    return "/home/player/.local/share/Quillon Saga/QuillonSaga Game";
}
