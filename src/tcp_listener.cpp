// The TCP server's listening sockets: the service manager's, or our own,
// created, bound and listening, or a logged reason why not. Main thread, once.
#include "tcp_listener.h"

#include "log_writer.h"
#include "socket_activation.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// The kernel caps the backlog at its own limit (net.core.somaxconn). A full
// accept queue is not harmless: the kernel may still complete handshakes
// whose connections it then never hands over, and those clients wait for
// nothing without an error.
static constexpr int listen_backlog = SOMAXCONN;

static std::string error_text(int error)
{
    return std::strerror(error);
}

std::string address_ip_text(const sockaddr_storage &address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, text, sizeof text);
    }
    return text;
}

uint16_t address_port(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    return 0;
}

// What a failed attempt to listen stopped at.
enum class listen_step { socket, dual_stack, bind, listen };

// A socket of family listening at port on every local address, or -1 with
// the failed step and its error.
static int listen_on_any(int family, int port, listen_step *step, int *error)
{
    *step = listen_step::socket;
    const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        // IPv4 clients too, on the same socket, whatever net.ipv6.bindv6only says.
        const int off = 0;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
            *step = listen_step::dual_stack;
            *error = errno;
            close(fd);
            return -1;
        }
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_any;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof v6;
    } else {
        auto &v4 = reinterpret_cast<sockaddr_in &>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        v4.sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof v4;
    }
    *step = listen_step::bind;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
        *step = listen_step::listen;
        if (listen(fd, listen_backlog) == 0)
            return fd;
    }
    *error = errno;
    close(fd);
    return -1;
}

// Whether a failed IPv6 attempt means that the host has no (dual-stack)
// IPv6: the kernel or a sandbox refuses the family, or :: cannot be bound.
static bool ipv6_missing(listen_step step, int error)
{
    return (step == listen_step::socket && (error == EAFNOSUPPORT || error == EPROTONOSUPPORT)) ||
           (step == listen_step::bind && error == EADDRNOTAVAIL) || step == listen_step::dual_stack;
}

static void log_started(int port)
{
    log_message(" TCP server successfully started on port " + std::to_string(port));
    log_message(" Waiting for client connections...");
}

static int open_own_listener(int port)
{
    listen_step step = listen_step::socket;
    int error = 0;
    int fd = listen_on_any(AF_INET6, port, &step, &error);
    if (fd < 0 && ipv6_missing(step, error)) {
        log_message("IPv6 is not available on this host (" + error_text(error) + "): serving IPv4 clients only");
        fd = listen_on_any(AF_INET, port, &step, &error);
    }
    if (fd >= 0) {
        log_started(port);
        return fd;
    }
    const std::string port_text = std::to_string(port);
    if (step == listen_step::socket || step == listen_step::dual_stack)
        log_message("Failed to create socket: " + error_text(error));
    else if (step == listen_step::bind)
        log_message("Bind failed on port " + port_text + ": " + error_text(error));
    else
        log_message("Listen failed on port " + port_text + ": " + error_text(error));
    return -1;
}

static std::vector<int> use_passed_listeners(const std::vector<int> &fds, int port)
{
    uint16_t first_port = 0;
    for (int fd : fds) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        const uint16_t own_port = address_port(address);
        const std::string ip = address_ip_text(address);
        log_message(" Serving the listening socket passed by the service manager: FD=" + std::to_string(fd) +
                    ", " + (ip.find(':') != std::string::npos ? "[" + ip + "]" : ip) + ":" +
                    std::to_string(own_port) +
                    (own_port != port ? " (its port, not " + std::to_string(port) + " of -t)" : ""));
        if (first_port == 0)
            first_port = own_port;
    }
    log_started(first_port);
    return fds;
}

std::vector<int> open_listeners(int port)
{
    if (port < 1 || port > 65535) {
        log_message("Invalid TCP port " + std::to_string(port) + ": must be between 1 and 65535");
        return {};
    }
    const passed_sockets &passed = service_manager_sockets();
    if (!passed.error.empty()) {
        log_message("Cannot serve the sockets passed by the service manager: " + passed.error);
        return {};
    }
    if (!passed.fds.empty())
        return use_passed_listeners(passed.fds, port);
    const int fd = open_own_listener(port);
    if (fd < 0)
        return {};
    return {fd};
}
