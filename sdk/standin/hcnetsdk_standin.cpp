// Stand-in camera SDK: the nine operations of hcnetsdk.h over the TCP
// protocol of sdk/PROTOCOL.md, served for real by sim/camera_sim.cpp.
//
// Threads and locks. Each login has one link thread that alone reads its
// socket: it hands answers to the callers waiting for them and records to
// the streams, keeps the link alive with PING, starts streams the camera
// refused again, and reconnects after a drop. Each stream has one callback
// thread that alone calls the user's callback, from a queue, holding no lock.
// So no user code ever runs under a lock of ours, and the link thread never
// waits for user code: a slow or stopping callback cannot hold up the answer
// that Stop/Logout are waiting for.
// Lock order: g.m -> Login::m -> Login::send_m -> Stream::m; grave_m is a
// leaf. Nothing blocks on the network while holding g.m or Login::m.
#include "hcnetsdk.h"

#include "camera_wire.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#define SDK_API extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

thread_local uint32_t t_last_error = NET_DVR_NOERROR;

int fail(uint32_t code) {
    t_last_error = code;
    return 0;
}

int32_t fail_id(uint32_t code) {
    t_last_error = code;
    return -1;
}

int succeed() {
    t_last_error = NET_DVR_NOERROR;
    return 1;
}

constexpr uint32_t kDefaultConnectWaitMs = 3000;
constexpr uint32_t kMaxConnectWaitMs = 75000;
constexpr uint32_t kMaxConnectTries = 16;
constexpr uint32_t kDefaultReconnectMs = 30000;
constexpr uint32_t kMinReconnectMs = 100;
// A callback slower than the camera would otherwise let the queue eat
// memory; past this many waiting records the oldest data record goes.
constexpr size_t kMaxQueuedRecords = 1024;
constexpr int32_t kStatusFailed = NET_SDK_CALLBACK_STATUS_FAILED;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 60000 ? 60000 : static_cast<int>(left) + 1;
}

// ---- sockets ---------------------------------------------------------------

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

// Sends all of data on the non-blocking socket fd; 0 or an SDK error code.
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

// Connects to host:port, each of `tries` attempts bounded by wait_ms.
// Returns the connected non-blocking socket, or -1 with *error set.
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

// Reads from fd into reader until it yields a frame. 0 when `out` holds one,
// else an SDK error code (or NET_DVR_NETWORK_RECV_ERROR when woken).
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

// The login exchange on a fresh connection; 0 or the refusal's code.
// *heartbeat tells whether the camera said, ahead of its answer, that it
// answers PING.
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

// ---- streams ---------------------------------------------------------------

struct Record {
    uint32_t type;
    uint32_t length;
    std::array<uint8_t, camwire::kRecordSize> bytes;
};

Record status_record(int32_t status, uint32_t code) {
    Record r{NET_SDK_CALLBACK_TYPE_STATUS, 8, {}};
    std::memcpy(r.bytes.data(), &status, 4);
    std::memcpy(r.bytes.data() + 4, &code, 4);
    return r;
}

struct Login;

struct Stream {
    int32_t handle = 0;
    int32_t user_id = 0;
    int32_t channel = 0;
    NET_DVR_RemoteConfigCallback callback = nullptr;
    void *user_data = nullptr;
    std::weak_ptr<Login> login;

    std::mutex m;
    std::condition_variable cv;
    std::deque<Record> queue;
    bool stopping = false;  // no callback may start any more
    bool finish = false;    // the stream ended: deliver what is queued, then end
    bool done = false;      // the callback thread will call nothing more
    std::thread thread;
    std::thread::id thread_id;

    void push(const Record &r) {
        std::lock_guard<std::mutex> lk(m);
        if (stopping || finish) return;
        if (queue.size() >= kMaxQueuedRecords) {
            auto oldest = std::find_if(queue.begin(), queue.end(),
                                       [](const Record &q) { return q.type == NET_SDK_CALLBACK_TYPE_DATA; });
            queue.erase(oldest != queue.end() ? oldest : queue.begin());
        }
        queue.push_back(r);
        cv.notify_all();
    }

    void end_after_queue() {
        std::lock_guard<std::mutex> lk(m);
        finish = true;
        cv.notify_all();
    }

