// Preloaded into the launcher by qs_bench_startup (LD_PRELOAD), never part of the launcher: at the
// first SDL_GL_SwapWindow it lets the swap happen, writes the monotonic clock to stderr as
// "qs-first-frame <nanoseconds>" and ends the process.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

extern "C" void SDL_GL_SwapWindow(void* window) {
    using Swap = void (*)(void*);
    auto real = reinterpret_cast<Swap>(dlsym(RTLD_NEXT, "SDL_GL_SwapWindow"));
    if (real)
        real(window);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long nanoseconds = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    dprintf(STDERR_FILENO, "qs-first-frame %lld\n", nanoseconds);
    _exit(0);
}
