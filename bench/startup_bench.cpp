// Start-up: time from process start to the first presented frame of the launcher, under an X
// server without a screen (Xvfb). The launcher runs unchanged; a preloaded probe reports the
// moment its first SDL_GL_SwapWindow returns and ends it.
//
//   qs_bench_startup [--display=:99] [--runs=9] [--home=DIR]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Argument(int argc, char** argv, const std::string& name, const std::string& fallback) {
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0)
            return argv[i] + prefix.size();
    return fallback;
}

long long MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// One launch; milliseconds to the first frame, or a negative value on failure.
double LaunchOnce(const std::vector<std::string>& environment) {
    int output[2];
    if (pipe(output) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::vector<char*> envp;
    for (const auto& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(QS_LAUNCHER_PATH), nullptr};

    const long long start = MonotonicNanoseconds();
    pid_t pid = 0;
    const int error = posix_spawn(&pid, QS_LAUNCHER_PATH, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    if (error != 0) {
        close(output[0]);
        return -1;
    }

    std::string text;
    pollfd wait{output[0], POLLIN, 0};
    while (poll(&wait, 1, 60000) > 0) {
        char buffer[4096];
        const ssize_t got = read(output[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(output[0]);
    kill(pid, SIGKILL);  // only still alive when the probe never fired
    int status = 0;
    waitpid(pid, &status, 0);

    const auto mark = text.find("qs-first-frame ");
    if (mark == std::string::npos) {
        std::fprintf(stderr, "startup: no frame; launcher said:\n%s\n", text.c_str());
        return -1;
    }
    const long long frame = std::atoll(text.c_str() + mark + std::strlen("qs-first-frame "));
    return static_cast<double>(frame - start) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string display = Argument(argc, argv, "display", ":99");
    const int runs = std::max(1, std::atoi(Argument(argc, argv, "runs", "9").c_str()));
    namespace fs = std::filesystem;
    const fs::path home =
        fs::absolute(Argument(argc, argv, "home", "build/bench-data/startup-home"));
    fs::create_directories(home / "config");
    fs::create_directories(home / "data");

    // The caller's environment, with the display, software GL, the probe and a scratch home.
    std::vector<std::string> environment;
    const char* replaced[] = {"DISPLAY=",         "LIBGL_ALWAYS_SOFTWARE=", "LD_PRELOAD=",
                              "XDG_CONFIG_HOME=", "XDG_DATA_HOME=",         "SDL_AUDIODRIVER="};
    for (char** entry = environ; *entry; ++entry) {
        bool keep = true;
        for (const char* prefix : replaced)
            keep = keep && std::strncmp(*entry, prefix, std::strlen(prefix)) != 0;
        if (keep)
            environment.emplace_back(*entry);
    }
    environment.push_back("DISPLAY=" + display);
    environment.push_back("LIBGL_ALWAYS_SOFTWARE=1");
    environment.push_back(std::string("LD_PRELOAD=") + QS_FIRST_FRAME_PROBE);
    environment.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
    environment.push_back("XDG_DATA_HOME=" + (home / "data").string());
    environment.push_back("SDL_AUDIODRIVER=dummy");

    if (LaunchOnce(environment) < 0)  // warm-up: libraries and fonts into the page cache
        return 1;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double ms = LaunchOnce(environment);
        if (ms < 0)
            return 1;
        std::printf("run %d: %.1f ms\n", i + 1, ms);
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    const double median = runs % 2 ? times[runs / 2] : (times[runs / 2 - 1] + times[runs / 2]) / 2;
    std::printf("first_frame_ms_median %.1f\n", median);
    std::printf("first_frame_ms_min %.1f\n", times.front());
    std::printf("first_frame_ms_max %.1f\n", times.back());
    return 0;
}
