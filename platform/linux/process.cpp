#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qs {

namespace {

// Everything between fork and exec must be async-signal-safe: the launcher has other threads.
[[noreturn]] void ExecGrandchild(const char* executable, char* const* argv,
                                 const char* workingDirectory, int errorPipe) {
    int error = 0;
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaultAction,
              nullptr);  // the launcher ignores it; the child must not inherit that
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        if (devNull > 2)
            close(devNull);
    }
    // No descriptor of the launcher survives the exec; the error pipe is close-on-exec already.
    close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
    if (chdir(workingDirectory) != 0) {
        error = errno;
    } else {
        execv(executable, argv);
        error = errno;
    }
    ssize_t ignored = write(errorPipe, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

}  // namespace

bool StartDetachedProcess(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& workingDirectory, int* errorNumber) {
    auto fail = [&](int error) {
        if (errorNumber)
            *errorNumber = error;
        return false;
    };
    std::string program = executable.string();
    std::string directory = workingDirectory.empty() ? std::string(".") : workingDirectory.string();
    std::vector<std::string> argvStrings;
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argvStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return fail(errno);

    pid_t child = fork();
    if (child < 0) {
        int error = errno;
        close(pipeFds[0]);
        close(pipeFds[1]);
        return fail(error);
    }
    if (child == 0) {
        // Intermediate child: a new session, then a grandchild that init adopts, so the launcher
        // never leaves a zombie and the game survives the launcher closing.
        close(pipeFds[0]);
        setsid();
        pid_t grandchild = fork();
        if (grandchild < 0) {
            int error = errno;
            ssize_t ignored = write(pipeFds[1], &error, sizeof error);
            (void)ignored;
            _exit(127);
        }
        if (grandchild == 0)
            ExecGrandchild(program.c_str(), argv.data(), directory.c_str(), pipeFds[1]);
        _exit(0);
    }

    close(pipeFds[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int execError = 0;
    ssize_t got;
    do {
        got = read(pipeFds[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    close(pipeFds[0]);
    if (got == static_cast<ssize_t>(sizeof execError))
        return fail(execError);
    if (got != 0)
        return fail(EIO);
    return true;  // EOF: the exec closed the pipe
}

bool OpenWithDesktop(const std::string& target) {
    return StartDetachedProcess("/usr/bin/xdg-open", {target}, "/");
}

bool StartInstaller(const std::filesystem::path& installer,
                    const std::vector<std::string>& arguments) {
    // ETXTBSY: a fork elsewhere in the process may briefly hold a copy of the write descriptor.
    for (int attempt = 0; attempt < 5; ++attempt) {
        int error = 0;
        if (StartDetachedProcess(installer, arguments, {}, &error))
            return true;
        if (error != ETXTBSY)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace qs