    void run() {
        std::unique_lock<std::mutex> lk(m);
        for (;;) {
            cv.wait(lk, [&] { return stopping || finish || !queue.empty(); });
            if (stopping || queue.empty()) break;
            Record r = queue.front();
            queue.pop_front();
            lk.unlock();
            callback(r.type, r.bytes.data(), r.length, user_data);
            lk.lock();
        }
        queue.clear();
        done = true;
        cv.notify_all();
    }
};

// Threads that could not be joined where they were stopped, because the
// stopping call ran on that very thread (a callback stopping its own stream).
struct Grave {
    std::thread thread;
    std::shared_ptr<Stream> stream;
};

// ---- logins ----------------------------------------------------------------

struct Login {
    enum class State { kUp, kDown, kDead, kClosing };

    int32_t id = 0;
    std::string host;
    uint16_t port = 0;
    std::string user;
    std::string password;

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

    ~Login() {
        if (fd >= 0) ::close(fd);
        if (wake_r >= 0) ::close(wake_r);
        if (wake_w >= 0) ::close(wake_w);
    }

    enum class Outcome { kAnswered, kLinkDown, kTimeout, kSendFailed };
    struct Result {
        Outcome outcome;
        uint32_t code;
    };

    uint32_t allocate_seq() {
        uint32_t seq = next_seq++;
        if (next_seq == 0) next_seq = 2;
        return seq;
    }

    // Sends one request and waits for its answer.
    Result call(const std::function<Bytes(uint32_t)> &build, Clock::time_point deadline);

    bool restarting(uint32_t handle) const {
        return std::any_of(restarts.begin(), restarts.end(), [&](const auto &r) { return r.second == handle; });
    }

    void run();
    uint32_t serve(camwire::FrameReader &reader);
    void send_ping(Clock::time_point deadline);
    Clock::time_point retry_refused(Clock::time_point now);
    bool dispatch(const camwire::Frame &f);
    void lose_connection(uint32_t code);
    bool reconnect(camwire::FrameReader &reader);
    void shut_down();
};

// ---- library state ---------------------------------------------------------

struct State {
    std::mutex m;
    bool initialised = false;
    int32_t next_user = 0;
    int32_t next_handle = 0;
    std::map<int32_t, std::shared_ptr<Login>> logins;
    std::map<int32_t, std::shared_ptr<Stream>> streams;

    std::atomic<uint32_t> connect_wait_ms{kDefaultConnectWaitMs};
    std::atomic<uint32_t> connect_tries{1};
    std::atomic<uint32_t> reconnect_ms{kDefaultReconnectMs};
    std::atomic<bool> reconnect{true};

    std::mutex grave_m;
    std::vector<Grave> graves;
};

// Never destroyed: threads left running at exit must not meet a destroyed
// state or a joinable std::thread destructor.
State &g = *new State;

std::chrono::milliseconds answer_wait() {
    return std::chrono::milliseconds(std::clamp<uint32_t>(g.connect_wait_ms.load(), 1000, 5000));
}

Clock::time_point answer_deadline() {
    return Clock::now() + answer_wait();
}

template <typename Map>
int32_t allocate_id(int32_t &next, const Map &in_use) {
    for (;;) {
        int32_t id = next;
        next = next == INT32_MAX ? 0 : next + 1;
        if (!in_use.count(id)) return id;
    }
}

