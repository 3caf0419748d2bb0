// Preloaded (LD_PRELOAD) into qs_bench_download for its "transfer only" run, never part of the
// launcher: fsync, fdatasync and syncfs return at once, so the figure shows the network, digest and
// file-writing path without the disk's flush latency (curl flushes nothing either).
#include <unistd.h>

extern "C" int fsync(int) {
    return 0;
}

extern "C" int fdatasync(int) {
    return 0;
}

extern "C" int syncfs(int) {
    return 0;
}
