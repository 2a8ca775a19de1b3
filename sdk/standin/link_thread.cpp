// A login's link thread, the one reader of its socket: answers to the
// callers waiting in Login::call, records to the streams, PING to a quiet
// camera, refused streams asked for again, reconnection after a drop. Runs on
// that thread only, and never waits for user code.
#include "link_settings.h"
#include "login.h"
#include "socket_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace standin {

namespace {

constexpr int32_t kStatusFailed = NET_SDK_CALLBACK_STATUS_FAILED;

}  // namespace

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
        bool keep_trying = reconnect_enabled();
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
                if (refused.empty()) retry_at = Clock::now() + std::chrono::milliseconds(reconnect_interval_ms());
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
    bool keep_trying = reconnect_enabled();
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
            cv.wait_for(lk, std::chrono::milliseconds(reconnect_interval_ms()),
                        [&] { return state != State::kDown; });
            if (state != State::kDown) return false;
        }
        if (!reconnect_enabled()) {
            std::lock_guard<std::mutex> lk(m);
            if (state != State::kDown) return false;
            state = State::kDead;
            for (auto &entry : streams) entry.second->end_after_queue();
            streams.clear();
            return false;
        }
        uint32_t error;
        UniqueFd conn(connect_camera(host, port, connect_wait_ms(), connect_tries(), wake_r, &error));
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

}  // namespace standin
