// The clock every wait of the stand-in is bounded by, and how a deadline
// becomes a poll timeout. Stateless; any thread.
#ifndef STANDIN_DEADLINE_H
#define STANDIN_DEADLINE_H

#include <chrono>

namespace standin {

using Clock = std::chrono::steady_clock;

// Milliseconds until deadline for poll(): 0 once it has passed, rounded up
// so that a wait never ends just short of it, at most a minute.
inline int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left) + 1;
}

}  // namespace standin

#endif  // STANDIN_DEADLINE_H
