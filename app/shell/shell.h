#pragma once
// The launcher's window and main loop. Returns the process exit code: 0 after a normal
// shutdown, 1 when no window with an OpenGL 3.3 context can be made.
int RunLauncher();