// Joins graveyard threads that have finished; with all_of_them, waits for the
// others too (save the calling thread's own, which cannot be joined).
void reap(bool all_of_them) {
    std::vector<Grave> ready;
    {
        std::lock_guard<std::mutex> lk(g.grave_m);
        for (auto it = g.graves.begin(); it != g.graves.end();) {
            bool finished;
            {
                std::lock_guard<std::mutex> slk(it->stream->m);
                finished = it->stream->done;
            }
            if ((finished || all_of_them) && it->thread.get_id() != std::this_thread::get_id()) {
                ready.push_back(std::move(*it));
                it = g.graves.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Grave &gr : ready) gr.thread.join();
}

// Ends a stream's callbacks: when this returns no callback of it runs any
// more, unless the caller is that callback itself, whose thread then ends
// once it returns. Safe to call any number of times from any thread.
void retire(const std::shared_ptr<Stream> &s) {
    std::thread t;
    bool own_thread;
    {
        std::unique_lock<std::mutex> lk(s->m);
        s->stopping = true;
        s->cv.notify_all();
        own_thread = s->thread_id == std::this_thread::get_id();
        if (!own_thread) s->cv.wait(lk, [&] { return s->done; });
        t = std::move(s->thread);
    }
    if (!t.joinable()) return;
    if (own_thread) {
        std::lock_guard<std::mutex> lk(g.grave_m);
        g.graves.push_back({std::move(t), s});
    } else {
        t.join();
    }
}

// ---- the link --------------------------------------------------------------

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

void Login::run() {
    camwire::FrameReader reader = std::move(first_reader);
    for (;;) {
        uint32_t lost = serve(reader);
        if (lost == 0) return;  // closing
        lose_connection(lost);
        if (!reconnect(reader)) return;
    }
}

// Reads and dispatches until the connection ends: 0 when the link is told to
// close, else the error code that ended it.
//
// A camera that answers PING gets one after an answer wait in which it sent
// nothing, and is given up as lost after another: TCP keep-alive cannot tell
// a hung camera, whose TCP stack still acknowledges, from a quiet one. A
// camera that did not say it answers PING is never sent one (it would close
// the connection on a message it does not know).
uint32_t Login::serve(camwire::FrameReader &reader) {
    uint8_t chunk[16384];
    const Clock::duration quiet = answer_wait();
    Clock::time_point heard = Clock::now();
    bool pinged = false;
    for (;;) {
        camwire::Frame f;
        camwire::FrameReader::Result r;
        while ((r = reader.next(f)) == camwire::FrameReader::kFrame) {
            if (!dispatch(f)) return NET_DVR_NETWORK_ERRORDATA;
        }
        if (r == camwire::FrameReader::kMalformed) return NET_DVR_NETWORK_ERRORDATA;

        Clock::time_point now = Clock::now();
        Clock::time_point wake = retry_refused(now);
        if (heartbeat) {
            if (now >= heard + 2 * quiet) return NET_DVR_NETWORK_RECV_TIMEOUT;
            if (!pinged && now >= heard + quiet) {
                send_ping(heard + 2 * quiet);
                pinged = true;
            }
            wake = std::min(wake, heard + (pinged ? 2 : 1) * quiet);
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_r, POLLIN, 0}};
        int n = ::poll(p, 2, wake == Clock::time_point::max() ? -1 : remaining_ms(wake));
        if (n < 0) {
            if (errno == EINTR) continue;
            return NET_DVR_NETWORK_RECV_ERROR;
        }
        if (p[1].revents) return 0;
        if (!p[0].revents) continue;
        ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            heard = Clock::now();
            pinged = false;
            reader.feed(chunk, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return NET_DVR_NETWORK_RECV_ERROR;
        }
    }
}

void Login::send_ping(Clock::time_point deadline) {
    uint32_t seq;
    {
        std::lock_guard<std::mutex> lk(m);
        seq = allocate_seq();
    }
    Bytes msg = camwire::ping_request(seq);
    // Someone else's request on its way does as well: its answer is a sign of
    // life too, and the link thread must not wait behind a slow send.
    std::unique_lock<std::mutex> lk(send_m, std::try_to_lock);
    if (!lk.owns_lock()) return;
    // A failed send shows as a broken or a silent connection.
    send_all(fd, msg.data(), msg.size(), wake_r, deadline);
}

// Sends START again for the streams the camera refused, once their reconnect
// interval has passed; returns when the next try is due (max: none waits).
Clock::time_point Login::retry_refused(Clock::time_point now) {
    Bytes messages;
    {
        std::lock_guard<std::mutex> lk(m);
        if (refused.empty()) return Clock::time_point::max();
        if (now < retry_at) return retry_at;
        bool keep_trying = g.reconnect.load();
        for (uint32_t handle : refused) {
            auto s = streams.find(handle);
            if (s == streams.end()) continue;
            if (!keep_trying) {  // restarting is part of reconnecting: off, the stream ends
                s->second->end_after_queue();
                streams.erase(s);
                continue;
            }
            uint32_t seq = allocate_seq();
            restarts[seq] = handle;
            Bytes msg = camwire::start_request(seq, handle, NET_DVR_GET_REALTIME_THERMOMETRY, s->second->channel);
            messages.insert(messages.end(), msg.begin(), msg.end());
        }
        refused.clear();
    }
    if (!messages.empty()) {
        std::lock_guard<std::mutex> lk(send_m);
        // A failed send shows up as a dropped connection.
        send_all(fd, messages.data(), messages.size(), wake_r, answer_deadline());
    }
    return Clock::time_point::max();
}

// False when the frame is malformed.
bool Login::dispatch(const camwire::Frame &f) {
    const uint8_t *p = f.payload.data();
    size_t size = f.payload.size();
    switch (f.type) {
    case camwire::kAnswer: {
        if (size != camwire::kAnswerSize) return false;
        uint32_t seq = camwire::get_u32(p), code = camwire::get_u32(p + 4);
        std::lock_guard<std::mutex> lk(m);
        auto restart = restarts.find(seq);
        if (restart != restarts.end()) {
            uint32_t handle = restart->second;
            restarts.erase(restart);
            auto s = streams.find(handle);
            if (code != 0 && s != streams.end()) {
                // Not given up: tried again every reconnect interval.
                s->second->push(status_record(kStatusFailed, code));
                if (refused.empty()) retry_at = Clock::now() + std::chrono::milliseconds(g.reconnect_ms.load());
                refused.insert(handle);
            }
            cv.notify_all();  // a Stop may be waiting for this answer
            return true;
        }
        auto it = pending.find(seq);
        if (it != pending.end()) {
            it->second = Pending{true, code};
            cv.notify_all();
        }
        return true;
    }
    case camwire::kStatus: {
        if (size != camwire::kStatusSize) return false;
        uint32_t handle = camwire::get_u32(p);
        Record r = status_record(static_cast<int32_t>(camwire::get_u32(p + 4)), camwire::get_u32(p + 8));
        std::lock_guard<std::mutex> lk(m);
        auto s = streams.find(handle);
        if (s != streams.end()) s->second->push(r);
        return true;
    }
    case camwire::kData: {
        if (size != camwire::kDataSize) return false;
        uint32_t handle = camwire::get_u32(p);
        Record r{NET_SDK_CALLBACK_TYPE_DATA, static_cast<uint32_t>(camwire::kRecordSize), {}};
        std::memcpy(r.bytes.data(), p + 4, camwire::kRecordSize);
        float celsius = camwire::get_le_float(p + 4 + camwire::kRecordTempOffset);
        std::memcpy(r.bytes.data() + camwire::kRecordTempOffset, &celsius, sizeof celsius);
        std::lock_guard<std::mutex> lk(m);
        auto s = streams.find(handle);
        if (s != streams.end()) s->second->push(r);
        return true;
    }
    case camwire::kFeatures:
        if (size != camwire::kFeaturesSize) return false;
        heartbeat = (camwire::get_u32(p) & camwire::kFeatureHeartbeat) != 0;
        return true;
    default:
        return true;  // a newer camera's message: not ours to judge
    }
}

void Login::lose_connection(uint32_t code) {
    bool keep_trying = g.reconnect.load();
    std::lock_guard<std::mutex> lk(m);
    if (state == State::kClosing) return;
    state = keep_trying ? State::kDown : State::kDead;
    ++generation;
    restarts.clear();
    refused.clear();  // the reconnection starts every stream again
    cv.notify_all();
    for (auto &entry : streams) {
        entry.second->push(status_record(kStatusFailed, code));
        if (!keep_trying) entry.second->end_after_queue();
    }
    if (!keep_trying) streams.clear();
    std::lock_guard<std::mutex> slk(send_m);
    ::close(fd);
    fd = -1;
    fd_generation = 0;
}

// Waits the reconnect interval and tries again until the link is up (true)
// or the link is closing or reconnection is switched off (false).
bool Login::reconnect(camwire::FrameReader &reader) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(m);
            if (state != State::kDown) return false;
            cv.wait_for(lk, std::chrono::milliseconds(g.reconnect_ms.load()),
                        [&] { return state != State::kDown; });
            if (state != State::kDown) return false;
        }
        if (!g.reconnect.load()) {
            std::lock_guard<std::mutex> lk(m);
            if (state != State::kDown) return false;
            state = State::kDead;
            for (auto &entry : streams) entry.second->end_after_queue();
            streams.clear();
            return false;
        }
        uint32_t error;
        UniqueFd conn(connect_camera(host, port, g.connect_wait_ms.load(), g.connect_tries.load(), wake_r, &error));
        if (conn.get() < 0) continue;
        reader = camwire::FrameReader();
        if (exchange_login(conn.get(), user, password, reader, wake_r, answer_deadline(), &heartbeat) != 0) continue;

        Bytes restart_messages;
        {
            std::lock_guard<std::mutex> lk(m);
            if (state != State::kDown) return false;
            state = State::kUp;
            ++generation;
            for (auto &entry : streams) {
                uint32_t seq = allocate_seq();
                restarts[seq] = entry.first;
                Bytes msg = camwire::start_request(seq, entry.first, NET_DVR_GET_REALTIME_THERMOMETRY,
                                                   entry.second->channel);
                restart_messages.insert(restart_messages.end(), msg.begin(), msg.end());
            }
            std::lock_guard<std::mutex> slk(send_m);
            fd = conn.release();
            fd_generation = generation;
            // A failed send shows up as a dropped connection in serve().
            send_all(fd, restart_messages.data(), restart_messages.size(), wake_r, answer_deadline());
        }
        return true;
    }
}

