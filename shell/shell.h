#pragma once
namespace qs {

// The launcher's window and main loop. Returns the process exit code: 0 after a normal
// shutdown, 1 when no window with its graphics device (OpenGL 3.3 on Linux, Direct3D 11 on
// Windows) can be made.
int RunLauncher();

}  // namespace qs
