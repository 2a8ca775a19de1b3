// The stand-in SDK against the real camera simulator (and, for what the
// simulator will not do, against small scripted fake cameras).
#include "camera_wire.h"
#include "hcnetsdk.h"
#include "sim_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <set>

namespace {

using namespace sdktest;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// ---- helpers ---------------------------------------------------------------

std::array<uint8_t, 72> condition(int32_t channel, uint32_t size = 72) {
    std::array<uint8_t, 72> c{};
    std::memcpy(c.data(), &size, 4);
    std::memcpy(c.data() + 4, &channel, 4);
    return c;
}

struct Event {
    uint32_t type;
    std::vector<uint8_t> bytes;
};

// Collects what a stream's callback receives. After close(), any callback
// still arriving is counted as a fault.
class Recorder {
public:
    static void callback(uint32_t type, void *buffer, uint32_t length, void *user) {
        auto *self = static_cast<Recorder *>(user);
        if (self->closed_) ++self->late_;
        if (self->hook) self->hook(*self);
        const auto *p = static_cast<const uint8_t *>(buffer);
        std::lock_guard<std::mutex> lk(self->m_);
        self->events_.push_back({type, std::vector<uint8_t>(p, p + length)});
    }

    bool wait_data(size_t n, milliseconds timeout = milliseconds(5000)) {
        return eventually([&] { return count(NET_SDK_CALLBACK_TYPE_DATA) >= n; }, timeout);
    }
    size_t count(uint32_t type) {
        std::lock_guard<std::mutex> lk(m_);
        size_t n = 0;
        for (const Event &e : events_) n += e.type == type;
        return n;
    }
    std::vector<Event> events() {
        std::lock_guard<std::mutex> lk(m_);
        return events_;
    }
    void close() { closed_ = true; }
    int late() const { return late_; }

    std::function<void(Recorder &)> hook;  // runs first in each callback

private:
    std::mutex m_;
    std::vector<Event> events_;
    std::atomic<bool> closed_{false};
    std::atomic<int> late_{0};
};

int32_t status_of(const Event &e) {
    int32_t v;
    std::memcpy(&v, e.bytes.data(), 4);
    return v;
}
uint32_t code_of(const Event &e) {
    uint32_t v;
    std::memcpy(&v, e.bytes.data() + 4, 4);
    return v;
}
float temperature_of(const Event &e) {
    float v;
    std::memcpy(&v, e.bytes.data() + 180, 4);
    return v;
}

// Index of the first status event (status, code), or -1.
int find_status(const std::vector<Event> &events, int32_t status, uint32_t code) {
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].type == NET_SDK_CALLBACK_TYPE_STATUS && status_of(events[i]) == status &&
            code_of(events[i]) == code)
            return static_cast<int>(i);
    return -1;
}

// What the descriptors from `first` on in a /proc/.../fd directory refer to.
std::set<std::string> fd_targets(const std::string &dir, int first) {
    std::set<std::string> out;
    DIR *d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) < first) continue;
        char target[256] = {};
        if (::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
            (std::strncmp(target, "socket:", 7) == 0 || std::strncmp(target, "pipe:", 5) == 0))
            out.insert(target);
    }
    ::closedir(d);
    return out;
}

