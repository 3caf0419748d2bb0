#include "ui/ui_logic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

#include "platform/launcher_log.h"
#include "platform/wide_text.h"
#include "update/digest.h"
#include "update/transfer.h"

namespace qs {

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

namespace {

// Items Tab may reach: a dialog's alone while it is on screen.
std::vector<std::size_t> FocusCandidates(const std::vector<FocusItem>& order) {
    std::vector<std::size_t> all, trapped;
    for (std::size_t i = 0; i < order.size(); ++i) {
        all.push_back(i);
        if (order[i].trapped)
            trapped.push_back(i);
    }
    return trapped.empty() ? all : trapped;
}

}  // namespace

void ApplyKeys(KeyboardFocus& focus, const KeyPresses& keys) {
    focus.activate = 0;
    focus.moved = false;
    focus.escape = keys.escape;
    focus.current.clear();
    focus.trapDepth = 0;
    if (keys.mouseUsed)
        focus.ringVisible = false;
    if (keys.tab || keys.activate || keys.escape || keys.page >= 0)
        focus.ringVisible = true;
    if (keys.tab) {
        const std::vector<std::size_t> candidates = FocusCandidates(focus.order);
        if (!candidates.empty()) {
            const auto count = static_cast<std::ptrdiff_t>(candidates.size());
            std::ptrdiff_t at = -1;
            for (std::ptrdiff_t i = 0; i < count; ++i)
                if (focus.order[candidates[static_cast<std::size_t>(i)]].id == focus.focused)
                    at = i;
            std::ptrdiff_t next = 0;
            if (at >= 0) {
                next = (at + (keys.shift ? count - 1 : 1)) % count;
            } else {
                // Resume where the vanished item stood: the first one at or after its place, or
                // for Shift+Tab the last one before it.
                const auto place = static_cast<std::size_t>(std::max(focus.focusedIndex, 0));
                next = keys.shift ? count - 1 : 0;
                if (focus.focusedIndex >= 0) {
                    for (std::ptrdiff_t i = 0; i < count; ++i) {
                        const std::size_t index = candidates[static_cast<std::size_t>(i)];
                        if (!keys.shift && index >= place) {
                            next = i;
                            break;
                        }
                        if (keys.shift && index < place)
                            next = i;
                    }
                }
            }
            focus.focused = focus.order[candidates[static_cast<std::size_t>(next)]].id;
            focus.moved = true;
        }
    }
    if (keys.activate && !keys.tab)
        focus.activate = focus.focused;
}

const FocusItem* FinishFocusFrame(KeyboardFocus& focus) {
    focus.order.swap(focus.current);
    focus.current.clear();
    focus.trapDepth = 0;
    for (std::size_t i = 0; i < focus.order.size(); ++i) {
        if (focus.order[i].id == focus.focused && focus.focused != 0) {
            focus.focusedIndex = static_cast<int>(i);
            return &focus.order[i];
        }
    }
    return nullptr;
}

bool IsUpdating(std::int32_t progressIndex, std::int32_t progressCount) {
    return progressCount >= 1 && progressIndex < progressCount;
}

PlayButtonLook ChoosePlayButton(bool updating, bool clientReady, bool online, bool hovered) {
    using namespace palette;
    PlayButtonLook look{"SERVER OFFLINE", kOfflineFill, kOfflineIcon, kOfflineLabel};
    if (updating) {
        look = {"CANCEL", kAccentVioletBusy, kWhite, kWhite, icon::kXMark};
        if (hovered)
            look.fill = kAccentViolet;
        return look;
    } else if (clientReady && online) {
        look = {"PLAY NOW", kAccentViolet, kWhite, kWhite};
    } else if (!clientReady && online) {
        look = {"CHECK FOR UPDATES", kAccentViolet, kWhite, kWhite};
    }
    if (hovered && online)
        look.fill = kLightViolet;
    return look;
}

PlayAction PlayButtonAction(bool pressed, bool online, bool clientReady, bool updating) {
    if (pressed && updating)
        return PlayAction::Cancel;
    if (!pressed || !online)
        return PlayAction::None;
    return clientReady ? PlayAction::Play : PlayAction::UpdateCheck;
}

bool ClientReady(bool executablePresent, bool updating, const ActionOutcome& outcome) {
    const bool runFellShort = outcome.kind == TaskKind::ClientUpdate &&
                              outcome.tone != OutcomeTone::Success && !outcome.clientAsBefore;
    return executablePresent && !updating && !runFellShort;
}

bool ShowsOnHome(const ActionOutcome& outcome, TaskKind running) {
    if (running != TaskKind::None)
        return running == TaskKind::ClientUpdate;
    return outcome.kind == TaskKind::ClientUpdate || outcome.kind == TaskKind::Play;
}

std::string LogLocationLine(const ActionOutcome& outcome, const std::filesystem::path& dataFolder) {
    if (outcome.kind != TaskKind::ClientUpdate || outcome.tone != OutcomeTone::Warning ||
        dataFolder.empty())
        return {};
    return "Details: " + LogPath(dataFolder / kLauncherLogName);
}

ImU32 OutcomeColour(OutcomeTone tone) {
    return tone == OutcomeTone::Warning ? palette::kWarning : palette::kSecondaryText;
}

void UpdateTransferRate(TransferRate& rate, double now, std::uint64_t fetched) {
    if (rate.sampleTime < 0.0 || fetched < rate.sampleBytes) {
        rate = {now, fetched, 0.0};
        return;
    }
    const double elapsed = now - rate.sampleTime;
    if (elapsed < 0.5)
        return;
    const double current = static_cast<double>(fetched - rate.sampleBytes) / elapsed;
    // An average over about three seconds: steady enough to read, quick enough to follow a change.
    const double weight = 1.0 - std::exp(-elapsed / 3.0);
    rate.bytesPerSecond = rate.bytesPerSecond <= 0.0
                              ? current
                              : rate.bytesPerSecond + weight * (current - rate.bytesPerSecond);
    rate.sampleTime = now;
    rate.sampleBytes = fetched;
}

std::string SpeedText(double bytesPerSecond) {
    if (!(bytesPerSecond > 0.0))
        return {};
    char text[32];
    if (bytesPerSecond < 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.0f KB/s", std::max(1.0, bytesPerSecond / 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / (1024.0 * 1024.0));
    return text;
}

std::string TimeLeftText(double seconds) {
    if (!(seconds >= 0.0) || seconds > 1e7)
        return {};
    const auto whole = static_cast<long long>(std::ceil(seconds));
    char text[48];
    if (whole < 60)
        std::snprintf(text, sizeof text, "%lld s left", std::max(1LL, whole));
    else if (whole < 3600)
        std::snprintf(text, sizeof text, "%lld min left", (whole + 59) / 60);
    else
        std::snprintf(text, sizeof text, "%lld h %lld min left", whole / 3600,
                      (whole % 3600 + 59) / 60);
    return text;
}

double SecondsLeft(const ByteProgress& bytes, const TransferRate& rate) {
    if (bytes.total == 0 || bytes.done > bytes.total || !(rate.bytesPerSecond > 0.0))
        return -1.0;
    return static_cast<double>(bytes.total - bytes.done) / rate.bytesPerSecond;
}

namespace {

constexpr const char* kDot = " \xC2\xB7 ";  // a middle dot between figures

std::string JoinFigures(std::initializer_list<std::string> figures) {
    std::string line;
    for (const std::string& figure : figures) {
        if (figure.empty())
            continue;
        if (!line.empty())
            line += kDot;
        line += figure;
    }
    return line;
}

// "1.2 of 4.8 GB": both in the unit of the total, as a player compares them.
std::string AmountOf(std::uint64_t done, std::uint64_t total) {
    const std::string whole = FormatBytes(total);
    const std::size_t blank = whole.rfind(' ');
    const std::string unit = whole.substr(blank + 1);
    const double scale = unit == "TB"   ? std::pow(1024.0, 4)
                         : unit == "GB" ? std::pow(1024.0, 3)
                         : unit == "MB" ? std::pow(1024.0, 2)
                         : unit == "KB" ? 1024.0
                                        : 1.0;
    char text[64];
    if (unit == "bytes" || unit == "KB")
        std::snprintf(text, sizeof text, "%.0f of %s", static_cast<double>(done) / scale,
                      whole.c_str());
    else
        std::snprintf(text, sizeof text, "%.1f of %s", static_cast<double>(done) / scale,
                      whole.c_str());
    return text;
}

}  // namespace

std::string DownloadBoxDetail(std::string_view statusLine, const ByteProgress& bytes,
                              const TransferRate& rate) {
    if (statusLine.starts_with("Retrying"))
        return std::string(statusLine);
    const std::string speed = SpeedText(rate.bytesPerSecond);
    if (speed.empty())
        return DownloadDetailText(statusLine);
    return JoinFigures({speed, TimeLeftText(SecondsLeft(bytes, rate))});
}

std::string HomeProgressText(std::int32_t progressIndex, std::int32_t progressCount,
                             const ByteProgress& bytes, const TransferRate& rate) {
    const std::string speed = SpeedText(rate.bytesPerSecond);
    // A patch fetches a small part of what it brings up to date: the player sees both.
    if (bytes.total > 0 && bytes.reused > 0 && bytes.done <= bytes.total)
        return JoinFigures({FormatBytes(bytes.total) + " \xE2\x80\x94 " +
                                FormatBytes(bytes.total - bytes.done) + " to download",
                            speed, TimeLeftText(SecondsLeft(bytes, rate))});
    if (bytes.total > 0)
        return JoinFigures(
            {AmountOf(bytes.done, bytes.total), speed, TimeLeftText(SecondsLeft(bytes, rate))});
    return JoinFigures(
        {"file " + std::to_string(progressIndex + 1) + " of " + std::to_string(progressCount),
         bytes.done > 0 ? FormatBytes(bytes.done) : std::string(), speed});
}

float DownloadRingFraction(std::int32_t progressIndex, std::int32_t progressCount,
                           const ByteProgress& bytes) {
    if (bytes.fraction > 0.0)
        return static_cast<float>(std::min(1.0, bytes.fraction));
    return DownloadFraction(progressIndex, progressCount);
}

std::string DownloadLimitText(std::uint32_t megabytesPerSecond) {
    return megabytesPerSecond == 0 ? std::string("Off")
                                   : std::to_string(megabytesPerSecond) + " MB/s";
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

std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes) {
    std::size_t length = std::min(text.size(), maxBytes);
    if (length < text.size()) {
        // Step back over a character the limit would split.
        std::size_t start = length;
        while (start > 0 && IsContinuationByte(text[start]))
            --start;
        if (start + Utf8SequenceLength(static_cast<unsigned char>(text[start])) > length)
            length = start;
    }
    return text.substr(0, length);
}

void CopyTruncated(char* buffer, std::size_t capacity, std::string_view text) {
    if (capacity == 0)
        return;
    const std::string_view kept = Utf8Prefix(text, capacity - 1);
    std::memcpy(buffer, kept.data(), kept.size());
    buffer[kept.size()] = '\0';
}

const char* FallbackClientFolderText(HostSystem system) {
    if (system == HostSystem::Windows)
        return "C:\\Users\\Player\\AppData\\Roaming\\Quillon Saga\\QuillonSaga Game";
    return "/home/player/.local/share/Quillon Saga/QuillonSaga Game";
}

}  // namespace qs
