// The simulated camera: its connections, its streams and its faults, run
// by one poll loop on the main thread. Every connection's stream is a timer
// in that loop, so there is nothing to race and stdout lines never
// interleave. Its members are defined in three files: camera.cpp (the loop
// and the listener), session.cpp (each connection's requests and answers)
// and streams.cpp (records on schedule, and the drops and freezes).
#ifndef CAMERA_SIM_CAMERA_H
#define CAMERA_SIM_CAMERA_H

#include "camera_wire.h"
#include "options.h"

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

struct Stream {
    uint32_t id;
    int32_t channel;
    Clock::time_point started;
    uint64_t sent = 0;
    bool froze = false;  // a stream freezes us at most once
};

struct Connection {
    int fd = -1;
    std::string peer;
    camwire::FrameReader in;
    std::vector<uint8_t> out;
    size_t out_start = 0;
    bool logged_in = false;
    bool dead = false;
    bool dropping = false;  // close once the output is flushed
    Clock::time_point drop_deadline;
    std::vector<Stream> streams;
};

// A client that stops reading must not make us buffer without bound: past
// this, its streams wait until it catches up.
constexpr size_t kOutputLimit = 1 << 20;
constexpr size_t kMaxConnections = 128;

class Camera {
public:
    explicit Camera(Options o) : opt_(std::move(o)) {}

    // Serves until SIGTERM or SIGINT (0), or until it cannot listen or poll
    // (1, said on stderr).
    int run();

private:
    // camera.cpp
    bool open_listener(bool first);
    void accept_clients();

    // session.cpp
    void read_from(Connection &c);
    void handle(Connection &c, const camwire::Frame &f);
    void on_login(Connection &c, const std::vector<uint8_t> &p);
    void on_start(Connection &c, const std::vector<uint8_t> &p);
    void on_stop(Connection &c, const std::vector<uint8_t> &p);
    void on_logout(Connection &c, const std::vector<uint8_t> &p);
    void on_ping(Connection &c, const std::vector<uint8_t> &p);
    bool refuses_this_start();
    void send(Connection &c, const std::vector<uint8_t> &bytes);
    void flush(Connection &c);
    void close_connection(Connection &c);
    void say_gone(const Connection &c, int error);

    // streams.cpp
    void run_streams(Connection &c, Clock::time_point now);
    void drop(Connection &c, const std::string &why);
    void freeze(const std::string &why);
    bool stay_frozen();
    float temperature(uint64_t index) const;
    Clock::time_point next_record_time(const Stream &s) const;
    int poll_timeout(Clock::time_point now) const;

    Options opt_;
    int listen_fd_ = -1;
    sockaddr_in listen_addr_{};
    bool away_ = false;
    Clock::time_point away_until_;
    Clock::time_point next_listen_try_;
    bool listen_error_told_ = false;
    uint64_t logins_seen_ = 0;
    uint64_t drops_done_ = 0;
    uint64_t starts_seen_ = 0;
    bool frozen_ = false;
    Clock::time_point frozen_since_, frozen_until_;
    uint64_t freezes_done_ = 0;
    std::list<Connection> connections_;
};

}  // namespace sim

#endif  // CAMERA_SIM_CAMERA_H