// Stops the link thread and closes the connection. Idempotent.
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

// Takes every stream that belongs to the login out of both tables.
std::vector<std::shared_ptr<Stream>> detach_streams(Login &login, std::map<int32_t, std::shared_ptr<Stream>> &table) {
    std::vector<std::shared_ptr<Stream>> out;
    for (auto it = table.begin(); it != table.end();) {
        if (it->second->user_id == login.id) {
            out.push_back(it->second);
            it = table.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::vector<std::shared_ptr<Stream>> close_stream_intake(Login &login) {
    std::vector<std::shared_ptr<Stream>> out;
    std::lock_guard<std::mutex> lk(login.m);
    login.accepting = false;
    for (auto &entry : login.streams) out.push_back(entry.second);
    login.streams.clear();
    login.refused.clear();
    return out;
}

uint32_t outcome_error(const Login::Result &r) {
    switch (r.outcome) {
    case Login::Outcome::kAnswered: return r.code;
    case Login::Outcome::kLinkDown: return 0;  // the camera's session is gone with it
    case Login::Outcome::kTimeout: return NET_DVR_NETWORK_RECV_TIMEOUT;
    case Login::Outcome::kSendFailed: return r.code;
    }
    return 0;
}

bool validate_text(const char *text, size_t max) {
    return text != nullptr && std::strlen(text) <= max;
}

}  // namespace

// ---- the nine operations ---------------------------------------------------

SDK_API int NET_DVR_Init(void) {
    std::lock_guard<std::mutex> lk(g.m);
    if (!g.initialised) {
        g.initialised = true;
        g.connect_wait_ms = kDefaultConnectWaitMs;
        g.connect_tries = 1;
        g.reconnect_ms = kDefaultReconnectMs;
        g.reconnect = true;
    }
    return succeed();
}

SDK_API int NET_DVR_Cleanup(void) {
    std::map<int32_t, std::shared_ptr<Login>> logins;
    std::map<int32_t, std::shared_ptr<Stream>> streams;
    {
        std::lock_guard<std::mutex> lk(g.m);
        if (!g.initialised) return fail(NET_DVR_NOINIT);
        g.initialised = false;
        logins.swap(g.logins);
        streams.swap(g.streams);
    }
    for (auto &entry : streams) retire(entry.second);
    for (auto &entry : logins) {
        for (auto &s : close_stream_intake(*entry.second)) retire(s);
        entry.second->shut_down();
    }
    reap(true);
    return succeed();
}

SDK_API uint32_t NET_DVR_GetLastError(void) {
    return t_last_error;
}

SDK_API int NET_DVR_SetConnectTime(uint32_t wait_ms, uint32_t tries) {
    std::lock_guard<std::mutex> lk(g.m);
    if (!g.initialised) return fail(NET_DVR_NOINIT);
    if (wait_ms == 0 || tries == 0) return fail(NET_DVR_PARAMETER_ERROR);
    g.connect_wait_ms = std::min(wait_ms, kMaxConnectWaitMs);
    g.connect_tries = std::min(tries, kMaxConnectTries);
    return succeed();
}

SDK_API int NET_DVR_SetReconnect(uint32_t interval_ms, int enable) {
    std::lock_guard<std::mutex> lk(g.m);
    if (!g.initialised) return fail(NET_DVR_NOINIT);
    g.reconnect_ms = std::max(interval_ms, kMinReconnectMs);
    g.reconnect = enable != 0;
    return succeed();
}

SDK_API int32_t NET_DVR_Login_V30(const char *address, uint16_t port, const char *user_name, const char *password,
                                  NET_DVR_DEVICEINFO_V30 *device_info) {
    {
        std::lock_guard<std::mutex> lk(g.m);
        if (!g.initialised) return fail_id(NET_DVR_NOINIT);
    }
    if (address == nullptr || *address == '\0' || port == 0 || device_info == nullptr ||
        !validate_text(user_name, camwire::kMaxNameLength) || !validate_text(password, camwire::kMaxNameLength))
        return fail_id(NET_DVR_PARAMETER_ERROR);
    std::memset(device_info, 0, sizeof *device_info);
    reap(false);

    auto login = std::make_shared<Login>();
    login->host = address;
    login->port = port;
    login->user = user_name;
    login->password = password;

    uint32_t error;
    UniqueFd conn(connect_camera(login->host, port, g.connect_wait_ms.load(), g.connect_tries.load(), -1, &error));
    if (conn.get() < 0) return fail_id(error);
    if (uint32_t refused = exchange_login(conn.get(), login->user, login->password, login->first_reader, -1,
                                          answer_deadline(), &login->heartbeat))
        return fail_id(refused);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) < 0) return fail_id(NET_DVR_ALLOC_RESOURCE_ERROR);
    login->wake_r = pipe_fds[0];
    login->wake_w = pipe_fds[1];
    login->fd = conn.release();
    try {
        login->thread = std::thread([raw = login.get()] { raw->run(); });
    } catch (const std::system_error &) {
        return fail_id(NET_DVR_ALLOC_RESOURCE_ERROR);
    }

    std::unique_lock<std::mutex> lk(g.m);
    if (!g.initialised) {
        lk.unlock();
        login->shut_down();
        return fail_id(NET_DVR_NOINIT);
    }
    login->id = allocate_id(g.next_user, g.logins);
    g.logins[login->id] = login;
    t_last_error = NET_DVR_NOERROR;
    return login->id;
}

