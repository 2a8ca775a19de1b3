// camera-sim: a thermal camera on the network, as far as the stand-in SDK can
// tell. It serves the protocol of sdk/PROTOCOL.md and can be told to
// misbehave (refuse, fail, drop, go away, freeze) so the SDK and the program
// can be tested against every answer a camera may give.
//
// One thread, one poll loop: every connection's stream is a timer in the
// same loop, so there is nothing to race and stdout lines never interleave.
#include "camera_wire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kPi = 3.14159265358979323846;

const char kUsage[] =
    "usage: camera-sim [options]\n"
    "  --listen ADDR[:PORT]      address to listen on (default 127.0.0.1:8000; port 0 picks a free one)\n"
    "  --user NAME               accepted user name (default admin)\n"
    "  --password PASS           accepted password (default secret)\n"
    "  --channels LIST           comma-separated channel numbers it has (default 1,2)\n"
    "  --rate HZ                 data records per second while a stream runs (default 1; 0 = none; up to 100000)\n"
    "  --temp C                  constant temperature (default 36.5)\n"
    "  --ramp START:STEP         START, START+STEP, START+2*STEP, ...\n"
    "  --sine MID:AMPLITUDE:PERIOD_S\n"
    "  --temps LIST              comma-separated values sent in turn and then repeated; nan, inf, -inf allowed\n"
    "  --flag N                  byte 45 of every data record (default 1)\n"
    "  --status LIST             status records sent right after a stream starts, before the first data\n"
    "                            record: VALUE or VALUE:CODE items, comma-separated (e.g. 1000,1002:7,1001)\n"
    "  --refuse-logins N         refuse the first N logins with wrong-password (then accept)\n"
    "  --refuse-stream CODE      refuse every stream start with CODE\n"
    "  --refuse-stream-after N   with --refuse-stream: accept the first N stream starts (default 0)\n"
    "  --refuse-stream-count N   with --refuse-stream: refuse only N starts, then accept again\n"
    "                            (default: every one)\n"
    "  --fail-stop CODE          answer every stop with failure CODE\n"
    "  --fail-logout CODE        answer every logout with failure CODE\n"
    "  --drop-after-records N    close the connection after N data records of a stream\n"
    "  --drop-after-seconds T    close the connection T seconds (fractional ok) after a stream started\n"
    "  --away-seconds S          after such a drop, close the listener too and stay away S seconds\n"
    "                            (default 0), then listen again\n"
    "  --drops N                 how many times the drop happens in the simulator's life (default 1)\n"
    "  --freeze-after-records N  freeze after N data records of a stream\n"
    "  --freeze-after-seconds T  freeze T seconds (fractional ok) after a stream started\n"
    "  --freeze-seconds S        how long a freeze lasts (default 20): nothing is answered, sent or\n"
    "                            accepted, every connection is kept, then all carries on\n"
    "  --freezes N               how many times the freeze happens in the simulator's life (default 1)\n"
    "  --help                    prints this usage, exit 0\n"
    "Options take their value as the next argument or after '='.\n";

// ---- options ---------------------------------------------------------------

enum class Shape { kConstant, kRamp, kSine, kList };

struct StatusItem {
    int32_t value;
    uint32_t code;
};

struct Options {
    std::string listen_host = "127.0.0.1";
    uint16_t listen_port = 8000;
    std::string user = "admin";
    std::string password = "secret";
    std::vector<int32_t> channels = {1, 2};
    double rate = 1;
    Shape shape = Shape::kConstant;
    double temp = 36.5;
    double ramp_start = 0, ramp_step = 0;
    double sine_mid = 0, sine_amplitude = 0, sine_period = 1;
    std::vector<double> temps;
    uint8_t flag = 1;
    std::vector<StatusItem> statuses;
    uint64_t refuse_logins = 0;
    std::optional<uint32_t> refuse_stream, fail_stop, fail_logout;
    uint64_t refuse_stream_after = 0;
    std::optional<uint64_t> refuse_stream_count;  // unset: every start after those accepted
    uint64_t drop_after_records = 0;  // 0: off
    double drop_after_seconds = 0;    // 0: off
    double away_seconds = 0;
    uint64_t drops = 1;
    uint64_t freeze_after_records = 0;  // 0: off
    double freeze_after_seconds = 0;    // 0: off
    double freeze_seconds = 20;
    uint64_t freezes = 1;
};

