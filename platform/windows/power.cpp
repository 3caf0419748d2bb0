#include "platform/power.h"

#include <windows.h>

namespace qs {

SleepBlocker::~SleepBlocker() {
    hold(false);
}

void SleepBlocker::hold(bool transferRunning) {
    if (transferRunning == holding_)
        return;
    holding_ = transferRunning;
    SetThreadExecutionState(transferRunning ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}

}  // namespace qs