int open_fd_count() {
    int n = 0;
    DIR *d = ::opendir("/proc/self/fd");
    while (dirent *e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n - 1;  // the directory's own descriptor
}

// A listening socket on a fresh loopback address, for fake cameras.
struct Listener {
    int fd = -1;
    std::string address;
    uint16_t port = 0;
    explicit Listener(int backlog = 8) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        address = unique_loopback_address();
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(fd, backlog);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int accept_one() {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// Reads one frame from a blocking socket (bounded), for fake cameras.
bool read_frame(int fd, camwire::FrameReader &reader, camwire::Frame &f) {
    for (;;) {
        if (reader.next(f) == camwire::FrameReader::kFrame) return true;
        pollfd p{fd, POLLIN, 0};
        uint8_t buf[1024];
        if (::poll(&p, 1, 5000) != 1) return false;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        reader.feed(buf, static_cast<size_t>(n));
    }
}

void send_bytes(int fd, const std::vector<uint8_t> &b) {
    ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
}

long elapsed_ms(steady_clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

class Sdk : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(NET_DVR_Init());
        ASSERT_TRUE(NET_DVR_SetConnectTime(1000, 1));
        ASSERT_TRUE(NET_DVR_SetReconnect(300, 1));
    }
    void TearDown() override { NET_DVR_Cleanup(); }

    // Recorders live until after TearDown's Cleanup, so a test that stops
    // at a failed assertion leaves no stream feeding a destroyed one.
    Recorder &recorder() { return recorders_.emplace_back(); }

    int32_t login(SimProcess &sim, const char *user = "admin", const char *password = "secret") {
        NET_DVR_DEVICEINFO_V30 info;
        return NET_DVR_Login_V30(sim.address().c_str(), sim.port(), user, password, &info);
    }
    int32_t login(const Listener &fake_camera) {
        NET_DVR_DEVICEINFO_V30 info;
        return NET_DVR_Login_V30(fake_camera.address.c_str(), fake_camera.port, "admin", "secret", &info);
    }
    int32_t start(int32_t user, Recorder &r, int32_t channel = 1) {
        auto c = condition(channel);
        return NET_DVR_StartRemoteConfig(user, NET_DVR_GET_REALTIME_THERMOMETRY, c.data(), 72, Recorder::callback, &r);
    }

    // A simulator started with args, logged in to, and a stream of it on
    // channel 2 feeding r; ids stay -1 from the step that failed on.
    struct Session {
        int32_t id = -1;
        int32_t handle = -1;
    };
    Session open_stream(SimProcess &sim, const std::vector<std::string> &args, Recorder &r) {
        Session s;
        if (!sim.start(args)) return s;
        s.id = login(sim);
        if (s.id >= 0) s.handle = start(s.id, r, 2);
        return s;
    }

private:
    std::list<Recorder> recorders_;
};

// ---- life cycle and arguments ----------------------------------------------

TEST(SdkLifecycle, EveryCallOutsideInitAndCleanupFailsWithNoInit) {
    auto expect_noinit = [] {
        NET_DVR_DEVICEINFO_V30 info;
        auto c = condition(1);
        Recorder r;
        EXPECT_FALSE(NET_DVR_SetConnectTime(1000, 1));
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOINIT);
        EXPECT_FALSE(NET_DVR_SetReconnect(1000, 1));
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOINIT);
        EXPECT_LT(NET_DVR_Login_V30("127.0.0.1", 8000, "admin", "secret", &info), 0);
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOINIT);
        EXPECT_LT(NET_DVR_StartRemoteConfig(0, 3629, c.data(), 72, Recorder::callback, &r), 0);
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOINIT);
        EXPECT_FALSE(NET_DVR_StopRemoteConfig(0));
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOINIT);
        EXPECT_FALSE(NET_DVR_Logout(0));
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOINIT);
        EXPECT_FALSE(NET_DVR_Cleanup());
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOINIT);
    };
    expect_noinit();
    ASSERT_TRUE(NET_DVR_Init());
    ASSERT_TRUE(NET_DVR_Init());  // idempotent: one Cleanup ends it
    EXPECT_TRUE(NET_DVR_SetConnectTime(500, 1));
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NOERROR);
    ASSERT_TRUE(NET_DVR_Cleanup());
    expect_noinit();
}

TEST_F(Sdk, BadArgumentsAreParameterErrorsAndLastErrorIsPerThread) {
    NET_DVR_DEVICEINFO_V30 info;
    EXPECT_FALSE(NET_DVR_SetConnectTime(0, 1));
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);
    EXPECT_LT(NET_DVR_Login_V30(nullptr, 8000, "admin", "secret", &info), 0);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);
    EXPECT_LT(NET_DVR_Login_V30("127.0.0.1", 8000, nullptr, "secret", &info), 0);
    EXPECT_LT(NET_DVR_Login_V30("127.0.0.1", 8000, "admin", nullptr, &info), 0);
    EXPECT_LT(NET_DVR_Login_V30("127.0.0.1", 8000, "admin", "secret", nullptr), 0);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);
    EXPECT_FALSE(NET_DVR_StopRemoteConfig(4711));
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);

    uint32_t seen_elsewhere = 99;
    std::thread([&] { seen_elsewhere = NET_DVR_GetLastError(); }).join();
    EXPECT_EQ(seen_elsewhere, NET_DVR_NOERROR);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);
}

// ---- login -----------------------------------------------------------------