struct UsageError {
    std::string message;
};

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(sep, start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

double parse_double(const std::string &option, const std::string &text, bool finite_only) {
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || (finite_only && !std::isfinite(v)))
        throw UsageError{option + ": not a number: '" + text + "'"};
    return v;
}

long long parse_integer(const std::string &option, const std::string &text, long long lo, long long hi) {
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError{option + ": not a whole number: '" + text + "'"};
    if (v < lo || v > hi)
        throw UsageError{option + ": " + text + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi)};
    return v;
}

uint32_t parse_code(const std::string &option, const std::string &text) {
    return static_cast<uint32_t>(parse_integer(option, text, 0, UINT32_MAX));
}

void set_shape(Options &o, bool &shape_given, const std::string &option, Shape shape) {
    if (shape_given) throw UsageError{option + ": only one of --temp, --ramp, --sine, --temps may be given"};
    shape_given = true;
    o.shape = shape;
}

Options parse_options(int argc, char **argv, bool &help) {
    Options o;
    bool shape_given = false;
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return o;
        }
        if (arg.compare(0, 2, "--") != 0) throw UsageError{"unexpected argument '" + arg + "'"};
        std::string name = arg, value;
        bool have_value = false;
        size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            have_value = true;
        }
        static const char *const known[] = {
            "--listen",         "--user",          "--password",           "--channels",
            "--rate",           "--temp",          "--ramp",               "--sine",
            "--temps",          "--flag",          "--status",             "--refuse-logins",
            "--refuse-stream",  "--fail-stop",     "--fail-logout",        "--drop-after-records",
            "--drop-after-seconds", "--away-seconds", "--drops", "--refuse-stream-after",
            "--refuse-stream-count", "--freeze-after-records", "--freeze-after-seconds", "--freeze-seconds",
            "--freezes"};
        if (std::find(std::begin(known), std::end(known), name) == std::end(known))
            throw UsageError{"unknown option '" + name + "'"};
        if (!have_value) {
            if (i + 1 >= argc) throw UsageError{name + ": missing value"};
            value = argv[++i];
        }

        if (name == "--listen") {
            std::string host = value;
            size_t colon = value.rfind(':');
            if (colon != std::string::npos) {
                host = value.substr(0, colon);
                o.listen_port = static_cast<uint16_t>(parse_integer(name, value.substr(colon + 1), 0, 65535));
            }
            if (host.empty()) throw UsageError{name + ": missing address"};
            o.listen_host = host;
        } else if (name == "--user" || name == "--password") {
            if (value.size() > camwire::kMaxNameLength)
                throw UsageError{name + ": longer than " + std::to_string(camwire::kMaxNameLength) + " bytes"};
            (name == "--user" ? o.user : o.password) = value;
        } else if (name == "--channels") {
            o.channels.clear();
            for (const std::string &item : split(value, ','))
                o.channels.push_back(static_cast<int32_t>(parse_integer(name, item, INT32_MIN, INT32_MAX)));
        } else if (name == "--rate") {
            o.rate = parse_double(name, value, true);
            if (o.rate < 0 || o.rate > 100000) throw UsageError{name + ": must be between 0 and 100000"};
        } else if (name == "--temp") {
            set_shape(o, shape_given, name, Shape::kConstant);
            o.temp = parse_double(name, value, false);
        } else if (name == "--ramp") {
            set_shape(o, shape_given, name, Shape::kRamp);
            auto parts = split(value, ':');
            if (parts.size() != 2) throw UsageError{name + ": expected START:STEP"};
            o.ramp_start = parse_double(name, parts[0], true);
            o.ramp_step = parse_double(name, parts[1], true);
        } else if (name == "--sine") {
            set_shape(o, shape_given, name, Shape::kSine);
            auto parts = split(value, ':');
            if (parts.size() != 3) throw UsageError{name + ": expected MID:AMPLITUDE:PERIOD_S"};
            o.sine_mid = parse_double(name, parts[0], true);
            o.sine_amplitude = parse_double(name, parts[1], true);
            o.sine_period = parse_double(name, parts[2], true);
            if (o.sine_period <= 0) throw UsageError{name + ": the period must be positive"};
        } else if (name == "--temps") {
            set_shape(o, shape_given, name, Shape::kList);
            o.temps.clear();
            for (const std::string &item : split(value, ',')) o.temps.push_back(parse_double(name, item, false));
        } else if (name == "--flag") {
            o.flag = static_cast<uint8_t>(parse_integer(name, value, 0, 255));
        } else if (name == "--status") {
            o.statuses.clear();
            for (const std::string &item : split(value, ',')) {
                auto parts = split(item, ':');
                if (parts.size() > 2) throw UsageError{name + ": expected VALUE or VALUE:CODE, got '" + item + "'"};
                StatusItem s{static_cast<int32_t>(parse_integer(name, parts[0], INT32_MIN, INT32_MAX)), 0};
                if (parts.size() == 2) s.code = parse_code(name, parts[1]);
                o.statuses.push_back(s);
            }
        } else if (name == "--refuse-logins") {
            o.refuse_logins = static_cast<uint64_t>(parse_integer(name, value, 0, INT64_MAX));
        } else if (name == "--refuse-stream") {
            o.refuse_stream = parse_code(name, value);
        } else if (name == "--fail-stop") {
            o.fail_stop = parse_code(name, value);
        } else if (name == "--fail-logout") {
            o.fail_logout = parse_code(name, value);
        } else if (name == "--drop-after-records") {
            o.drop_after_records = static_cast<uint64_t>(parse_integer(name, value, 1, INT64_MAX));
        } else if (name == "--drop-after-seconds") {
            o.drop_after_seconds = parse_double(name, value, true);
            if (o.drop_after_seconds <= 0 || o.drop_after_seconds > 1e6) throw UsageError{name + ": must be positive"};
        } else if (name == "--away-seconds") {
            o.away_seconds = parse_double(name, value, true);
            if (o.away_seconds < 0 || o.away_seconds > 1e6) throw UsageError{name + ": must not be negative"};
        } else if (name == "--drops") {
            o.drops = static_cast<uint64_t>(parse_integer(name, value, 0, INT64_MAX));
        } else if (name == "--refuse-stream-after") {
            o.refuse_stream_after = static_cast<uint64_t>(parse_integer(name, value, 0, INT64_MAX));
        } else if (name == "--refuse-stream-count") {
            o.refuse_stream_count = static_cast<uint64_t>(parse_integer(name, value, 1, INT64_MAX));
        } else if (name == "--freeze-after-records") {
            o.freeze_after_records = static_cast<uint64_t>(parse_integer(name, value, 1, INT64_MAX));
        } else if (name == "--freeze-after-seconds" || name == "--freeze-seconds") {
            double v = parse_double(name, value, true);
            if (v <= 0 || v > 1e6) throw UsageError{name + ": must be positive"};
            (name == "--freeze-seconds" ? o.freeze_seconds : o.freeze_after_seconds) = v;
        } else if (name == "--freezes") {
            o.freezes = static_cast<uint64_t>(parse_integer(name, value, 0, INT64_MAX));
        }
    }
    if (!o.refuse_stream && (o.refuse_stream_after > 0 || o.refuse_stream_count))
        throw UsageError{"--refuse-stream-after and --refuse-stream-count need --refuse-stream"};
    return o;
}

