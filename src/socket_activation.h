// Listening sockets handed over by the service manager (systemd's socket
// activation: $LISTEN_PID and $LISTEN_FDS), so that the port stays open
// while the program restarts. Without them nothing changes.
#ifndef THERMOMETRY_SOCKET_ACTIVATION_H
#define THERMOMETRY_SOCKET_ACTIVATION_H

#include <string>
#include <vector>

struct passed_sockets {
    std::vector<int> fds;  // listening TCP sockets, non-blocking, close-on-exec
    std::string error;     // why the ones passed cannot be served; "" when they can
};

// What take_passed_sockets() found. Main thread.
const passed_sockets &service_manager_sockets();

#endif  // THERMOMETRY_SOCKET_ACTIVATION_H
