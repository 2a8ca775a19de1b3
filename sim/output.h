// camera-sim's stdout: one line per event, which the tests and the demo
// read. Main thread only (the simulator has no other).
#ifndef CAMERA_SIM_OUTPUT_H
#define CAMERA_SIM_OUTPUT_H

#include <netinet/in.h>

#include <string>

namespace sim {

// Prints one line and flushes it. Exits (status 0) when stdout is gone, as
// then whoever started us is gone too and no one could stop us any more.
__attribute__((format(printf, 1, 2))) void say(const char *format, ...);

// "ADDRESS:PORT" of an IPv4 socket address.
std::string endpoint(const sockaddr_in &a);

}  // namespace sim

#endif  // CAMERA_SIM_OUTPUT_H
