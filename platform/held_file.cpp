#include "platform/held_file.h"

#include <thread>

namespace qs {

int RetryWhileHeld(const std::function<int()>& attempt, const std::function<bool(int)>& isHeld,
                   const HeldFileRetry& retry) {
    int error = attempt();
    if (error == 0)
        return 0;
    const HeldFileRetry::Clock::time_point firstFailure = retry.now();
    for (;;) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(retry.now() - firstFailure);
        if (!TryHeldFileAgain(isHeld(error), elapsed, retry.patience))
            return error;
        if (retry.sleep)
            retry.sleep(retry.pause);
        else
            std::this_thread::sleep_for(retry.pause);
        error = attempt();
        if (error == 0)
            return 0;
    }
}

}  // namespace qs
