#include "camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

static constexpr uint16_t camera_port = 8000;
static constexpr int address_attempts = 32;

std::string next_loopback_address()
{
    static std::atomic<uint32_t> counter{0};
    // 64 addresses per process before they repeat another process's; an
    // address that is taken all the same is skipped by the callers.
    constexpr uint32_t per_b = 254, per_a = 256 * per_b, a_count = 224;
    const uint32_t key = (static_cast<uint32_t>(getpid()) * 64u + counter++ % 64u) % (a_count * per_a);
    return "127." + std::to_string(16 + key / per_a) + "." + std::to_string(key % per_a / per_b) + "." +
           std::to_string(1 + key % per_b);
}

std::string camera_url(const std::string &address)
{
    return "rtsp://admin:secret@" + address + ":554/live";
}

CameraSim::CameraSim(const std::vector<std::string> &options)
{
    // Under an emulator the simulator takes a while to come up.
    const Millis ready_timeout(20000);
    std::string last_failure;
    for (int attempt = 0; attempt < address_attempts; ++attempt) {
        address_ = next_loopback_address();
        std::vector<std::string> argv{simulator_path(), "--listen", address_ + ":" + std::to_string(camera_port)};
        argv.insert(argv.end(), options.begin(), options.end());
        process_ = std::make_unique<Process>(argv, "/");
        if (process_->wait_for_output("listening on", ready_timeout))
            return;
        const std::optional<ExitStatus> status = process_->wait_exit(Millis(5000));
        last_failure = "camera-sim on " + address_ + ": stdout [" + process_->out() + "] stderr [" +
                       process_->err() + "]";
        if (!status || process_->err().find("cannot listen") == std::string::npos)
            break;
    }
    process_.reset();
    throw std::runtime_error("camera-sim did not start: " + last_failure);
}

AbsentCamera::AbsentCamera()
{
    for (int attempt = 0; attempt < address_attempts; ++attempt) {
        address_ = next_loopback_address();
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(camera_port);
        inet_pton(AF_INET, address_.c_str(), &address.sin_addr);
        // No SO_REUSEADDR: nobody else may bind this address and port now.
        if (bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            return;
        close(fd_);
        fd_ = -1;
    }
    throw std::runtime_error("no free loopback address for an absent camera");
}

AbsentCamera::~AbsentCamera()
{
    close(fd_);
}

}  // namespace testsupport