SDK_API int NET_DVR_Logout(int32_t user_id) {
    std::shared_ptr<Login> login;
    std::vector<std::shared_ptr<Stream>> streams;
    {
        std::lock_guard<std::mutex> lk(g.m);
        if (!g.initialised) return fail(NET_DVR_NOINIT);
        auto it = g.logins.find(user_id);
        if (it == g.logins.end()) return fail(NET_DVR_PARAMETER_ERROR);
        login = it->second;
        g.logins.erase(it);
        streams = detach_streams(*login, g.streams);
    }
    reap(false);
    for (auto &s : close_stream_intake(*login)) retire(s);
    for (auto &s : streams) retire(s);

    // The camera ends the session's streams with the session.
    Login::Result r = login->call([](uint32_t seq) { return camwire::logout_request(seq); }, answer_deadline());
    login->shut_down();
    if (uint32_t err = outcome_error(r)) return fail(err);
    return succeed();
}

SDK_API int32_t NET_DVR_StartRemoteConfig(int32_t user_id, uint32_t command, const void *condition,
                                          uint32_t condition_length, NET_DVR_RemoteConfigCallback callback,
                                          void *user_data) {
    std::shared_ptr<Login> login;
    int32_t handle;
    {
        std::lock_guard<std::mutex> lk(g.m);
        if (!g.initialised) return fail_id(NET_DVR_NOINIT);
        auto it = g.logins.find(user_id);
        if (it == g.logins.end()) return fail_id(NET_DVR_PARAMETER_ERROR);
        login = it->second;
        handle = allocate_id(g.next_handle, g.streams);
    }
    if (command != NET_DVR_GET_REALTIME_THERMOMETRY || condition == nullptr || condition_length != 72 ||
        callback == nullptr)
        return fail_id(NET_DVR_PARAMETER_ERROR);
    uint32_t record_size;
    int32_t channel;
    std::memcpy(&record_size, condition, 4);
    std::memcpy(&channel, static_cast<const uint8_t *>(condition) + 4, 4);
    if (record_size != 72) return fail_id(NET_DVR_PARAMETER_ERROR);
    reap(false);

    auto stream = std::make_shared<Stream>();
    stream->handle = handle;
    stream->user_id = user_id;
    stream->channel = channel;
    stream->callback = callback;
    stream->user_data = user_data;
    stream->login = login;
    try {
        stream->thread = std::thread([raw = stream.get()] { raw->run(); });
        stream->thread_id = stream->thread.get_id();
    } catch (const std::system_error &) {
        return fail_id(NET_DVR_ALLOC_RESOURCE_ERROR);
    }

    auto abandon = [&](uint32_t code) {
        {
            std::lock_guard<std::mutex> lk(login->m);
            login->streams.erase(static_cast<uint32_t>(handle));
        }
        retire(stream);
        return fail_id(code);
    };

    uint32_t refusal = 0;
    {
        std::lock_guard<std::mutex> lk(login->m);
        if (!login->accepting)
            refusal = NET_DVR_PARAMETER_ERROR;
        else if (login->state != Login::State::kUp)
            refusal = NET_DVR_NETWORK_RECV_ERROR;
        else  // listed before asking, so that no record following the answer is lost
            login->streams[static_cast<uint32_t>(handle)] = stream;
    }
    if (refusal) {
        retire(stream);
        return fail_id(refusal);
    }

    Login::Result r = login->call(
        [&](uint32_t seq) { return camwire::start_request(seq, static_cast<uint32_t>(handle), command, channel); },
        answer_deadline());
    switch (r.outcome) {
    case Login::Outcome::kAnswered:
        if (r.code != 0) return abandon(r.code);
        break;
    case Login::Outcome::kLinkDown: return abandon(NET_DVR_NETWORK_RECV_ERROR);
    case Login::Outcome::kTimeout: return abandon(NET_DVR_NETWORK_RECV_TIMEOUT);
    case Login::Outcome::kSendFailed: return abandon(r.code);
    }

    {
        std::lock_guard<std::mutex> lk(g.m);
        if (g.initialised) {
            auto it = g.logins.find(user_id);
            if (it != g.logins.end() && it->second == login) {
                g.streams[handle] = stream;
                t_last_error = NET_DVR_NOERROR;
                return handle;
            }
        }
    }
    // Logout or Cleanup overtook us; they own the link now.
    bool initialised;
    {
        std::lock_guard<std::mutex> lk(g.m);
        initialised = g.initialised;
    }
    return abandon(initialised ? NET_DVR_PARAMETER_ERROR : NET_DVR_NOINIT);
}

