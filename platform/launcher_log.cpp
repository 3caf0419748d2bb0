#include "platform/launcher_log.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/durable_file.h"
#include "platform/file_io.h"
#include "platform/host_system.h"
#include "platform/wide_text.h"

namespace qs {

namespace {

// The length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

// The file pair at the cap: the current file is moved over the previous one, then made anew.
// Every open refuses a link, a FIFO or anything but a regular file at the name.
class LogFile {
public:
    LogFile(const std::filesystem::path& folder, std::uint64_t capBytes)
        : current_(folder / kLauncherLogName),
          previous_(folder / kPreviousLauncherLogName),
          capBytes_(capBytes) {
        if (!file_.openToAppend(current_) && !file_.createNew(current_))
            return;
        const auto state = file_.state();
        size_ = state ? state->size : 0;
    }

    void append(const std::string& line) {
        if (!file_.isOpen())
            return;
        if (size_ > 0 && size_ + line.size() > capBytes_)
            rotate();
        if (file_.write(line.data(), line.size()))
            size_ += line.size();
    }

private:
    void rotate() {
        file_.close();
        size_ = 0;
        if (MoveOver(current_, previous_) == 0)
            file_.createNew(current_);
    }

    std::filesystem::path current_, previous_;
    std::uint64_t capBytes_;
    OutputFile file_;
    std::uint64_t size_ = 0;
};

struct LogQueue {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::string> lines;
    std::size_t dropped = 0;
    bool stopping = false;
    LauncherLogOptions options;
    std::thread writer;

    ~LogQueue() { stop(); }

    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_one();
        if (writer.joinable())
            writer.join();
    }
};

std::atomic<bool> g_active{false};
std::mutex g_lifecycle;

LogQueue& Queue() {
    static LogQueue queue;
    return queue;
}

std::string DroppedLine(std::size_t dropped) {
    return LogTimeText(std::chrono::system_clock::now()) + " log: " + std::to_string(dropped) +
           " lines dropped, the writer fell behind" + std::string(TextLineEnd(kHostSystem));
}

void WriteUntilStopped(LogQueue& queue, const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    LogFile file(folder, queue.options.capBytes);
    std::vector<std::string> batch;
    for (bool last = false; !last;) {
        std::size_t dropped = 0;
        {
            std::unique_lock lock(queue.mutex);
            queue.wake.wait(
                lock, [&] { return queue.stopping || !queue.lines.empty() || queue.dropped > 0; });
            batch.swap(queue.lines);
            dropped = std::exchange(queue.dropped, 0);
            last = queue.stopping;
        }
        if (queue.options.beforeWrite)
            queue.options.beforeWrite();
        for (const std::string& line : batch)
            file.append(line);
        if (dropped > 0)
            file.append(DroppedLine(dropped));
        batch.clear();
    }
}

}  // namespace

void StartLauncherLog(const std::filesystem::path& folder, LauncherLogOptions options) {
    std::lock_guard lifecycle(g_lifecycle);
    if (folder.empty() || g_active.load())
        return;
    LogQueue& queue = Queue();
    {
        std::lock_guard lock(queue.mutex);
        queue.lines.clear();
        queue.dropped = 0;
        queue.stopping = false;
        queue.options = std::move(options);
        queue.lines.reserve(queue.options.queueLines);
    }
    try {
        queue.writer = std::thread(WriteUntilStopped, std::ref(queue), folder);
    } catch (...) {
        return;  // no thread, no log; the launcher runs on
    }
    g_active.store(true);
}

void StopLauncherLog() {
    std::lock_guard lifecycle(g_lifecycle);
    if (!g_active.exchange(false))
        return;
    Queue().stop();
}

bool LauncherLogActive() {
    return g_active.load(std::memory_order_relaxed);
}

void LogEvent(std::string_view text) {
    if (!LauncherLogActive())
        return;
    try {
        std::string line = LogTimeText(std::chrono::system_clock::now());
        line += ' ';
        line += CleanLogText(text);
        line += TextLineEnd(kHostSystem);
        LogQueue& queue = Queue();
        {
            std::lock_guard lock(queue.mutex);
            if (queue.lines.size() >= queue.options.queueLines)
                ++queue.dropped;
            else
                queue.lines.push_back(std::move(line));
        }
        queue.wake.notify_one();
    } catch (...) {
        // A log line is never worth a failure of what it describes.
    }
}

std::string CleanLogText(std::string_view text, std::size_t maxBytes) {
    if (text.size() > maxBytes)
        text = text.substr(0, maxBytes);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out.push_back(static_cast<char>(byte));
            ++i;
            continue;
        }
        if (const std::size_t length = byte >= 0x80 ? Utf8SequenceLength(text, i) : 0) {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        out += escaped;
        ++i;
    }
    return out;
}

std::string LogText(std::wstring_view text) {
    try {
        return WideToUtf8(text);
    } catch (...) {
        return "?";
    }
}

std::string LogPath(const std::filesystem::path& path) {
    try {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    } catch (...) {
        return "?";
    }
}

std::string LogTimeText(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss clock(floor<milliseconds>(time - day));
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                  int(clock.minutes().count()), int(clock.seconds().count()),
                  int(clock.subseconds().count()));
    return text;
}

}  // namespace qs
