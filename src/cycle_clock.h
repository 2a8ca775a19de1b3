// The one-second pace of the main loop (console lines, server cycles) on
// fixed deadlines of the monotonic clock: the period stays one second
// whatever a cycle's work costs. Main thread.
#ifndef THERMOMETRY_CYCLE_CLOCK_H
#define THERMOMETRY_CYCLE_CLOCK_H

#include <cstdint>

// Where the next cycle falls when the one due at deadline_ns is taken at
// now_ns: on time (now before the deadline), the deadline itself; late by
// less than a period, now, the deadline kept; late by more, the latest
// deadline of the grid that has passed, the earlier ones counted in
// *skipped. Pure.
struct cycle_slot {
    int64_t deadline_ns;  // the grid point this cycle stands for
    int64_t skipped;      // whole cycles passed over to reach it
};
cycle_slot place_cycle(int64_t deadline_ns, int64_t now_ns, int64_t period_ns);

class cycle_clock {
public:
    // The first cycle is due now.
    cycle_clock();

    // Sleeps until the next cycle is due and returns. A cycle that comes
    // late (the process was paused, the machine busy) runs once, at once;
    // the cycles wholly missed are skipped, not caught up, and that is
    // logged at most once a minute.
    void wait_for_next_cycle();

private:
    void report_skipped(int64_t now_ns);

    int64_t deadline_ns_;
    int64_t unreported_skips_ = 0;
    int64_t last_report_ns_;
    int64_t latest_late_ns_ = 0;
};

#endif  // THERMOMETRY_CYCLE_CLOCK_H