TEST_F(Sdk, LoginAcceptedRefusedAndWrongPassword) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--refuse-logins", "1"}));
    NET_DVR_DEVICEINFO_V30 info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_LT(NET_DVR_Login_V30(sim.address().c_str(), sim.port(), "admin", "secret", &info), 0);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PASSWORD_ERROR);
    EXPECT_LT(login(sim, "admin", "wrong"), 0);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PASSWORD_ERROR);

    int32_t id = NET_DVR_Login_V30(sim.address().c_str(), sim.port(), "admin", "secret", &info);
    ASSERT_GE(id, 0);
    for (uint8_t b : info.bytes) ASSERT_EQ(b, 0);
    EXPECT_TRUE(sim.wait_for("user=admin: accepted"));
    EXPECT_EQ(sim.count("login refused (1 of 1)"), 1);
    EXPECT_EQ(sim.count("user=admin: wrong user name or password"), 1);
    EXPECT_TRUE(NET_DVR_Logout(id));
    EXPECT_TRUE(sim.wait_for("logout: ok"));
    EXPECT_FALSE(NET_DVR_Logout(id));
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);

    int status = sim.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Sdk, AbsentCameraFailsToConnectWithinTheConnectTime) {
    NET_DVR_DEVICEINFO_V30 info;
    // Nobody listens: refused at once.
    std::string nobody = unique_loopback_address();
    auto t0 = steady_clock::now();
    EXPECT_LT(NET_DVR_Login_V30(nobody.c_str(), 8000, "admin", "secret", &info), 0);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NETWORK_FAIL_CONNECT);
    EXPECT_LT(elapsed_ms(t0), 2000);

    // A full accept queue drops the handshake: only the timeout ends it.
    Listener full(0);
    int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(full.port);
    ::inet_pton(AF_INET, full.address.c_str(), &a.sin_addr);
    ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_TRUE(NET_DVR_SetConnectTime(300, 2));
    t0 = steady_clock::now();
    EXPECT_LT(NET_DVR_Login_V30(full.address.c_str(), full.port, "admin", "secret", &info), 0);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NETWORK_FAIL_CONNECT);
    EXPECT_LT(elapsed_ms(t0), 300 * 2 + 1500);
    ::close(filler);
}

TEST_F(Sdk, SilentOrGarbageCameraFailsTheLogin) {
    NET_DVR_DEVICEINFO_V30 info;
    {
        Listener silent;  // the kernel completes the handshake; nobody answers
        auto t0 = steady_clock::now();
        EXPECT_LT(NET_DVR_Login_V30(silent.address.c_str(), silent.port, "admin", "secret", &info), 0);
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NETWORK_RECV_TIMEOUT);
        EXPECT_LT(elapsed_ms(t0), 5000);
    }
    std::vector<std::vector<uint8_t>> garbage = {
        {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2', '0', '0', '\r', '\n', '\r', '\n'},
        {0x54, 0x43, 0x4D, 0x31, 0x00, 0x81, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},  // huge length
        camwire::frame(camwire::kAnswer, {0, 0, 0, 1}),                            // short answer
        camwire::frame(camwire::kFeatures, {0, 0, 1}),                             // short features
    };
    for (const auto &bytes : garbage) {
        Listener camera;
        std::thread fake([&] {
            int c = camera.accept_one();
            send_bytes(c, bytes);
            camwire::FrameReader reader;
            camwire::Frame f;
            while (read_frame(c, reader, f)) {
            }
            ::close(c);
        });
        EXPECT_LT(NET_DVR_Login_V30(camera.address.c_str(), camera.port, "admin", "secret", &info), 0);
        EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NETWORK_ERRORDATA);
        fake.join();
    }
}

TEST_F(Sdk, SimulatorSurvivesMalformedInput) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({}));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(sim.port());
    ::inet_pton(AF_INET, sim.address().c_str(), &a.sin_addr);
    std::vector<std::vector<uint8_t>> garbage = {
        {0x54, 0x43, 0x4D, 0x31, 0x00, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
        camwire::frame(camwire::kLogin, {0, 0, 0, 1, 0xFF, 0xFF}),
        camwire::frame(camwire::kStartStream, {1, 2, 3}),
        camwire::frame(camwire::kPing, {1, 2, 3}),
    };
    for (size_t i = 0; i < garbage.size(); ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        send_bytes(fd, garbage[i]);
        EXPECT_TRUE(sim.wait_for("closing connection", static_cast<int>(i) + 1));
        ::close(fd);
    }
    Recorder &r = recorder();
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    ASSERT_GE(start(id, r), 0);
    EXPECT_TRUE(r.wait_data(1));
    EXPECT_TRUE(NET_DVR_Logout(id));
}

// ---- starting a stream -----------------------------------------------------

