#pragma once
// The command line of quillon-publish, apart from main() so tests can run it.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/publish/publish.h"

namespace qs::publish {

// "hashing 12 of 40 files, 1.2 of 2.0 GiB, 3 s left" (the time once it can be told).
std::string FormatProgress(const Progress& progress, double elapsedSeconds);
// "1.5 GiB", "12.0 MiB", "512 bytes"
std::string FormatSize(std::uint64_t bytes);

// Runs the tool with `arguments` (without the program name). Progress goes to `err` only when
// `terminal` is true. Returns the exit status: 0 published, 1 refused or failed, 2 usage.
int PublishMain(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                bool terminal);

}  // namespace qs::publish
