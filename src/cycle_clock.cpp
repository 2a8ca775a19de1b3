// The main loop's fixed one-second deadlines. A cycle_clock belongs to the
// thread that waits on it, the main thread.
#include "cycle_clock.h"

#include "log_writer.h"

#include <time.h>

#include <cerrno>
#include <string>

static constexpr int64_t cycle_period_ns = 1000000000;
// Skipped cycles are logged at most this often, so that a machine that is
// busy for hours writes a line a minute, not one a cycle.
static constexpr int64_t skip_report_interval_ns = 60 * cycle_period_ns;

static int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

static void sleep_until(int64_t deadline_ns)
{
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
    until.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

cycle_slot place_cycle(int64_t deadline_ns, int64_t now_ns, int64_t period_ns)
{
    if (now_ns < deadline_ns + period_ns)
        return {deadline_ns, 0};
    const int64_t skipped = (now_ns - deadline_ns) / period_ns;
    return {deadline_ns + skipped * period_ns, skipped};
}

cycle_clock::cycle_clock() : deadline_ns_(monotonic_ns()), last_report_ns_(deadline_ns_ - skip_report_interval_ns) {}

void cycle_clock::wait_for_next_cycle()
{
    const int64_t now_ns = monotonic_ns();
    const int64_t due_ns = deadline_ns_ + cycle_period_ns;
    const cycle_slot slot = place_cycle(due_ns, now_ns, cycle_period_ns);
    deadline_ns_ = slot.deadline_ns;
    if (slot.skipped > 0) {
        unreported_skips_ += slot.skipped;
        latest_late_ns_ = now_ns - due_ns;
    }
    report_skipped(now_ns);
    if (now_ns < deadline_ns_)
        sleep_until(deadline_ns_);
}

void cycle_clock::report_skipped(int64_t now_ns)
{
    if (unreported_skips_ == 0 || now_ns - last_report_ns_ < skip_report_interval_ns)
        return;
    log_message("Cycles skipped: " + std::to_string(unreported_skips_) + " (the last time the loop woke " +
                std::to_string(latest_late_ns_ / 1000000) +
                " ms past a deadline: the process was paused or the machine was busy)");
    unreported_skips_ = 0;
    last_report_ns_ = now_ns;
}