TEST_F(Sdk, StreamStartRejectsBadRequestsAndPassesCameraRefusalsOn) {
    SimProcess sim, refusing;
    ASSERT_TRUE(sim.start({"--channels", "1,2"}));
    ASSERT_TRUE(refusing.start({"--refuse-stream", "23"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    auto expect_start_fails = [&](int32_t user, uint32_t command, const void *cond, uint32_t len,
                                  NET_DVR_RemoteConfigCallback cb, uint32_t code) {
        EXPECT_LT(NET_DVR_StartRemoteConfig(user, command, cond, len, cb, &r), 0);
        EXPECT_EQ(NET_DVR_GetLastError(), code);
    };
    auto good = condition(1), small = condition(1, 71);
    expect_start_fails(id, 3629, small.data(), 72, Recorder::callback, NET_DVR_PARAMETER_ERROR);
    expect_start_fails(id, 3629, good.data(), 71, Recorder::callback, NET_DVR_PARAMETER_ERROR);
    expect_start_fails(id, 3629, nullptr, 72, Recorder::callback, NET_DVR_PARAMETER_ERROR);
    expect_start_fails(id, 3630, good.data(), 72, Recorder::callback, NET_DVR_PARAMETER_ERROR);
    expect_start_fails(id + 1, 3629, good.data(), 72, Recorder::callback, NET_DVR_PARAMETER_ERROR);
    expect_start_fails(id, 3629, good.data(), 72, nullptr, NET_DVR_PARAMETER_ERROR);
    auto missing = condition(5);
    expect_start_fails(id, 3629, missing.data(), 72, Recorder::callback, NET_DVR_CHANNEL_ERROR);
    EXPECT_TRUE(sim.wait_for("stream refused: code 4"));

    int32_t other = login(refusing);
    ASSERT_GE(other, 0);
    expect_start_fails(other, 3629, good.data(), 72, Recorder::callback, 23);
    EXPECT_TRUE(refusing.wait_for("stream refused: code 23"));
    EXPECT_EQ(sim.count("stream started"), 0);
    EXPECT_EQ(r.events().size(), 0u);
}

// ---- records ---------------------------------------------------------------

TEST_F(Sdk, StatusAndDataRecordsReachTheCallbackUnchanged) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--status", "1000,1002:7", "--temps", "1.5,-40.25,nan", "--flag", "2", "--rate", "200"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    int32_t handle = start(id, r, 2);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(r.wait_data(4));
    ASSERT_TRUE(NET_DVR_StopRemoteConfig(handle));
    EXPECT_TRUE(sim.wait_for("stream started: channel 2"));
    EXPECT_TRUE(sim.wait_for("stop: ok"));

    auto ev = r.events();
    ASSERT_GE(ev.size(), 6u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ev[i].type, NET_SDK_CALLBACK_TYPE_STATUS);
        ASSERT_EQ(ev[i].bytes.size(), 8u);
    }
    EXPECT_EQ(status_of(ev[0]), 1000);
    EXPECT_EQ(code_of(ev[0]), 0u);
    EXPECT_EQ(status_of(ev[1]), 1002);
    EXPECT_EQ(code_of(ev[1]), 7u);
    const float expected[] = {1.5f, -40.25f, NAN, 1.5f};
    for (size_t i = 0; i < 4; ++i) {
        const Event &e = ev[2 + i];
        ASSERT_EQ(e.type, NET_SDK_CALLBACK_TYPE_DATA);
        ASSERT_EQ(e.bytes.size(), 440u);
        EXPECT_EQ(e.bytes[45], 2);
        if (std::isnan(expected[i]))
            EXPECT_TRUE(std::isnan(temperature_of(e)));
        else
            EXPECT_EQ(temperature_of(e), expected[i]);
        for (size_t b = 0; b < 440; ++b)
            if (b != 45 && (b < 180 || b >= 184)) {
                ASSERT_EQ(e.bytes[b], 0) << "byte " << b;
            }
    }
}

TEST_F(Sdk, TwoStreamsOfOneLoginStopIndependently) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "100"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    Recorder &one = recorder(), &two = recorder();
    int32_t h1 = start(id, one, 1), h2 = start(id, two, 2);
    ASSERT_GE(h1, 0);
    ASSERT_GE(h2, 0);
    EXPECT_NE(h1, h2);
    ASSERT_TRUE(one.wait_data(2));
    ASSERT_TRUE(NET_DVR_StopRemoteConfig(h1));
    one.close();
    size_t before = two.count(NET_SDK_CALLBACK_TYPE_DATA);
    EXPECT_TRUE(two.wait_data(before + 5));
    EXPECT_EQ(one.late(), 0);
    EXPECT_TRUE(NET_DVR_Logout(id));
}

// ---- stopping --------------------------------------------------------------

