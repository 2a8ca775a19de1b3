// The stand-in camera SDK's nine entry points (hcnetsdk.h), with the library
// lock, the tables of logins and streams, and each thread's last error. Runs
// on the application's threads, and on callback threads that call back in.
#include "hcnetsdk.h"

#include "camera_wire.h"
#include "link_settings.h"
#include "login.h"
#include "socket_io.h"
#include "stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#define SDK_API extern "C" __attribute__((visibility("default")))

using namespace standin;

namespace {

// The library lock and what it guards. It comes first in the lock order
// (login.h): taken before a login's locks, never while waiting on the
// network or for a callback. Never destroyed: threads left running at exit
// must not meet a destroyed state.
struct Library {
    std::mutex m;
    bool initialised = false;
    int32_t next_user = 0;
    int32_t next_handle = 0;
    std::map<int32_t, std::shared_ptr<Login>> logins;
    std::map<int32_t, std::shared_ptr<Stream>> streams;
};

Library &g_library = *new Library;

// What NET_DVR_GetLastError tells this thread.
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

template <typename Map>
int32_t allocate_id(int32_t &next, const Map &in_use) {
    for (;;) {
        int32_t id = next;
        next = next == INT32_MAX ? 0 : next + 1;
        if (!in_use.count(id)) return id;
    }
}

// Takes every stream that belongs to the login out of the table.
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
    std::lock_guard<std::mutex> lk(g_library.m);
    if (!g_library.initialised) {
        g_library.initialised = true;
        reset_link_settings();
    }
    return succeed();
}

SDK_API int NET_DVR_Cleanup(void) {
    std::map<int32_t, std::shared_ptr<Login>> logins;
    std::map<int32_t, std::shared_ptr<Stream>> streams;
    {
        std::lock_guard<std::mutex> lk(g_library.m);
        if (!g_library.initialised) return fail(NET_DVR_NOINIT);
        g_library.initialised = false;
        logins.swap(g_library.logins);
        streams.swap(g_library.streams);
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
    std::lock_guard<std::mutex> lk(g_library.m);
    if (!g_library.initialised) return fail(NET_DVR_NOINIT);
    if (wait_ms == 0 || tries == 0) return fail(NET_DVR_PARAMETER_ERROR);
    set_connect_time(wait_ms, tries);
    return succeed();
}

SDK_API int NET_DVR_SetReconnect(uint32_t interval_ms, int enable) {
    std::lock_guard<std::mutex> lk(g_library.m);
    if (!g_library.initialised) return fail(NET_DVR_NOINIT);
    set_reconnect(interval_ms, enable != 0);
    return succeed();
}

SDK_API int32_t NET_DVR_Login_V30(const char *address, uint16_t port, const char *user_name, const char *password,
                                  NET_DVR_DEVICEINFO_V30 *device_info) {
    {
        std::lock_guard<std::mutex> lk(g_library.m);
        if (!g_library.initialised) return fail_id(NET_DVR_NOINIT);
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
    UniqueFd conn(connect_camera(login->host, port, connect_wait_ms(), connect_tries(), -1, &error));
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

    std::unique_lock<std::mutex> lk(g_library.m);
    if (!g_library.initialised) {
        lk.unlock();
        login->shut_down();
        return fail_id(NET_DVR_NOINIT);
    }
    login->id = allocate_id(g_library.next_user, g_library.logins);
    g_library.logins[login->id] = login;
    t_last_error = NET_DVR_NOERROR;
    return login->id;
}

SDK_API int NET_DVR_Logout(int32_t user_id) {
    std::shared_ptr<Login> login;
    std::vector<std::shared_ptr<Stream>> streams;
    {
        std::lock_guard<std::mutex> lk(g_library.m);
        if (!g_library.initialised) return fail(NET_DVR_NOINIT);
        auto it = g_library.logins.find(user_id);
        if (it == g_library.logins.end()) return fail(NET_DVR_PARAMETER_ERROR);
        login = it->second;
        g_library.logins.erase(it);
        streams = detach_streams(*login, g_library.streams);
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
        std::lock_guard<std::mutex> lk(g_library.m);
        if (!g_library.initialised) return fail_id(NET_DVR_NOINIT);
        auto it = g_library.logins.find(user_id);
        if (it == g_library.logins.end()) return fail_id(NET_DVR_PARAMETER_ERROR);
        login = it->second;
        handle = allocate_id(g_library.next_handle, g_library.streams);
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
        std::lock_guard<std::mutex> lk(g_library.m);
        if (g_library.initialised) {
            auto it = g_library.logins.find(user_id);
            if (it != g_library.logins.end() && it->second == login) {
                g_library.streams[handle] = stream;
                t_last_error = NET_DVR_NOERROR;
                return handle;
            }
        }
    }
    // Logout or Cleanup overtook us; they own the link now.
    bool initialised;
    {
        std::lock_guard<std::mutex> lk(g_library.m);
        initialised = g_library.initialised;
    }
    return abandon(initialised ? NET_DVR_PARAMETER_ERROR : NET_DVR_NOINIT);
}

SDK_API int NET_DVR_StopRemoteConfig(int32_t handle) {
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard<std::mutex> lk(g_library.m);
        if (!g_library.initialised) return fail(NET_DVR_NOINIT);
        auto it = g_library.streams.find(handle);
        if (it == g_library.streams.end()) return fail(NET_DVR_PARAMETER_ERROR);
        stream = it->second;
        g_library.streams.erase(it);
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
