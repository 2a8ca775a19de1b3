// The steady clock in milliseconds: the one clock that the camera link
// stamps each reading's arrival with and that the outputs measure its age
// and their own waits by. Any thread.
#ifndef THERMOMETRY_STEADY_TIME_H
#define THERMOMETRY_STEADY_TIME_H

#include <chrono>
#include <cstdint>

inline int64_t steady_now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

#endif  // THERMOMETRY_STEADY_TIME_H