TEST_F(Sdk, CameraFailuresOfStopAndLogoutArePassedOnWithNoLateCallbacks) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "500", "--fail-stop", "17", "--fail-logout", "17"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    int32_t handle = start(id, r);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(r.wait_data(3));
    EXPECT_FALSE(NET_DVR_StopRemoteConfig(handle));
    EXPECT_EQ(NET_DVR_GetLastError(), 17u);
    r.close();
    // The camera streams on after its failed stop; none of it may arrive.
    int sent = sim.count("record ");
    EXPECT_TRUE(sim.wait_for("record ", sent + 50));
    EXPECT_EQ(r.late(), 0);
    EXPECT_FALSE(NET_DVR_StopRemoteConfig(handle));
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);

    EXPECT_FALSE(NET_DVR_Logout(id));
    EXPECT_EQ(NET_DVR_GetLastError(), 17u);
    EXPECT_TRUE(sim.wait_for("logout: failed with code 17"));
    EXPECT_TRUE(sim.wait_for("connection closed by client"));
    Recorder &after = recorder();
    EXPECT_LT(start(id, after), 0);  // the login is gone all the same
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_PARAMETER_ERROR);
}

TEST_F(Sdk, NoCallbackRunsAfterStopLogoutOrCleanupReturns) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "1000"}));
    for (int round = 0; round < 3; ++round) {
        int32_t id = login(sim);
        ASSERT_GE(id, 0);
        Recorder &r = recorder();
        int32_t handle = start(id, r);
        ASSERT_GE(handle, 0);
        ASSERT_TRUE(r.wait_data(20));
        if (round == 0) {
            ASSERT_TRUE(NET_DVR_StopRemoteConfig(handle));
            r.close();
            ASSERT_TRUE(NET_DVR_Logout(id));
        } else if (round == 1) {
            ASSERT_TRUE(NET_DVR_Logout(id));
            r.close();
            EXPECT_FALSE(NET_DVR_StopRemoteConfig(handle));  // gone with its login
        } else {
            ASSERT_TRUE(NET_DVR_Cleanup());
            r.close();
        }
        EXPECT_TRUE(sim.wait_for("connection closed by client", round + 1));
        EXPECT_EQ(r.late(), 0) << "round " << round;
    }
}

TEST_F(Sdk, StopWaitsForARunningCallbackAndMayBeCalledFromOne) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "200"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);

    // Another thread stops while the callback is held inside.
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false;
    std::atomic<bool> stop_returned{false}, returned_while_inside{false};
    std::atomic<int32_t> own{-1};
    std::atomic<int> stop_result{-1};
    Recorder &held = recorder();
    // Whatever fails below, free a held callback and end the streams while
    // the locals that the hooks use still exist.
    struct Finally {
        std::function<void()> f;
        ~Finally() { f(); }
    } finally{[&] {
        {
            std::lock_guard<std::mutex> lk(m);
            release = true;
            cv.notify_all();
        }
        NET_DVR_Cleanup();
    }};
    held.hook = [&](Recorder &) {
        std::unique_lock<std::mutex> lk(m);
        if (release) return;
        inside = true;
        cv.notify_all();
        cv.wait(lk, [&] { return release; });
        returned_while_inside = stop_returned.load();
    };
    int32_t handle = start(id, held);
    ASSERT_GE(handle, 0);
    {
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(5), [&] { return inside; }));
    }
    std::thread stopper([&] {
        EXPECT_TRUE(NET_DVR_StopRemoteConfig(handle));
        stop_returned = true;
    });
    EXPECT_TRUE(sim.wait_for("stop: ok"));
    EXPECT_FALSE(eventually([&] { return stop_returned.load(); }, milliseconds(100)));
    {
        std::lock_guard<std::mutex> lk(m);
        release = true;
        cv.notify_all();
    }
    stopper.join();
    EXPECT_FALSE(returned_while_inside);
    EXPECT_EQ(held.count(NET_SDK_CALLBACK_TYPE_DATA), 1u);

    // The callback stops its own stream.
    Recorder &self = recorder();
    self.hook = [&](Recorder &rec) {
        if (own >= 0 && stop_result == -1) {  // records may come before Start returns
            stop_result = NET_DVR_StopRemoteConfig(own);
            rec.close();
        }
    };
    own = start(id, self);
    ASSERT_GE(own.load(), 0);
    ASSERT_TRUE(eventually([&] { return stop_result != -1; }));
    EXPECT_EQ(stop_result, 1);
    EXPECT_TRUE(sim.wait_for("stop: ok", 2));
    EXPECT_TRUE(NET_DVR_Logout(id));
    EXPECT_EQ(self.late(), 0);
}

