// The TCP server's listening socket. Main thread.
#ifndef THERMOMETRY_TCP_LISTENER_H
#define THERMOMETRY_TCP_LISTENER_H

// Creates a non-blocking, close-on-exec socket listening on port on every
// local IPv4 address and logs that the server has started. Returns it, or -1
// after a logged failure (an invalid port, a port in use).
int open_listener(int port);

#endif  // THERMOMETRY_TCP_LISTENER_H
