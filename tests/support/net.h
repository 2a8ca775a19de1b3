// TCP on loopback for tests: a line-reading client of the program's server,
// a listener that holds a port, and a free-port finder.
#ifndef THERMOMETRY_TESTS_NET_H
#define THERMOMETRY_TESTS_NET_H

#include "process.h"

#include <cstdint>
#include <optional>
#include <string>

namespace testsupport {

class TcpClient {
public:
    // Connects to host (a numeric IPv4 or IPv6 address) at port within
    // timeout; throws std::runtime_error, whose text begins with the errno
    // name's strerror text after "connect ...: ".
    TcpClient(uint16_t port, Millis timeout, const std::string &host = "127.0.0.1");
    ~TcpClient();
    TcpClient(const TcpClient &) = delete;
    TcpClient &operator=(const TcpClient &) = delete;

    uint16_t local_port() const { return local_port_; }

    // The next complete line, '\n' included, with the time its last byte
    // arrived; nullopt on timeout, end of stream or error.
    std::optional<Line> read_line(Millis timeout);
    // Reads until the peer ends the stream; true when that happened within
    // timeout. What came before the end is kept for read_line.
    bool wait_eof(Millis timeout);
    bool eof() const { return eof_; }
    int error() const { return error_; }  // errno of a failed read, or 0
    // Bytes received that are not yet part of a returned line.
    const std::string &unread() const { return buffer_; }

    bool send_text(const std::string &text);
    // An orderly close: the server sees end of stream; returns once the
    // server has closed its end too (or after ten seconds).
    void close();
    void reset();  // SO_LINGER 0, then close: the server sees a reset

private:
    bool fill(Clock::time_point deadline);

    int fd_ = -1;
    uint16_t local_port_ = 0;
    std::string buffer_;
    Clock::time_point last_arrival_{};
    bool eof_ = false;
    int error_ = 0;
};

// A socket listening on port (0: any free one) of every IPv4 address, so
// that nobody else can listen there while it lives.
class TcpListener {
public:
    explicit TcpListener(uint16_t port = 0);
    ~TcpListener();
    TcpListener(const TcpListener &) = delete;
    TcpListener &operator=(const TcpListener &) = delete;
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A TCP port that was free a moment ago (bound to port 0, read, closed);
// someone may take it in between, which tests accept.
uint16_t free_tcp_port();

// Whether a connection to 127.0.0.1:port is accepted right now.
bool port_accepts_connections(uint16_t port);

// Whether this machine has the IPv6 loopback address ::1 (a container may
// not), where "localhost" may lead first.
bool ipv6_loopback_available();

}  // namespace testsupport

#endif  // THERMOMETRY_TESTS_NET_H
