#pragma once
#include <atomic>
#include <mutex>
#include <string>

#include "app/state.h"

// Worker body of a launcher release check and installer hand-off. Writes its final text to
// `statusText` under `statusMutex`, clears `busy`, and on a started installer calls `window`.
void LauncherUpdateTask(std::mutex* statusMutex, std::wstring* statusText, std::atomic<bool>* busy,
                        const WindowCloser* window);
