#pragma once
// Which programs are running on this machine, as far as the player may see.
#include <filesystem>

namespace qs {

// Whether some process runs the program file `executable`: its image is that file (by identity,
// not by spelling), or, on Linux, an interpreter was started with it as its script. Processes the
// player may not look into, and a file that does not exist, count as not running it.
bool ProgramIsRunning(const std::filesystem::path& executable);

}  // namespace qs