// ---- reconnection ----------------------------------------------------------

TEST_F(Sdk, ReconnectsAfterADropAndResumesTheSameStream) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "50", "--drop-after-records", "3", "--away-seconds", "0.3"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    int32_t handle = start(id, r, 2);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(r.wait_data(6));
    EXPECT_TRUE(sim.wait_for("listening again on"));
    EXPECT_EQ(sim.count("user=admin: accepted"), 2);
    EXPECT_EQ(sim.count("stream started: channel 2"), 2);

    auto ev = r.events();
    int lost = find_status(ev, NET_SDK_CALLBACK_STATUS_FAILED, NET_DVR_NETWORK_RECV_ERROR);
    ASSERT_GE(lost, 0);
    int before = 0, after = 0;
    for (size_t i = 0; i < ev.size(); ++i)
        if (ev[i].type == NET_SDK_CALLBACK_TYPE_DATA) (static_cast<int>(i) < lost ? before : after)++;
    EXPECT_EQ(before, 3);
    EXPECT_GE(after, 3);
    EXPECT_EQ(r.count(NET_SDK_CALLBACK_TYPE_STATUS), 1u);

    EXPECT_TRUE(NET_DVR_StopRemoteConfig(handle));  // the same handle, on the new connection
    EXPECT_TRUE(sim.wait_for("stop: ok"));
    EXPECT_TRUE(NET_DVR_Logout(id));
    EXPECT_TRUE(sim.wait_for("logout: ok"));
}

TEST_F(Sdk, WithoutReconnectADropEndsTheStreamWithOneFailureStatus) {
    ASSERT_TRUE(NET_DVR_SetReconnect(100, 0));
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "50", "--drop-after-records", "2"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    int32_t handle = start(id, r);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(eventually([&] { return r.count(NET_SDK_CALLBACK_TYPE_STATUS) == 1; }));
    EXPECT_FALSE(sim.wait_for("user=admin: accepted", 2, milliseconds(500)));
    auto ev = r.events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(find_status(ev, NET_SDK_CALLBACK_STATUS_FAILED, NET_DVR_NETWORK_RECV_ERROR), 2);
    Recorder &again = recorder();
    EXPECT_LT(start(id, again), 0);
    EXPECT_EQ(NET_DVR_GetLastError(), NET_DVR_NETWORK_RECV_ERROR);
    EXPECT_TRUE(NET_DVR_StopRemoteConfig(handle));
    EXPECT_TRUE(NET_DVR_Logout(id));
}

TEST_F(Sdk, StopAndLogoutDuringTheReconnectWaitReturnPromptly) {
    ASSERT_TRUE(NET_DVR_SetReconnect(10000, 1));
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "50", "--drop-after-records", "1", "--away-seconds", "30"}));
    int32_t id = login(sim);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    int32_t handle = start(id, r);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(eventually([&] { return r.count(NET_SDK_CALLBACK_TYPE_STATUS) == 1; }));
    auto t0 = steady_clock::now();
    EXPECT_TRUE(NET_DVR_StopRemoteConfig(handle));
    EXPECT_TRUE(NET_DVR_Logout(id));
    EXPECT_LT(elapsed_ms(t0), 2000);
}

TEST_F(Sdk, GarbageFromTheCameraMidStreamIsAFailureStatus) {
    ASSERT_TRUE(NET_DVR_SetReconnect(100, 0));
    Listener camera;
    std::thread fake([&] {
        int c = camera.accept_one();
        camwire::FrameReader reader;
        camwire::Frame f;
        for (int i = 0; i < 2 && read_frame(c, reader, f); ++i) {
            uint32_t seq = camwire::get_u32(f.payload.data());
            send_bytes(c, camwire::answer(seq, 0));
            if (f.type == camwire::kStartStream) {
                uint8_t record[440] = {};
                record[45] = 1;
                send_bytes(c, camwire::data(camwire::get_u32(f.payload.data() + 4), record));
                send_bytes(c, {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0, 0, 0, 0, 0});
            }
        }
        while (read_frame(c, reader, f)) {
        }
        ::close(c);
    });
    int32_t id = login(camera);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    ASSERT_GE(start(id, r), 0);
    EXPECT_TRUE(eventually([&] { return r.count(NET_SDK_CALLBACK_TYPE_STATUS) == 1; }));
    auto ev = r.events();
    EXPECT_EQ(find_status(ev, NET_SDK_CALLBACK_STATUS_FAILED, NET_DVR_NETWORK_ERRORDATA), 1);
    EXPECT_TRUE(NET_DVR_Logout(id));
    fake.join();
}

