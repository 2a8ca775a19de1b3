// SIGTERM and SIGINT for camera-sim, by a self-pipe: the handler only notes
// the signal and writes a byte, the poll loop on the main thread sees it.
#ifndef CAMERA_SIM_SIGNALS_H
#define CAMERA_SIM_SIGNALS_H

namespace sim {

// Makes the pipe, installs the handlers, ignores SIGPIPE and unblocks
// SIGTERM and SIGINT. False, with errno from pipe2, when there is no pipe.
bool install_signal_handlers();

// Readable once a signal has come; the read end of the pipe.
int signal_wake_fd();

// The last signal that came, or 0.
int caught_signal();

}  // namespace sim

#endif  // CAMERA_SIM_SIGNALS_H
