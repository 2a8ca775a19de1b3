// The simulated camera's poll loop and its listener: accepting clients,
// going away and listening again. Main thread only.
#include "camera.h"
#include "output.h"
#include "signals.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

bool Camera::open_listener(bool first) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    std::string shown = opt_.listen_host + ":" + std::to_string(opt_.listen_port);
    int rc = ::getaddrinfo(opt_.listen_host.c_str(), nullptr, &hints, &list);
    if (rc != 0 || list == nullptr) {
        std::fprintf(stderr, "cannot listen on %s: %s\n", shown.c_str(), ::gai_strerror(rc));
        return false;
    }
    sockaddr_in addr;
    std::memcpy(&addr, list->ai_addr, sizeof addr);
    ::freeaddrinfo(list);
    // A port picked by the system the first time is kept when coming back.
    addr.sin_port = first ? htons(opt_.listen_port) : listen_addr_.sin_port;

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || ::listen(fd, 64) < 0) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        if (first || !listen_error_told_)
            std::fprintf(stderr, "cannot listen on %s: %s\n", shown.c_str(), std::strerror(err));
        listen_error_told_ = true;
        return false;
    }
    socklen_t len = sizeof listen_addr_;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&listen_addr_), &len);
    listen_fd_ = fd;
    listen_error_told_ = false;
    say("%s %s", first ? "listening on" : "listening again on", endpoint(listen_addr_).c_str());
    return true;
}

void Camera::accept_clients() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // EAGAIN, or out of descriptors: try again next round
        }
        if (connections_.size() >= kMaxConnections) {
            say("connection from %s refused: too many connections", endpoint(peer).c_str());
            ::close(fd);
            continue;
        }
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connections_.emplace_back();
        Connection &c = connections_.back();
        c.fd = fd;
        c.peer = endpoint(peer);
        say("connection from %s", c.peer.c_str());
    }
}
int Camera::run() {
    if (!open_listener(true)) return 1;
    for (;;) {
        if (!caught_signal() && stay_frozen()) continue;
        Clock::time_point now = Clock::now();
        std::vector<pollfd> fds;
        fds.push_back({signal_wake_fd(), POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        std::vector<Connection *> polled;
        for (Connection &c : connections_) {
            if (c.dead) continue;
            short events = POLLIN;
            if (c.out_start < c.out.size()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            polled.push_back(&c);
        }
        int n = ::poll(fds.data(), fds.size(), poll_timeout(now));
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "camera-sim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (caught_signal()) {
            say("exiting on signal %d", caught_signal());
            for (Connection &c : connections_) close_connection(c);
            if (listen_fd_ >= 0) ::close(listen_fd_);
            return 0;
        }
        if (n > 0) {
            for (size_t i = 0; i < polled.size(); ++i) {
                Connection &c = *polled[i];
                short re = fds[i + 2].revents;
                if (re & POLLOUT) flush(c);
                if (!c.dead && (re & (POLLIN | POLLHUP | POLLERR))) read_from(c);
            }
            if (listen_fd_ >= 0 && (fds[1].revents & POLLIN)) accept_clients();
        }
        now = Clock::now();
        for (Connection &c : connections_) {
            if (frozen_) break;
            if (c.dead) continue;
            if (c.dropping) {
                if (c.out.empty() || now >= c.drop_deadline) close_connection(c);
                continue;
            }
            run_streams(c, now);
        }
        connections_.remove_if([](const Connection &c) { return c.dead; });
        if (away_ && now >= away_until_) {
            away_ = false;
            next_listen_try_ = now;
        }
        if (!away_ && listen_fd_ < 0 && now >= next_listen_try_) {
            if (!open_listener(false)) next_listen_try_ = now + std::chrono::milliseconds(100);
        }
    }
}

}  // namespace sim