// A hung camera keeps its connection (its TCP stack acknowledges) but answers
// nothing; only the heartbeat can tell it from a quiet one.
TEST_F(Sdk, AFrozenCameraIsLostAndTheStreamResumesOnceItAnswersAgain) {
    SimProcess sim;
    Recorder &r = recorder();
    auto t0 = steady_clock::now();
    // No records: for four seconds only the heartbeat's answers keep the link.
    auto [id, handle] = open_stream(sim, {"--rate", "0", "--freeze-after-seconds", "4", "--freeze-seconds", "4"}, r);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(eventually([&] { return r.count(NET_SDK_CALLBACK_TYPE_STATUS) == 1; }, milliseconds(15000)));
    EXPECT_GE(elapsed_ms(t0), 4000);  // not while the camera answered
    EXPECT_EQ(find_status(r.events(), NET_SDK_CALLBACK_STATUS_FAILED, NET_DVR_NETWORK_RECV_TIMEOUT), 0);
    EXPECT_EQ(sim.count("freezing after 4 s"), 1);

    ASSERT_TRUE(sim.wait_for("answering again", 1, milliseconds(10000)));
    EXPECT_TRUE(sim.wait_for("stream started: channel 2", 2));
    EXPECT_TRUE(NET_DVR_StopRemoteConfig(handle));
    EXPECT_TRUE(sim.wait_for("stop: ok"));
    EXPECT_TRUE(NET_DVR_Logout(id));
    EXPECT_EQ(r.count(NET_SDK_CALLBACK_TYPE_STATUS), 1u);
}

// A camera from before the heartbeat closes the connection on a message it
// does not know, so it must never get a PING, however quiet the link.
TEST_F(Sdk, ACameraThatNeverOfferedTheHeartbeatGetsNoPing) {
    Listener camera;
    std::thread fake([&] {
        int c = camera.accept_one();
        camwire::FrameReader reader;
        camwire::Frame f;
        while (read_frame(c, reader, f) && f.type != camwire::kPing)
            send_bytes(c, camwire::answer(camwire::get_u32(f.payload.data()), 0));
        ::close(c);
    });
    int32_t id = login(camera);
    ASSERT_GE(id, 0);
    Recorder &r = recorder();
    ASSERT_GE(start(id, r), 0);
    // Three answer waits of silence: a heartbeat would have pinged after one.
    EXPECT_FALSE(eventually([&] { return r.count(NET_SDK_CALLBACK_TYPE_STATUS) > 0; }, milliseconds(3000)));
    EXPECT_TRUE(NET_DVR_Logout(id));
    fake.join();
}

TEST_F(Sdk, AStreamRefusedAtReconnectIsAskedForAgainOnTheSameLogin) {
    SimProcess sim;
    Recorder &r = recorder();
    auto [id, handle] = open_stream(sim, {"--rate", "50", "--drop-after-records", "3", "--away-seconds", "0.3",
                                          "--refuse-stream", "23", "--refuse-stream-after", "1",
                                          "--refuse-stream-count", "2"},
                                    r);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(r.wait_data(6));  // three before the drop, so three after the refusals

    std::vector<std::pair<int32_t, uint32_t>> statuses;
    for (const Event &e : r.events())
        if (e.type == NET_SDK_CALLBACK_TYPE_STATUS) statuses.emplace_back(status_of(e), code_of(e));
    EXPECT_EQ(statuses, (std::vector<std::pair<int32_t, uint32_t>>{{1002, 9}, {1002, 23}, {1002, 23}}));
    EXPECT_EQ(sim.count("stream refused: code 23"), 2);
    EXPECT_EQ(sim.count("stream started: channel 2"), 2);
    EXPECT_EQ(sim.count("user=admin: accepted"), 2);
    EXPECT_TRUE(NET_DVR_StopRemoteConfig(handle));
    EXPECT_TRUE(sim.wait_for("stop: ok"));
    EXPECT_TRUE(NET_DVR_Logout(id));
}

// The camera has no stream to stop, whether Stop comes between two tries or
// while one is unanswered; it must hear nothing of it, and Stop succeeds.
TEST_F(Sdk, StopOfAStreamTheCameraGoesOnRefusingSucceedsAndTellsTheCameraNothing) {
    SimProcess sim;
    Recorder &r = recorder();
    auto [id, handle] = open_stream(
        sim, {"--rate", "50", "--drop-after-records", "3", "--away-seconds", "0.3", "--refuse-stream", "23",
              "--refuse-stream-after", "1"},
        r);
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(eventually([&] { return r.count(NET_SDK_CALLBACK_TYPE_STATUS) >= 4; }));
    EXPECT_TRUE(NET_DVR_StopRemoteConfig(handle));
    r.close();
    EXPECT_TRUE(NET_DVR_Logout(id));
    EXPECT_TRUE(sim.wait_for("logout: ok"));
    EXPECT_EQ(sim.count("stop: "), 0);
    EXPECT_EQ(sim.count("user=admin: accepted"), 2);
    EXPECT_EQ(r.late(), 0);
}

