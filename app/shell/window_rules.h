#pragma once
// Window decisions of the shell, free of SDL so they can be tested.

// The strip of the client area that drags the window: the title strip between the sidebar and
// the window buttons.
bool IsInDragStrip(int x, int y);

// Shortest time between two frames. Presentation waits for the vertical blank, but a driver
// without vsync, a minimised window or a virtual display returns at once and would spin a core.
int MinimumFrameMilliseconds(bool vsyncActive, bool minimized);
