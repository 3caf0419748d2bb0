#pragma once
// The interface's decisions, kept apart from the drawing so they can be checked without a window.
#include <imgui.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/state.h"
#include "live/live.h"
#include "platform/host_system.h"
#include "ui/ui_state.h"

namespace qs {

// Colours of the launcher's own drawing (IM_COL32 layout).
namespace palette {
inline constexpr ImU32 kWindowGround = IM_COL32(0x16, 0x17, 0x1B, 255);
inline constexpr ImU32 kAccentViolet = IM_COL32(0x7D, 0x67, 0xCB, 255);
inline constexpr ImU32 kAccentVioletBusy = IM_COL32(0x7D, 0x67, 0xCB, 102);
inline constexpr ImU32 kLightViolet = IM_COL32(0x95, 0x80, 0xDC, 255);
inline constexpr ImU32 kOnlineGreen = IM_COL32(0x4C, 0xAF, 0x7D, 255);
inline constexpr ImU32 kOfflineRed = IM_COL32(0xCF, 0x52, 0x52, 255);
inline constexpr ImU32 kWhite = IM_COL32(255, 255, 255, 255);
inline constexpr ImU32 kSecondaryText = IM_COL32(0x8B, 0x8C, 0x8F, 255);
inline constexpr ImU32 kMutedIcon = IM_COL32(0x5A, 0x5B, 0x5F, 255);
inline constexpr ImU32 kSidebarIconIdle = IM_COL32(0xC8, 0xCD, 0xD7, 255);
inline constexpr ImU32 kCardGround = IM_COL32(0x1C, 0x1D, 0x22, 255);
inline constexpr ImU32 kOfflineFill = IM_COL32(0x2F, 0x31, 0x38, 255);
inline constexpr ImU32 kOfflineIcon = IM_COL32(0x73, 0x74, 0x7A, 255);
inline constexpr ImU32 kOfflineLabel = IM_COL32(0x8A, 0x8B, 0x91, 255);
inline constexpr ImU32 kWarning = IM_COL32(0xE8, 0xA8, 0x4C, 255);  // failed outcomes
constexpr ImU32 WithAlpha(ImU32 colour, int alpha) {
    return (colour & ~IM_COL32_A_MASK) | (static_cast<ImU32>(alpha & 0xFF) << IM_COL32_A_SHIFT);
}
constexpr ImU32 White(int alpha) {
    return WithAlpha(kWhite, alpha);
}
}  // namespace palette

// Font Awesome 6 glyphs as UTF-8 (the brand mark lives in the brands font).
namespace icon {
inline constexpr const char* kHouse = "\xEF\x80\x95";
inline constexpr const char* kGear = "\xEF\x80\x93";
inline constexpr const char* kGlobe = "\xEF\x82\xAC";
inline constexpr const char* kPlay = "\xEF\x81\x8B";
inline constexpr const char* kMinus = "\xEF\x81\xA8";
inline constexpr const char* kXMark = "\xEF\x80\x8D";
inline constexpr const char* kCheck = "\xEF\x80\x8C";
inline constexpr const char* kVideo = "\xEF\x80\xBD";
inline constexpr const char* kFolderOpen = "\xEF\x81\xBC";
inline constexpr const char* kDiscord = "\xEF\x8E\x92";
inline constexpr const char* kArrowDown = "\xEF\x81\xA3";
inline constexpr const char* kBell = "\xEF\x83\xB3";
inline constexpr const char* kCircleInfo = "\xEF\x81\x9A";
inline constexpr const char* kAngleRight = "\xEF\x84\x85";
inline constexpr const char* kChevronLeft = "\xEF\x81\x93";
inline constexpr const char* kChevronRight = "\xEF\x81\x94";
inline constexpr const char* kList = "\xEF\x80\xBA";
inline constexpr const char* kDownload = "\xEF\x80\x99";
inline constexpr const char* kPlus = "\x2B";
}  // namespace icon

// ---- Click chime -------------------------------------------------------------------------------

inline constexpr int kClickSoundSampleCount = 14112;
inline constexpr int kClickSoundSampleRate = 44100;

// The whole RIFF/WAVE file of the click chime: 16-bit mono PCM, 0.32 s.
std::vector<std::uint8_t> BuildClickSoundWave();

// ---- Animation levels
// ----------------------------------------------------------------------------

// The share of the remaining distance an animated level covers this frame: perSecond × dt, at
// most 1 so a long frame never overshoots its target.
float AnimationRate(float deltaTime, float perSecond);
float ApproachLevel(float level, float target, float rate);
// trunc(fullAlpha × level); fullAlpha from level 1 on, 0 at or below 0.
int LevelAlpha(float level, int fullAlpha);
// The navigation button's fill alpha; 0 means no fill.
int NavFillAlpha(float selectionLevel, float hoverLevel);
// Vertical offset of the active-page marker and of that page's navigation button.
float NavButtonTop(ActivePage page);

// ---- Keyboard
// ----------------------------------------------------------------------------------------

// One frame's keys, as the composer reads them.
struct KeyPresses {
    bool tab = false;
    bool shift = false;
    bool activate = false;  // Enter, keypad Enter or Space
    bool escape = false;
    int page = -1;  // Ctrl+1, 2 or 3: 0, 1 or 2
    bool mouseUsed = false;
};

// Before drawing: Tab and Shift+Tab step through last frame's order (only through a dialog's
// items while one is open), wrapping at the ends; a focus that disappeared resumes from its old
// place. Any key shows the ring, the mouse hides it. Enter or Space names the item to press.
void ApplyKeys(KeyboardFocus& focus, const KeyPresses& keys);
// After drawing: this frame's items become the order for the next, and the focused one (null
// when it is not on screen) is where the ring goes.
const FocusItem* FinishFocusFrame(KeyboardFocus& focus);

// ---- Home page
// -------------------------------------------------------------------------------------

// A client update run is fetching files.
bool IsUpdating(std::int32_t progressIndex, std::int32_t progressCount);

struct PlayButtonLook {
    const char* label;
    ImU32 fill;
    ImU32 iconColour;
    ImU32 labelColour;
    const char* glyph = icon::kPlay;
};
PlayButtonLook ChoosePlayButton(bool updating, bool clientReady, bool online, bool hovered);

enum class PlayAction { None, Play, UpdateCheck, Cancel };
// What a press of the primary button asks of the main loop: while files come in it cancels
// (whatever the server pill says); otherwise it plays or checks, online only.
PlayAction PlayButtonAction(bool pressed, bool online, bool clientReady, bool updating = false);

// Whether the client may be offered as ready: it is there, no run fetches files, and the last run
// did not end short of "Ready to play." unless it left a client that was whole before it as it
// was (an unreachable service or a refused manifest never takes Play away; a run that placed
// files and then failed or was cancelled offers the check again).
bool ClientReady(bool executablePresent, bool updating, const ActionOutcome& outcome);

// Whether Home's line under the buttons speaks: for the outcome of the last run or Play, and for
// a client run that is checking before any file comes in.
bool ShowsOnHome(const ActionOutcome& outcome, TaskKind running);
ImU32 OutcomeColour(OutcomeTone tone);
// Under a client run that failed: where the log that tells more is ("Details:
// <folder>/launcher.log"); empty for any other outcome or without a data folder.
std::string LogLocationLine(const ActionOutcome& outcome, const std::filesystem::path& dataFolder);

// ---- Download progress
// -------------------------------------------------------------------------------

// Speed as the player sees it: sampled twice a second and smoothed over a few seconds, so the
// figures do not jump with every frame. A new run (fewer bytes than before) starts afresh.
void UpdateTransferRate(TransferRate& rate, double now, std::uint64_t fetched);
// "850 KB/s", "12.4 MB/s"; empty before a rate is known.
std::string SpeedText(double bytesPerSecond);
// "45 s left", "3 min left", "1 h 5 min left", rounded up.
std::string TimeLeftText(double seconds);
// Seconds until `total` at the current rate; negative when that cannot be told.
double SecondsLeft(const ByteProgress& bytes, const TransferRate& rate);
// The download box's second line: "12.4 MB/s \u00B7 3 min left" once bytes move, a retry notice as
// the run says it, else the file path as before.
std::string DownloadBoxDetail(std::string_view statusLine, const ByteProgress& bytes,
                              const TransferRate& rate);
// Home's line under its progress bar: "1.2 of 4.8 GB \u00B7 12.4 MB/s \u00B7 3 min left", or by
// files when the sizes are not known.
std::string HomeProgressText(std::int32_t progressIndex, std::int32_t progressCount,
                             const ByteProgress& bytes, const TransferRate& rate);
// The ring and bar: by bytes when the run reports them, by files otherwise.
float DownloadRingFraction(std::int32_t progressIndex, std::int32_t progressCount,
                           const ByteProgress& bytes);
// "Off" or "5 MB/s".
std::string DownloadLimitText(std::uint32_t megabytesPerSecond);

// ---- Title strip
// -----------------------------------------------------------------------------------

std::string ServerPillText(const ServerStatus& status);
bool ShowDownloadBox(std::int32_t progressIndex, std::int32_t progressCount);
float DownloadFraction(std::int32_t progressIndex, std::int32_t progressCount);
// The download box's second line: the file path of "Downloading <path>", shortened to fit.
std::string DownloadDetailText(std::string_view statusLine);
// Segments of the progress ring's open arc.
int RingSegmentCount(float fraction);

// ---- Text and links
// --------------------------------------------------------------------------------

// Only http and https addresses (letter case ignored) with a host, in valid UTF-8 and without
// blanks or control characters, may reach the desktop's opener: a news service must not be able
// to start programs through file:, javascript: or custom protocol handlers.
bool IsWebAddress(std::string_view url);

// The longest start of `text` of at most `maxBytes` bytes that does not split a UTF-8 character.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes);

// Copies `text` into a zero-terminated buffer of `capacity` bytes, cutting it at a character
// boundary when it does not fit so the field never shows a broken character.
void CopyTruncated(char* buffer, std::size_t capacity, std::string_view text);

// Shown in the game-folder field when the real client folder cannot be found: where the client
// folder lies for a fixed account on `system`.
const char* FallbackClientFolderText(HostSystem system);

inline constexpr const char* kLauncherVersionText = "v1.0.8";

}  // namespace qs
