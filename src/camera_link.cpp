// The camera link. It owns the SDK session (login id, stream handle, the
// "initialized" flag, guarded as said below) and the latest reading. Start-up
// runs on the main thread, the callback on the SDK's thread, the shutdown on
// whichever thread ends the process.
#include "camera_link.h"

#include "camera_url.h"
#include "hcnetsdk.h"
#include "immortal.h"
#include "log_retention.h"
#include "log_writer.h"
#include "reading_format.h"
#include "steady_time.h"
#include "thermometry.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

static constexpr uint32_t connect_wait_ms = 2000;
static constexpr uint32_t connect_tries = 1;
static constexpr uint32_t reconnect_interval_ms = 10000;
static constexpr int login_attempts = 3;
static constexpr unsigned login_retry_delay_s = 2;
static constexpr size_t data_record_size = 440;
static constexpr size_t data_flag_offset = 45;
static constexpr size_t data_temperature_offset = 180;
static constexpr size_t status_record_size = 8;
static constexpr uint32_t condition_record_size = 72;

// Written by the callback thread, reset by the shutdown, read by the main
// thread. Nothing else is published with it, so relaxed order suffices.
static std::atomic<float> latest_temperature{0.0f};
static_assert(std::atomic<float>::is_always_lock_free, "the temperature must be one indivisible access");

// The latest reading with its arrival, and the link's latest failure:
// written by the callback thread, copied out by outputs on their own
// threads. g_record_mutex guards g_record and takes no other lock.
static std::mutex &g_record_mutex = make_immortal<std::mutex>();
static reading_record g_record;
// Told of each change of g_record; see set_reading_observer().
static std::atomic<void (*)()> g_reading_observer{nullptr};

static int64_t utc_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

reading_record latest_reading_record()
{
    std::lock_guard<std::mutex> lock(g_record_mutex);
    return g_record;
}

void set_reading_observer(void (*observer)())
{
    g_reading_observer.store(observer);
}

static void tell_reading_observer()
{
    if (void (*observer)() = g_reading_observer.load())
        observer();
}

// Link state. Start-up writes it on the main thread; the shutdown may run on
// the signal thread. g_link_mutex makes the shutdown run once and keeps it
// from overlapping the stream's start; the values are atomic because the
// "already initialized" check and the login run without the lock.
static std::mutex &g_link_mutex = make_immortal<std::mutex>();
static std::atomic<bool> initialized{false};
static std::atomic<int32_t> lUserID{-1};
static std::atomic<int32_t> lHandle{-1};
// The camera's address as the URL gives it, once start-up has parsed it.
// Main thread only.
static std::string g_camera_address;

const std::string &camera_address()
{
    return g_camera_address;
}

float get_latest_temperature()
{
    return latest_temperature.load(std::memory_order_relaxed);
}

std::string describe_latest_reading()
{
    const reading_record record = latest_reading_record();
    if (record.readings == 0)
        return "No reading yet";
    return format_console_temperature(get_latest_temperature()) + " (" +
           std::to_string((steady_now_ms() - record.steady_ms) / 1000) + " s ago)";
}

static void handle_data_record(const void *buffer, uint32_t length)
{
    if (length < data_record_size)
        return;
    unsigned char record[data_record_size];
    std::memcpy(record, buffer, sizeof record);
    const unsigned char flag = record[data_flag_offset];
    if (flag != 1 && flag != 2)
        return;
    float celsius = 0.0f;
    std::memcpy(&celsius, record + data_temperature_offset, sizeof celsius);
    latest_temperature.store(celsius, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(g_record_mutex);
        ++g_record.readings;
        g_record.celsius = celsius;
        g_record.utc_ms = utc_ms();
        g_record.steady_ms = steady_now_ms();
    }
    tell_reading_observer();
    log_message("Updated temperature: " + format_fixed(celsius) + "\xC2\xB0" + "C");
}

static void handle_status_record(const void *buffer, uint32_t length)
{
    if (length < status_record_size)
        return;
    int32_t status = 0;
    uint32_t code = 0;
    std::memcpy(&status, buffer, sizeof status);
    std::memcpy(&code, static_cast<const unsigned char *>(buffer) + 4, sizeof code);
    if (status == NET_SDK_CALLBACK_STATUS_SUCCESS)
        log_message("Callback status: SUCCESS");
    if (status != NET_SDK_CALLBACK_STATUS_FAILED)
        return;
    {
        std::lock_guard<std::mutex> lock(g_record_mutex);
        ++g_record.failures;
        g_record.failure_steady_ms = steady_now_ms();
    }
    tell_reading_observer();
    log_message("NET_DVR_GET_MANUALTHERM_INFO failed, error code: " + std::to_string(code));
}

