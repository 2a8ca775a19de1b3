// A login's requests from the entry points' side: the login exchange on a
// fresh connection, sending a request and waiting for its answer, and
// shutting the link down. Runs on the entry points' threads (call,
// shut_down), and on the link thread when it reconnects (exchange_login).
#include "login.h"

#include "socket_io.h"

#include <unistd.h>

#include <cerrno>

namespace standin {

uint32_t exchange_login(int fd, const std::string &user, const std::string &password, camwire::FrameReader &reader,
                        int wake_fd, Clock::time_point deadline, bool *heartbeat) {
    constexpr uint32_t kLoginSeq = 1;
    *heartbeat = false;
    Bytes msg = camwire::login_request(kLoginSeq, user, password);
    if (uint32_t err = send_all(fd, msg.data(), msg.size(), wake_fd, deadline)) return err;
    for (;;) {
        camwire::Frame f;
        if (uint32_t err = read_frame(fd, reader, f, wake_fd, deadline)) return err;
        if (f.type == camwire::kFeatures) {
            if (f.payload.size() != camwire::kFeaturesSize) return NET_DVR_NETWORK_ERRORDATA;
            *heartbeat = (camwire::get_u32(f.payload.data()) & camwire::kFeatureHeartbeat) != 0;
            continue;
        }
        if (f.type != camwire::kAnswer) continue;
        if (f.payload.size() != camwire::kAnswerSize) return NET_DVR_NETWORK_ERRORDATA;
        if (camwire::get_u32(f.payload.data()) != kLoginSeq) continue;
        return camwire::get_u32(f.payload.data() + 4);
    }
}

Login::~Login() {
    if (fd >= 0) ::close(fd);
    if (wake_r >= 0) ::close(wake_r);
    if (wake_w >= 0) ::close(wake_w);
}

Login::Result Login::call(const std::function<Bytes(uint32_t)> &build, Clock::time_point deadline) {
    uint32_t seq;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> lk(m);
        if (state != State::kUp) return {Outcome::kLinkDown, 0};
        seq = allocate_seq();
        gen = generation;
        pending[seq] = Pending{};
    }
    Bytes msg = build(seq);
    uint32_t send_error;
    {
        std::lock_guard<std::mutex> lk(send_m);
        if (fd < 0 || fd_generation != gen)
            send_error = NET_DVR_NETWORK_RECV_ERROR;
        else
            send_error = send_all(fd, msg.data(), msg.size(), wake_r, deadline);
    }
    std::unique_lock<std::mutex> lk(m);
    if (send_error == 0) {
        cv.wait_until(lk, deadline, [&] { return pending[seq].done || generation != gen; });
    }
    Pending p = pending[seq];
    pending.erase(seq);
    if (p.done) return {Outcome::kAnswered, p.code};
    if (generation != gen || state != State::kUp) return {Outcome::kLinkDown, 0};
    if (send_error) return {Outcome::kSendFailed, send_error};
    return {Outcome::kTimeout, 0};
}

void Login::shut_down() {
    {
        std::lock_guard<std::mutex> lk(m);
        state = State::kClosing;
        accepting = false;
        ++generation;
        cv.notify_all();
    }
    char byte = 1;
    while (::write(wake_w, &byte, 1) < 0 && errno == EINTR) {
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
    std::lock_guard<std::mutex> slk(send_m);
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace standin