SDK_API int NET_DVR_StopRemoteConfig(int32_t handle) {
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard<std::mutex> lk(g.m);
        if (!g.initialised) return fail(NET_DVR_NOINIT);
        auto it = g.streams.find(handle);
        if (it == g.streams.end()) return fail(NET_DVR_PARAMETER_ERROR);
        stream = it->second;
        g.streams.erase(it);
    }
    reap(false);
    {
        std::lock_guard<std::mutex> lk(stream->m);
        stream->stopping = true;
        stream->cv.notify_all();
    }
    uint32_t error = 0;
    if (std::shared_ptr<Login> login = stream->login.lock()) {
        bool running;
        {
            std::unique_lock<std::mutex> lk(login->m);
            // A START sent again after a reconnect may be unanswered still;
            // its answer tells whether the camera has a stream to stop. It
            // comes first, as the camera answers in order.
            uint64_t gen = login->generation;
            login->cv.wait_until(lk, answer_deadline(), [&] {
                return !login->restarting(static_cast<uint32_t>(handle)) || login->generation != gen;
            });
            bool waiting = login->refused.erase(static_cast<uint32_t>(handle)) > 0;
            running = login->streams.erase(static_cast<uint32_t>(handle)) > 0 && !waiting;
        }
        if (running) {
            Login::Result r = login->call(
                [&](uint32_t seq) { return camwire::stop_request(seq, static_cast<uint32_t>(handle)); },
                answer_deadline());
            error = outcome_error(r);
        }
    }
    retire(stream);
    if (error) return fail(error);
    return succeed();
}