void GetThermInfoCallback(uint32_t type, void *buffer, uint32_t length, void * /*user_data*/)
{
    if (buffer == nullptr)
        return;
    if (type == NET_SDK_CALLBACK_TYPE_DATA)
        handle_data_record(buffer, length);
    else if (type == NET_SDK_CALLBACK_TYPE_STATUS)
        handle_status_record(buffer, length);
}

static std::string error_code_text()
{
    return std::to_string(NET_DVR_GetLastError());
}

// Logs in with up to three attempts, two seconds apart. Leaves the last
// result in lUserID; false after the third failure (SDK released).
static bool login_camera(const RTSPParams &params)
{
    NET_DVR_DEVICEINFO_V30 device_info;
    std::memset(&device_info, 0, sizeof device_info);
    int retries = login_attempts;
    for (;;) {
        const int32_t id = NET_DVR_Login_V30(params.ip.c_str(), static_cast<uint16_t>(params.port),
                                             params.username.c_str(), params.password.c_str(), &device_info);
        lUserID.store(id);
        if (id >= 0)
            return true;
        const std::string code = error_code_text();
        --retries;
        log_message("Login attempt failed, error code: " + code + ", IP: " + params.ip +
                    ", Port: " + std::to_string(params.port) + ", User: " + params.username +
                    ", Retries left: " + std::to_string(retries));
        sleep(login_retry_delay_s);
        if (retries == 0)
            break;
    }
    log_message("Login failed after retries, error code: " + error_code_text());
    NET_DVR_Cleanup();
    return false;
}

// Starts the real-time thermometry stream. Called with g_link_mutex held, so
// that a signal's shutdown waits for the outcome and stops what was started.
static bool start_stream_locked(int32_t channel)
{
    unsigned char condition[condition_record_size];
    std::memset(condition, 0, sizeof condition);
    std::memcpy(condition, &condition_record_size, sizeof condition_record_size);
    std::memcpy(condition + 4, &channel, sizeof channel);

    const int32_t handle = NET_DVR_StartRemoteConfig(lUserID.load(), NET_DVR_GET_REALTIME_THERMOMETRY, condition,
                                                     condition_record_size, GetThermInfoCallback, nullptr);
    lHandle.store(handle);
    if (handle < 0) {
        log_message("NET_DVR_GET_REALTIME_THERMOMETRY failed, error code: " + error_code_text());
        NET_DVR_Logout(lUserID.load());
        NET_DVR_Cleanup();
        return false;
    }
    log_message("NET_DVR_GET_REALTIME_THERMOMETRY is successful!");
    initialized.store(true);
    log_message("Thermometry initialized successfully");
    return true;
}

int init_thermometry(const std::string &url, int32_t channel)
{
    if (initialized.load()) {
        log_message("Thermometry already initialized");
        return 0;
    }
    if (!create_log_directory())
        return -1;
    cleanup_old_logs();

    const RTSPParams params = parse_rtsp_url(url);
    if (params.ip.empty() || params.port == 0) {
        log_message("Failed to parse RTSP URL: " + mask_url_password(url));
        return -1;
    }
    log_message(describe_rtsp_params(params) + ", Channel=" + std::to_string(channel));
    g_camera_address = params.ip;

    if (!NET_DVR_Init()) {
        log_message("NET_DVR_Init failed");
        return -1;
    }
    log_message("NET_DVR_Init succeeded");
    NET_DVR_SetConnectTime(connect_wait_ms, connect_tries);
    NET_DVR_SetReconnect(reconnect_interval_ms, 1);

    if (!login_camera(params))
        return -1;
    log_message("Login succeeded, UserID: " + std::to_string(lUserID.load()));

    std::lock_guard<std::mutex> lock(g_link_mutex);
    return start_stream_locked(channel) ? 0 : -1;
}

void cleanup_thermometry()
{
    std::lock_guard<std::mutex> lock(g_link_mutex);
    if (!initialized.load())
        return;
    const int32_t handle = lHandle.load();
    if (handle >= 0) {
        if (NET_DVR_StopRemoteConfig(handle))
            log_message("NET_DVR_StopRemoteConfig succeeded");
        else
            log_message("NET_DVR_StopRemoteConfig failed, error code: " + error_code_text());
    }
    const int32_t user_id = lUserID.load();
    if (user_id >= 0) {
        if (NET_DVR_Logout(user_id))
            log_message("NET_DVR_Logout succeeded");
        else
            log_message("NET_DVR_Logout failed, error code: " + error_code_text());
    }
    NET_DVR_Cleanup();
    latest_temperature.store(0.0f, std::memory_order_relaxed);
    initialized.store(false);
    log_message("Thermometry cleaned up");
}