// ---- output ----------------------------------------------------------------

__attribute__((format(printf, 1, 2))) void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    // Whoever started us and read our output is gone (crashed, most likely):
    // no one can stop us any more, so leave rather than linger as an orphan.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) std::_Exit(0);
}

std::string endpoint(const sockaddr_in &a) {
    char ip[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// ---- signals ---------------------------------------------------------------

int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

extern "C" void on_signal(int signo) {
    int saved = errno;
    g_signal = signo;
    char byte = 1;
    ssize_t ignored = ::write(g_signal_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// ---- the camera ------------------------------------------------------------

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

    int run();

private:
    bool open_listener(bool first);
    void accept_clients();
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

float Camera::temperature(uint64_t index) const {
    double n = static_cast<double>(index);
    switch (opt_.shape) {
    case Shape::kConstant: return static_cast<float>(opt_.temp);
    case Shape::kRamp: return static_cast<float>(opt_.ramp_start + n * opt_.ramp_step);
    case Shape::kSine: {
        double t = opt_.rate > 0 ? n / opt_.rate : 0;
        return static_cast<float>(opt_.sine_mid + opt_.sine_amplitude * std::sin(2 * kPi * t / opt_.sine_period));
    }
    case Shape::kList: return static_cast<float>(opt_.temps[index % opt_.temps.size()]);
    }
    return 0;
}

std::string seconds_text(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

Clock::time_point after_start(const Stream &s, double seconds) {
    return s.started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

Clock::time_point Camera::next_record_time(const Stream &s) const {
    // Scheduled from the stream's start, so the rate does not drift.
    auto offset = std::chrono::duration<double>(static_cast<double>(s.sent) / opt_.rate);
    return s.started + std::chrono::duration_cast<Clock::duration>(offset);
}

void Camera::drop(Connection &c, const std::string &why) {
    ++drops_done_;
    say("dropping connection after %s", why.c_str());
    c.dropping = true;
    c.streams.clear();
    c.drop_deadline = Clock::now() + std::chrono::seconds(1);
    flush(c);
    if (!c.dead && c.out.empty()) close_connection(c);
    if (opt_.away_seconds > 0) {
        if (listen_fd_ >= 0) {
            ::close(listen_fd_);
            listen_fd_ = -1;
        }
        say("away for %g s", opt_.away_seconds);
        away_ = true;
        away_until_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(opt_.away_seconds));
    }
}

// Like a process stopped by a signal: from now on nothing is read, answered,
// sent or accepted until the freeze is over, and every connection stays.
void Camera::freeze(const std::string &why) {
    ++freezes_done_;
    say("freezing after %s for %g s", why.c_str(), opt_.freeze_seconds);
    frozen_ = true;
    frozen_since_ = Clock::now();
    frozen_until_ = frozen_since_ + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(opt_.freeze_seconds));
}

// While frozen, waits (for a signal at most) until the freeze is over; then
// moves every schedule on by the frozen time, so that nothing missed is sent
// in a burst, and says so. False while still frozen.
bool Camera::stay_frozen() {
    if (!frozen_) return false;
    Clock::time_point now = Clock::now();
    if (now < frozen_until_) {
        pollfd p{g_signal_pipe[0], POLLIN, 0};
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(frozen_until_ - now).count() + 1;
        ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, 60000)));
        return true;
    }
    Clock::duration frozen_for = now - frozen_since_;
    for (Connection &c : connections_) {
        for (Stream &s : c.streams) s.started += frozen_for;
        c.drop_deadline += frozen_for;
    }
    if (away_) away_until_ += frozen_for;
    frozen_ = false;
    say("answering again after %g s", std::chrono::duration<double>(frozen_for).count());
    return false;
}

void Camera::run_streams(Connection &c, Clock::time_point now) {
    for (size_t i = 0; !frozen_ && !c.dead && !c.dropping && i < c.streams.size(); ++i) {
        Stream &s = c.streams[i];
        bool drops_left = drops_done_ < opt_.drops;
        if (drops_left && opt_.drop_after_seconds > 0 && now >= after_start(s, opt_.drop_after_seconds))
            return drop(c, seconds_text(opt_.drop_after_seconds));
        bool freezes_left = freezes_done_ < opt_.freezes && !s.froze;
        if (freezes_left && opt_.freeze_after_seconds > 0 && now >= after_start(s, opt_.freeze_after_seconds)) {
            s.froze = true;
            return freeze(seconds_text(opt_.freeze_after_seconds));
        }
        if (opt_.rate <= 0) continue;
        while (!c.dead && c.out.size() - c.out_start < kOutputLimit && next_record_time(s) <= now) {
            uint8_t record[camwire::kRecordSize] = {};
            record[camwire::kRecordFlagOffset] = opt_.flag;
            float t = temperature(s.sent);
            camwire::put_le_float(record + camwire::kRecordTempOffset, t);
            ++s.sent;
            say("record %llu: flag %u temperature %f", static_cast<unsigned long long>(s.sent),
                static_cast<unsigned>(opt_.flag), static_cast<double>(t));
            send(c, camwire::data(s.id, record));
            if (drops_done_ < opt_.drops && opt_.drop_after_records > 0 && s.sent >= opt_.drop_after_records)
                return drop(c, std::to_string(s.sent) + " records");
            if (freezes_left && opt_.freeze_after_records > 0 && s.sent >= opt_.freeze_after_records) {
                s.froze = true;
                return freeze(std::to_string(s.sent) + " records");
            }
        }
        // Far behind a slow reader: carry on from now rather than burst.
        if (next_record_time(s) + std::chrono::seconds(1) < now) {
            s.started = now - std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(s.sent) / opt_.rate));
        }
    }
}

