// One connection's side of the protocol: reading requests, answering login,
// start, stop, logout and ping (refusing or failing them as the options
// say), and sending with a bounded output buffer. Main thread only.
#include "camera.h"
#include "output.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

void Camera::send(Connection &c, const std::vector<uint8_t> &bytes) {
    if (c.dead) return;
    c.out.insert(c.out.end(), bytes.begin(), bytes.end());
    flush(c);
}

void Camera::flush(Connection &c) {
    while (!c.dead && c.out_start < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.out_start, c.out.size() - c.out_start, MSG_NOSIGNAL);
        if (n > 0) {
            c.out_start += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            say_gone(c, errno);
            close_connection(c);
            return;
        }
    }
    if (c.out_start == c.out.size()) {
        c.out.clear();
        c.out_start = 0;
    } else if (c.out_start > kOutputLimit) {
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.out_start));
        c.out_start = 0;
    }
}

// A client closing while records are still on their way to it resets the
// connection rather than ending it; either way the client closed it.
void Camera::say_gone(const Connection &c, int error) {
    if (error == 0)
        say("connection closed by client");
    else if (error == ECONNRESET || error == EPIPE)
        say("connection closed by client (reset)");
    else
        say("connection to %s lost: %s", c.peer.c_str(), std::strerror(error));
}

void Camera::close_connection(Connection &c) {
    if (c.dead) return;
    ::close(c.fd);
    c.fd = -1;
    c.dead = true;
}

void Camera::read_from(Connection &c) {
    uint8_t chunk[8192];
    for (;;) {
        ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            c.in.feed(chunk, static_cast<size_t>(n));
            camwire::Frame f;
            camwire::FrameReader::Result r = camwire::FrameReader::kNeedMore;
            while (!c.dead && (r = c.in.next(f)) == camwire::FrameReader::kFrame) handle(c, f);
            if (!c.dead && r == camwire::FrameReader::kMalformed) {
                say("bad message from %s: closing connection", c.peer.c_str());
                close_connection(c);
            }
            if (c.dead) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        say_gone(c, n == 0 ? 0 : errno);
        close_connection(c);
        return;
    }
}

void Camera::handle(Connection &c, const camwire::Frame &f) {
    if (c.dropping) return;  // going away: no more answers
    switch (f.type) {
    case camwire::kLogin: on_login(c, f.payload); return;
    case camwire::kStartStream: on_start(c, f.payload); return;
    case camwire::kStopStream: on_stop(c, f.payload); return;
    case camwire::kLogout: on_logout(c, f.payload); return;
    case camwire::kPing: on_ping(c, f.payload); return;
    default:
        say("bad message from %s (type %u): closing connection", c.peer.c_str(), static_cast<unsigned>(f.type));
        close_connection(c);
        return;
    }
}

void Camera::on_login(Connection &c, const std::vector<uint8_t> &p) {
    uint32_t seq;
    std::string user, password;
    if (!camwire::parse_login(p, seq, user, password)) {
        say("bad login message from %s: closing connection", c.peer.c_str());
        close_connection(c);
        return;
    }
    if (c.logged_in) {
        say("login from %s: already logged in", c.peer.c_str());
        send(c, camwire::answer(seq, camwire::kBadRequest));
        return;
    }
    ++logins_seen_;
    if (logins_seen_ <= opt_.refuse_logins) {
        say("login refused (%llu of %llu)", static_cast<unsigned long long>(logins_seen_),
            static_cast<unsigned long long>(opt_.refuse_logins));
        send(c, camwire::answer(seq, camwire::kWrongPassword));
        return;
    }
    // Names are shown only when printable, so a hostile peer cannot forge lines.
    std::string shown = user;
    for (char &ch : shown)
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) == 0x7f) ch = '?';
    if (user != opt_.user || password != opt_.password) {
        say("login from %s user=%s: wrong user name or password", c.peer.c_str(), shown.c_str());
        send(c, camwire::answer(seq, camwire::kWrongPassword));
        return;
    }
    c.logged_in = true;
    say("login from %s user=%s: accepted", c.peer.c_str(), shown.c_str());
    // Ahead of the answer, so the library knows before its login returns.
    send(c, camwire::features(camwire::kFeatureHeartbeat));
    send(c, camwire::answer(seq, camwire::kOk));
}

