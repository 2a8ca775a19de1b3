#include "net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

static std::runtime_error socket_error(const std::string &what, int error)
{
    return std::runtime_error(what + ": " + std::strerror(error));
}

static sockaddr_in ipv4(uint32_t host_address, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host_address);
    address.sin_port = htons(port);
    return address;
}

static uint16_t bound_port(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    // sin_port and sin6_port lie at the same place.
    return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
}

static int poll_timeout_ms(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left + 1);
}

// Connects a non-blocking socket within the deadline; returns 0 or errno.
static int connect_before(int fd, const sockaddr *address, socklen_t address_length, Clock::time_point deadline)
{
    if (connect(fd, address, address_length) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd pfd{fd, POLLOUT, 0};
    int ready;
    do
        ready = poll(&pfd, 1, poll_timeout_ms(deadline));
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return ready == 0 ? ETIMEDOUT : errno;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error;
}

TcpClient::TcpClient(uint16_t port, Millis timeout, const std::string &host)
{
    sockaddr_storage address{};
    socklen_t length = 0;
    if (host.find(':') != std::string::npos) {
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        length = sizeof v6;
        if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) != 1)
            throw std::runtime_error("not an IPv6 address: " + host);
    } else {
        auto &v4 = reinterpret_cast<sockaddr_in &>(address);
        v4 = ipv4(INADDR_LOOPBACK, port);
        length = sizeof v4;
        if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1)
            throw std::runtime_error("not an IPv4 address: " + host);
    }
    fd_ = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw socket_error("socket", errno);
    const int error =
        connect_before(fd_, reinterpret_cast<const sockaddr *>(&address), length, Clock::now() + timeout);
    if (error != 0) {
        ::close(fd_);
        throw socket_error("connect to " + host + " port " + std::to_string(port), error);
    }
    local_port_ = bound_port(fd_);
}

TcpClient::~TcpClient()
{
    close();
}

// Waits until the deadline for bytes and appends them; true when some came.
bool TcpClient::fill(Clock::time_point deadline)
{
    if (fd_ < 0 || eof_ || error_ != 0)
        return false;
    pollfd pfd{fd_, POLLIN, 0};
    int ready;
    do
        ready = poll(&pfd, 1, poll_timeout_ms(deadline));
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    char chunk[4096];
    const ssize_t count = recv(fd_, chunk, sizeof chunk, 0);
    if (count > 0) {
        buffer_.append(chunk, static_cast<size_t>(count));
        last_arrival_ = Clock::now();
        return true;
    }
    if (count == 0)
        eof_ = true;
    else if (errno != EAGAIN && errno != EINTR)
        error_ = errno;
    return false;
}

std::optional<Line> TcpClient::read_line(Millis timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            Line line{last_arrival_, buffer_.substr(0, end + 1)};
            buffer_.erase(0, end + 1);
            return line;
        }
        if (!fill(deadline) && (eof_ || error_ != 0 || fd_ < 0 || Clock::now() >= deadline))
            return std::nullopt;
    }
}

bool TcpClient::wait_eof(Millis timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!eof_ && error_ == 0 && fd_ >= 0 && Clock::now() < deadline)
        fill(deadline);
    return eof_;
}

bool TcpClient::send_text(const std::string &text)
{
    return fd_ >= 0 && send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

void TcpClient::close()
{
    if (fd_ < 0)
        return;
    // Closing with unread data would send a reset, not an end of stream, and
    // the server sends a line every second: so end our half first, and read
    // until the server has dropped us and closed its end.
    ::shutdown(fd_, SHUT_WR);
    wait_eof(std::chrono::seconds(10));
    ::close(fd_);
    fd_ = -1;
}

void TcpClient::reset()
{
    if (fd_ < 0)
        return;
    const linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    ::close(fd_);
    fd_ = -1;
}

TcpListener::TcpListener(uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw socket_error("socket", errno);
    const sockaddr_in address = ipv4(INADDR_ANY, port);
    if (bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || listen(fd_, 4) != 0) {
        const int error = errno;
        ::close(fd_);
        throw socket_error("listen on port " + std::to_string(port), error);
    }
    port_ = bound_port(fd_);
}

TcpListener::~TcpListener()
{
    ::close(fd_);
}

uint16_t free_tcp_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw socket_error("socket", errno);
    const sockaddr_in address = ipv4(INADDR_ANY, 0);
    const uint16_t port =
        bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ? bound_port(fd) : 0;
    const int error = errno;
    ::close(fd);
    if (port == 0)
        throw socket_error("bind to port 0", error);
    return port;
}

bool port_accepts_connections(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw socket_error("socket", errno);
    const sockaddr_in address = ipv4(INADDR_LOOPBACK, port);
    const bool accepted = connect_before(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address,
                                         Clock::now() + Millis(2000)) == 0;
    ::close(fd);
    return accepted;
}

bool ipv6_loopback_available()
{
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

}  // namespace testsupport
