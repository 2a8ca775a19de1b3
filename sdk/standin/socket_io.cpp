// Socket helpers of the stand-in: waiting on a descriptor, sending, the
// connection's options, connecting and reading one frame. Stateless; run on
// the calling thread (an entry point's or a link thread).
#include "socket_io.h"

#include "hcnetsdk.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace standin {

namespace {

enum class Wait { kReady, kTimeout, kWoken, kError };

// Waits for events on fd, or for wake_fd (-1: none) to become readable.
Wait wait_fd(int fd, short events, int wake_fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
        int n = ::poll(p, wake_fd >= 0 ? 2 : 1, remaining_ms(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Wait::kError;
        }
        if (wake_fd >= 0 && p[1].revents) return Wait::kWoken;
        if (p[0].revents) return Wait::kReady;
        if (Clock::now() >= deadline) return Wait::kTimeout;
    }
}

void tune_socket(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A camera that vanishes without a word (power, cable) would otherwise
    // leave the link waiting forever for its next record.
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
#ifdef TCP_KEEPIDLE
    int idle = 10, interval = 2, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

}  // namespace

uint32_t send_all(int fd, const uint8_t *data, size_t length, int wake_fd, Clock::time_point deadline) {
    while (length > 0) {
        ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            Wait w = wait_fd(fd, POLLOUT, wake_fd, deadline);
            if (w == Wait::kReady) continue;
            return w == Wait::kWoken ? NET_DVR_NETWORK_RECV_ERROR : NET_DVR_NETWORK_SEND_ERROR;
        }
        return NET_DVR_NETWORK_SEND_ERROR;
    }
    return 0;
}

int connect_camera(const std::string &host, uint16_t port, uint32_t wait_ms, uint32_t tries, int wake_fd,
                   uint32_t *error) {
    *error = NET_DVR_NETWORK_FAIL_CONNECT;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *list = nullptr;
    std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) return -1;
    std::vector<sockaddr_in> addresses;
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen == sizeof(sockaddr_in)) {
            sockaddr_in a;
            std::memcpy(&a, ai->ai_addr, sizeof a);
            addresses.push_back(a);
        }
    }
    ::freeaddrinfo(list);

    for (uint32_t attempt = 0; attempt < tries; ++attempt) {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
        for (const sockaddr_in &a : addresses) {
            UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            if (fd.get() < 0) {
                *error = NET_DVR_ALLOC_RESOURCE_ERROR;
                return -1;
            }
            int rc;
            do {
                rc = ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&a), sizeof a);
            } while (rc < 0 && errno == EINTR);
            if (rc < 0 && errno != EINPROGRESS) continue;
            if (rc < 0) {
                Wait w = wait_fd(fd.get(), POLLOUT, wake_fd, deadline);
                if (w == Wait::kWoken) return -1;
                if (w != Wait::kReady) continue;
                int so_error = 0;
                socklen_t len = sizeof so_error;
                if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &so_error, &len) < 0 || so_error != 0) continue;
            }
            tune_socket(fd.get());
            *error = 0;
            return fd.release();
        }
        if (wake_fd >= 0) {
            pollfd p{wake_fd, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) return -1;
        }
    }
    return -1;
}

uint32_t read_frame(int fd, camwire::FrameReader &reader, camwire::Frame &out, int wake_fd,
                    Clock::time_point deadline) {
    uint8_t chunk[4096];
    for (;;) {
        switch (reader.next(out)) {
        case camwire::FrameReader::kFrame: return 0;
        case camwire::FrameReader::kMalformed: return NET_DVR_NETWORK_ERRORDATA;
        case camwire::FrameReader::kNeedMore: break;
        }
        Wait w = wait_fd(fd, POLLIN, wake_fd, deadline);
        if (w == Wait::kTimeout) return NET_DVR_NETWORK_RECV_TIMEOUT;
        if (w != Wait::kReady) return NET_DVR_NETWORK_RECV_ERROR;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            reader.feed(chunk, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return NET_DVR_NETWORK_RECV_ERROR;
        }
    }
}

}  // namespace standin