int Camera::poll_timeout(Clock::time_point now) const {
    Clock::time_point wake = Clock::time_point::max();
    for (const Connection &c : connections_) {
        if (c.dead) continue;
        if (c.dropping) {
            wake = std::min(wake, c.drop_deadline);
            continue;
        }
        for (const Stream &s : c.streams) {
            if (drops_done_ < opt_.drops && opt_.drop_after_seconds > 0)
                wake = std::min(wake, after_start(s, opt_.drop_after_seconds));
            if (freezes_done_ < opt_.freezes && !s.froze && opt_.freeze_after_seconds > 0)
                wake = std::min(wake, after_start(s, opt_.freeze_after_seconds));
            if (opt_.rate > 0 && c.out.size() - c.out_start < kOutputLimit)
                wake = std::min(wake, next_record_time(s));
        }
    }
    if (away_) wake = std::min(wake, away_until_);
    if (!away_ && listen_fd_ < 0) wake = std::min(wake, next_listen_try_);
    if (wake == Clock::time_point::max()) return -1;
    if (wake <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
    return static_cast<int>(std::min<long long>((ms + 999) / 1000, 60000));
}

int Camera::run() {
    if (!open_listener(true)) return 1;
    for (;;) {
        if (!g_signal && stay_frozen()) continue;
        Clock::time_point now = Clock::now();
        std::vector<pollfd> fds;
        fds.push_back({g_signal_pipe[0], POLLIN, 0});
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
        if (g_signal) {
            say("exiting on signal %d", static_cast<int>(g_signal));
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

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool help = false;
    Options options;
    try {
        options = parse_options(argc, argv, help);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "camera-sim: %s\n(camera-sim --help shows the options)\n", e.message.c_str());
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        std::fprintf(stderr, "camera-sim: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    // Sockets send with MSG_NOSIGNAL; a closed stdout is noticed in say().
    sa.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &sa, nullptr);
    // The parent may have blocked these (the program does before it starts us).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);

    Camera camera(std::move(options));
    return camera.run();
}
