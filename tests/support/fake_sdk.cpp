#include "fake_sdk.h"

#include <cstring>
#include <mutex>

namespace fake_sdk {
namespace {

std::mutex g_mutex;  // the module may call in from its callback or signal thread
Script g_script;
std::vector<Call> g_calls;
bool g_initialised = false;
thread_local uint32_t t_last_error = NET_DVR_NOERROR;

// Records a call; returns false (with NOINIT as the error) when the SDK is
// not initialised, which every caller but NET_DVR_Init must honour.
bool record(Call call, bool needs_init = true)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back(std::move(call));
    if (needs_init && !g_initialised) {
        t_last_error = NET_DVR_NOINIT;
        return false;
    }
    return true;
}

Call make_call(const char *name, const std::string &arguments)
{
    Call call;
    call.name = name;
    call.summary = std::string(name) + "(" + arguments + ")";
    return call;
}

int fail(uint32_t error)
{
    t_last_error = error;
    return 0;
}

}  // namespace

void reset()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script = Script();
    g_calls.clear();
    g_initialised = false;
    t_last_error = NET_DVR_NOERROR;
}

Script &script()
{
    return g_script;
}

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

std::vector<std::string> call_log()
{
    std::vector<std::string> log;
    for (const Call &call : calls())
        log.push_back(call.summary);
    return log;
}

}  // namespace fake_sdk

using fake_sdk::Call;
using fake_sdk::g_initialised;
using fake_sdk::g_mutex;
using fake_sdk::g_script;
using fake_sdk::make_call;
using fake_sdk::record;

extern "C" {

int NET_DVR_Init(void)
{
    record(make_call("NET_DVR_Init", ""), false);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_script.init_ok)
        return fake_sdk::fail(NET_DVR_ALLOC_RESOURCE_ERROR);
    g_initialised = true;
    return 1;
}

int NET_DVR_Cleanup(void)
{
    if (!record(make_call("NET_DVR_Cleanup", "")))
        return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_initialised = false;
    return 1;
}

uint32_t NET_DVR_GetLastError(void)
{
    return fake_sdk::t_last_error;
}

int NET_DVR_SetConnectTime(uint32_t wait_ms, uint32_t tries)
{
    Call call = make_call("NET_DVR_SetConnectTime", std::to_string(wait_ms) + ", " + std::to_string(tries));
    call.numbers = {wait_ms, tries};
    return record(std::move(call)) ? 1 : 0;
}

int NET_DVR_SetReconnect(uint32_t interval_ms, int enable)
{
    Call call = make_call("NET_DVR_SetReconnect", std::to_string(interval_ms) + ", " + std::to_string(enable));
    call.numbers = {interval_ms, enable};
    return record(std::move(call)) ? 1 : 0;
}

int32_t NET_DVR_Login_V30(const char *address, uint16_t port, const char *user_name, const char *password,
                          NET_DVR_DEVICEINFO_V30 *device_info)
{
    const std::string a = address ? address : "(null)";
    const std::string u = user_name ? user_name : "(null)";
    const std::string p = password ? password : "(null)";
    Call call = make_call("NET_DVR_Login_V30", a + ", " + std::to_string(port) + ", " + u + ", " + p);
    call.numbers = {port};
    call.texts = {a, u, p};
    if (!record(std::move(call)))
        return -1;
    fake_sdk::LoginResult result{0, NET_DVR_NOERROR};
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_script.logins.empty()) {
            result = g_script.logins.front();
            g_script.logins.pop_front();
        }
    }
    if (result.id < 0) {
        fake_sdk::fail(result.error);
        return -1;
    }
    if (device_info == nullptr) {
        fake_sdk::fail(NET_DVR_PARAMETER_ERROR);
        return -1;
    }
    // The real SDK fills all 80 bytes; writing them lets ASan catch an
    // output area that is too small.
    std::memset(device_info, 0xA5, sizeof *device_info);
    return result.id;
}

int NET_DVR_Logout(int32_t user_id)
{
    Call call = make_call("NET_DVR_Logout", std::to_string(user_id));
    call.numbers = {user_id};
    if (!record(std::move(call)))
        return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_script.logout_ok ? 1 : fake_sdk::fail(g_script.logout_error);
}

int32_t NET_DVR_StartRemoteConfig(int32_t user_id, uint32_t command, const void *condition,
                                  uint32_t condition_length, NET_DVR_RemoteConfigCallback callback,
                                  void *user_data)
{
    Call call = make_call("NET_DVR_StartRemoteConfig", std::to_string(user_id) + ", " + std::to_string(command) +
                                                           ", " + std::to_string(condition_length) + " bytes");
    call.numbers = {user_id, command, condition_length};
    if (condition != nullptr) {
        // Copying all condition_length bytes lets ASan catch a short buffer.
        const auto *bytes = static_cast<const uint8_t *>(condition);
        call.condition.assign(bytes, bytes + condition_length);
    }
    call.callback = callback;
    call.user_data = user_data;
    if (!record(std::move(call)))
        return -1;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_script.stream_handle < 0)
        fake_sdk::fail(g_script.stream_error);
    return g_script.stream_handle;
}

int NET_DVR_StopRemoteConfig(int32_t handle)
{
    Call call = make_call("NET_DVR_StopRemoteConfig", std::to_string(handle));
    call.numbers = {handle};
    if (!record(std::move(call)))
        return 0;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        hook.swap(g_script.on_stop);
    }
    if (hook)
        hook();
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_script.stop_ok ? 1 : fake_sdk::fail(g_script.stop_error);
}

}  // extern "C"
