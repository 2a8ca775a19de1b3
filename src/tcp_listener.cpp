// The TCP server's listening socket: created, bound and listening, or a
// logged reason why not. Main thread, once.
#include "tcp_listener.h"

#include "log_writer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// The kernel caps the backlog at its own limit (net.core.somaxconn). A full
// accept queue is not harmless: the kernel may still complete handshakes
// whose connections it then never hands over, and those clients wait for
// nothing without an error.
static constexpr int listen_backlog = SOMAXCONN;

static std::string error_text(int error)
{
    return std::strerror(error);
}

int open_listener(int port)
{
    const std::string port_text = std::to_string(port);
    if (port < 1 || port > 65535) {
        log_message("Invalid TCP port " + port_text + ": must be between 1 and 65535");
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        log_message("Failed to create socket: " + error_text(error));
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        const int error = errno;
        log_message("Bind failed on port " + port_text + ": " + error_text(error));
        close(fd);
        return -1;
    }
    if (listen(fd, listen_backlog) < 0) {
        const int error = errno;
        log_message("Listen failed on port " + port_text + ": " + error_text(error));
        close(fd);
        return -1;
    }
    log_message(" TCP server successfully started on port " + port_text);
    log_message(" Waiting for client connections...");
    return fd;
}

