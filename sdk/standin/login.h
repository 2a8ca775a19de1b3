// A login: one connection to a camera, the requests waiting for answers and
// the streams it carries. The entry points' threads send requests and wait
// (login.cpp); its link thread alone reads the socket (link_thread.cpp).
//
// Lock order, for the whole library:
//   the library lock (entry_points.cpp) -> Login::m -> Login::send_m -> Stream::m
// and, apart from those, the graveyard's lock (stream.cpp) -> Stream::m.
// Nothing waits on the network under the library lock. Under Login::m only
// a reconnection sends (its few START requests, bounded by the answer wait);
// no user callback runs under any of them.
#ifndef STANDIN_LOGIN_H
#define STANDIN_LOGIN_H

#include "camera_wire.h"
#include "deadline.h"
#include "stream.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace standin {

using Bytes = std::vector<uint8_t>;

// The login exchange on a fresh connection; 0 or the refusal's code.
// *heartbeat tells whether the camera said, ahead of its answer, that it
// answers PING. Runs on the calling thread: NET_DVR_Login_V30's or, when
// reconnecting, the link thread.
uint32_t exchange_login(int fd, const std::string &user, const std::string &password, camwire::FrameReader &reader,
                        int wake_fd, Clock::time_point deadline, bool *heartbeat);

struct Login {
    enum class State { kUp, kDown, kDead, kClosing };

    // Set under the library lock when the login is registered (its link
    // thread, already running, never reads it); then only read.
    int32_t id = 0;
    std::string host;
    uint16_t port = 0;
    std::string user;
    std::string password;

    // Guards the fields below up to send_m.
    std::mutex m;
    std::condition_variable cv;
    State state = State::kUp;
    uint64_t generation = 1;  // bumped whenever the connection goes away
    bool accepting = true;    // false once Logout/Cleanup has begun
    uint32_t next_seq = 2;
    struct Pending {
        bool done = false;
        uint32_t code = 0;
    };
    std::map<uint32_t, Pending> pending;
    std::map<uint32_t, std::shared_ptr<Stream>> streams;  // running or to be restarted, by handle
    std::map<uint32_t, uint32_t> restarts;                // seq -> handle, after a reconnect
    std::set<uint32_t> refused;   // handles whose restart the camera refused, until the next try
    Clock::time_point retry_at;   // the next try, while `refused` is not empty

    // Guards sending on fd, and fd itself.
    std::mutex send_m;
    int fd = -1;  // changed only by the link thread, under send_m
    uint64_t fd_generation = 1;

    int wake_r = -1;  // readable once the link is closing
    int wake_w = -1;
    std::thread thread;
    camwire::FrameReader first_reader;
    // The camera on the connection answers PING. Set by the login before the
    // link thread starts, then only by that thread.
    bool heartbeat = false;

    ~Login();

    enum class Outcome { kAnswered, kLinkDown, kTimeout, kSendFailed };
    struct Result {
        Outcome outcome;
        uint32_t code;
    };

    // Under m.
    uint32_t allocate_seq() {
        uint32_t seq = next_seq++;
        if (next_seq == 0) next_seq = 2;
        return seq;
    }

    // Sends one request and waits for its answer. Any thread but the link
    // thread; takes m and send_m, neither held on entry.
    Result call(const std::function<Bytes(uint32_t)> &build, Clock::time_point deadline);

    // Under m: whether a START sent again for handle is still unanswered.
    bool restarting(uint32_t handle) const {
        return std::any_of(restarts.begin(), restarts.end(), [&](const auto &r) { return r.second == handle; });
    }

    // The link thread (link_thread.cpp).
    void run();
    uint32_t serve(camwire::FrameReader &reader);
    void send_ping(Clock::time_point deadline);
    Clock::time_point retry_refused(Clock::time_point now);
    bool dispatch(const camwire::Frame &f);
    void lose_connection(uint32_t code);
    bool reconnect(camwire::FrameReader &reader);

    // Stops the link thread and closes the connection. Idempotent; any
    // thread, the link thread's own included (it is then not joined).
    void shut_down();
};

}  // namespace standin

#endif  // STANDIN_LOGIN_H