// ---- resources -------------------------------------------------------------

TEST(SdkResources, NoDescriptorLeaksIntoChildrenOrPastCleanup) {
    int baseline = open_fd_count();
    std::set<std::string> inherited = fd_targets("/proc/self/fd", 0);  // ours from our parent
    ASSERT_TRUE(NET_DVR_Init());
    {
        SimProcess sim;
        ASSERT_TRUE(sim.start({"--rate", "100"}));
        NET_DVR_DEVICEINFO_V30 info;
        EXPECT_LT(NET_DVR_Login_V30(sim.address().c_str(), sim.port(), "admin", "nope", &info), 0);
        int32_t id = NET_DVR_Login_V30(sim.address().c_str(), sim.port(), "admin", "secret", &info);
        ASSERT_GE(id, 0);
        Recorder r;
        auto c = condition(1);
        ASSERT_GE(NET_DVR_StartRemoteConfig(id, 3629, c.data(), 72, Recorder::callback, &r), 0);
        ASSERT_TRUE(r.wait_data(1));

        // A child started now must hold none of the library's descriptors.
        SimProcess child;
        ASSERT_TRUE(child.start({}));
        std::set<std::string> ours = fd_targets("/proc/self/fd", 0);
        for (const std::string &t : inherited) ours.erase(t);
        for (const std::string &t : fd_targets("/proc/" + std::to_string(child.pid()) + "/fd", 3))
            EXPECT_EQ(ours.count(t), 0u) << "the child inherited " << t;
        EXPECT_TRUE(NET_DVR_Logout(id));
        child.stop();
    }
    ASSERT_TRUE(NET_DVR_Cleanup());
    EXPECT_EQ(open_fd_count(), baseline);
}

TEST_F(Sdk, ParallelLoginsAndStreams) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--rate", "200"}));
    std::vector<std::thread> workers;
    std::atomic<int> ok{0};
    for (int w = 0; w < 4; ++w) {
        workers.emplace_back([&, w] {
            for (int round = 0; round < 3; ++round) {
                Recorder r;
                int32_t id = login(sim);
                if (id < 0) return;
                int32_t handle = start(id, r, 1 + w % 2);
                bool got = handle >= 0 && r.wait_data(3);
                bool stopped = (round % 2 == 0) ? NET_DVR_StopRemoteConfig(handle) != 0 : true;
                r.close();
                if (NET_DVR_Logout(id) && got && stopped && r.late() == 0) ++ok;
            }
        });
    }
    for (auto &t : workers) t.join();
    EXPECT_EQ(ok, 12);
}

// ---- the simulator's command line ------------------------------------------

TEST(CameraSim, BadOptionsExitTwoAndATakenAddressExitsOne) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--rate", "fast"},
                                          {"--rate", "1e-20"},
                                          {"--bogus"},
                                          {"--temp", "1", "--ramp", "1:2"},
                                          {"--status", "1000:x"},
                                          {"--flag", "256"},
                                          {"--listen", "127.0.0.1:99999"},
                                          {"--freeze-seconds", "0"},
                                          {"--refuse-stream-after", "1"},
                                          {"--user"},
                                          // getopt_long would take these as --rate, -h -x and
                                          // the end of the options
                                          {"--rat", "5"},
                                          {"-hx"},
                                          {"--", "--help"}}) {
        SimProcess sim;
        int status = sim.run_to_exit(args);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0] << " " << status;
        EXPECT_EQ(sim.count("camera-sim: "), 1) << args[0];
    }
    SimProcess help;
    int status = help.run_to_exit({"--help"});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GE(help.count("--drop-after-records N"), 1);
    EXPECT_GE(help.count("--freeze-after-seconds T"), 1);

    Listener taken;  // no SO_REUSEPORT: a second listener cannot bind
    SimProcess sim;
    status = sim.run_to_exit({"--listen", taken.address + ":" + std::to_string(taken.port)});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(sim.count("cannot listen on " + taken.address + ":" + std::to_string(taken.port) + ": "), 1);
    EXPECT_EQ(sim.count("listening on"), 0);
}

}  // namespace
