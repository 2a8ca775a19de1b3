// The orderly shutdown on SIGINT, SIGTERM or SIGHUP, carried out by the
// signal thread, and the main work lock that keeps it from cutting into a
// console line or a server cycle.
#ifndef THERMOMETRY_SHUTDOWN_H
#define THERMOMETRY_SHUTDOWN_H

#include <mutex>

// Held by the main thread while it does one piece of its periodic work (a
// console line, a server cycle, the readiness notice). A signal's shutdown
// takes it and keeps it until the process ends, so that no reading is
// printed or sent once the shutdown has begun: the reset temperature must
// never reach a client. Blocks for good once a shutdown has begun.
std::unique_lock<std::mutex> lock_main_work();

// Adds step to what a shutdown (or main, ending on a failure) does first,
// before the camera link goes down: an output that runs on a thread of its
// own says goodbye and stops. Each step runs once; at most four. Main
// thread, before the mode starts.
void add_shutdown_step(void (*step)());

#endif  // THERMOMETRY_SHUTDOWN_H