void Camera::on_start(Connection &c, const std::vector<uint8_t> &p) {
    if (p.size() != camwire::kStartSize) {
        say("bad stream request from %s: closing connection", c.peer.c_str());
        close_connection(c);
        return;
    }
    uint32_t seq = camwire::get_u32(p.data());
    uint32_t id = camwire::get_u32(p.data() + 4);
    uint32_t command = camwire::get_u32(p.data() + 8);
    int32_t channel = static_cast<int32_t>(camwire::get_u32(p.data() + 12));
    auto refuse = [&](uint32_t code, const std::string &why) {
        say("stream refused: code %u%s", code, why.c_str());
        send(c, camwire::answer(seq, code));
    };
    if (!c.logged_in) return refuse(camwire::kBadRequest, " (not logged in)");
    if (command != camwire::kThermometryCommand)
        return refuse(camwire::kBadRequest, " (unknown command " + std::to_string(command) + ")");
    if (std::any_of(c.streams.begin(), c.streams.end(), [&](const Stream &s) { return s.id == id; }))
        return refuse(camwire::kBadRequest, " (stream " + std::to_string(id) + " already runs)");
    if (refuses_this_start()) return refuse(*opt_.refuse_stream, "");
    if (std::find(opt_.channels.begin(), opt_.channels.end(), channel) == opt_.channels.end())
        return refuse(camwire::kNoSuchChannel, " (no channel " + std::to_string(channel) + ")");

    say("stream started: channel %d", channel);
    send(c, camwire::answer(seq, camwire::kOk));
    for (const StatusItem &s : opt_.statuses) {
        say("status %d %u", s.value, s.code);
        send(c, camwire::status(id, s.value, s.code));
    }
    c.streams.push_back(Stream{id, channel, Clock::now(), 0, false});
}

void Camera::on_stop(Connection &c, const std::vector<uint8_t> &p) {
    if (p.size() != camwire::kStopSize) {
        say("bad stop request from %s: closing connection", c.peer.c_str());
        close_connection(c);
        return;
    }
    uint32_t seq = camwire::get_u32(p.data());
    uint32_t id = camwire::get_u32(p.data() + 4);
    auto it = std::find_if(c.streams.begin(), c.streams.end(), [&](const Stream &s) { return s.id == id; });
    if (it == c.streams.end()) {
        say("stop: failed with code %u (no such stream)", camwire::kBadRequest);
        send(c, camwire::answer(seq, camwire::kBadRequest));
        return;
    }
    if (opt_.fail_stop) {
        // A camera that fails to stop goes on streaming.
        say("stop: failed with code %u", *opt_.fail_stop);
        send(c, camwire::answer(seq, *opt_.fail_stop));
        return;
    }
    c.streams.erase(it);
    say("stop: ok");
    send(c, camwire::answer(seq, camwire::kOk));
}

// Counts the stream starts that got this far and tells whether this one is
// among those to refuse.
bool Camera::refuses_this_start() {
    ++starts_seen_;
    if (!opt_.refuse_stream || starts_seen_ <= opt_.refuse_stream_after) return false;
    return !opt_.refuse_stream_count || starts_seen_ - opt_.refuse_stream_after <= *opt_.refuse_stream_count;
}

// Answered whether logged in or not: it only shows that we are alive. Not
// printed, since an idle link gets one every few seconds.
void Camera::on_ping(Connection &c, const std::vector<uint8_t> &p) {
    if (p.size() != camwire::kPingSize) {
        say("bad ping from %s: closing connection", c.peer.c_str());
        close_connection(c);
        return;
    }
    send(c, camwire::answer(camwire::get_u32(p.data()), camwire::kOk));
}

void Camera::on_logout(Connection &c, const std::vector<uint8_t> &p) {
    if (p.size() != camwire::kLogoutSize) {
        say("bad logout request from %s: closing connection", c.peer.c_str());
        close_connection(c);
        return;
    }
    uint32_t seq = camwire::get_u32(p.data());
    if (!c.logged_in) {
        say("logout: failed with code %u (not logged in)", camwire::kBadRequest);
        send(c, camwire::answer(seq, camwire::kBadRequest));
        return;
    }
    if (opt_.fail_logout) {
        say("logout: failed with code %u", *opt_.fail_logout);
        send(c, camwire::answer(seq, *opt_.fail_logout));
        return;
    }
    c.logged_in = false;
    c.streams.clear();
    say("logout: ok");
    send(c, camwire::answer(seq, camwire::kOk));
}

}  // namespace sim
