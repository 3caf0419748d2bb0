#include "platform/power.h"

namespace qs {

SleepBlocker::~SleepBlocker() = default;

void SleepBlocker::hold(bool transferRunning) {
    holding_ = transferRunning;
}

}  // namespace qs
