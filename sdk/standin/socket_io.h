// Socket helpers of the stand-in: connecting to a camera, sending all of a
// message, reading one frame, each bounded by a deadline and cut short when
// a wake descriptor becomes readable. Stateless: any thread, on a socket
// that thread may use (see login.h for who sends and who reads).
#ifndef STANDIN_SOCKET_IO_H
#define STANDIN_SOCKET_IO_H

#include "camera_wire.h"
#include "deadline.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace standin {

// Owns one descriptor and closes it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        if (this != &o) reset(std::exchange(o.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// In each of these, wake_fd is a descriptor (-1: none) whose becoming
// readable ends the wait early.

// Sends all of data on the non-blocking socket fd; 0 or an SDK error code
// (NET_DVR_NETWORK_RECV_ERROR when woken).
uint32_t send_all(int fd, const uint8_t *data, size_t length, int wake_fd, Clock::time_point deadline);

// Connects to host:port, each of `tries` attempts bounded by wait_ms.
// Returns the connected non-blocking socket, or -1 with *error set.
int connect_camera(const std::string &host, uint16_t port, uint32_t wait_ms, uint32_t tries, int wake_fd,
                   uint32_t *error);

// Reads from fd into reader until it yields a frame. 0 when `out` holds one,
// else an SDK error code (or NET_DVR_NETWORK_RECV_ERROR when woken).
uint32_t read_frame(int fd, camwire::FrameReader &reader, camwire::Frame &out, int wake_fd,
                    Clock::time_point deadline);

}  // namespace standin

#endif  // STANDIN_SOCKET_IO_H
