#include "thermometry.h"

#include "hcnetsdk.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>

// File-static objects that other threads may still use while the process
// ends are created once and never destroyed: a signal's shutdown may end the
// process while the main thread is in the middle of a cycle, and exit() must
// not pull them away from under it.
template <typename T>
static T &make_immortal()
{
    return *new T();
}

// ---- log writer ------------------------------------------------------------

static constexpr const char *log_root_dir = ".log";
static constexpr const char *log_dir = ".log/temp";

// Guards g_log_fd, current_log_file, the write-failure state, g_output_closed
// and every write to standard output, so that lines from the main, callback
// and signal threads never interleave or split.
static std::mutex &g_log_mutex = make_immortal<std::mutex>();
static int g_log_fd = -1;
static std::string &current_log_file = make_immortal<std::string>();
static bool g_log_write_failing = false;  // the last line did not reach the file
static bool g_log_line_cut = false;       // the file ends in a piece of a line
static bool g_output_closed = false;

static std::atomic<std::time_t (*)()> g_time_source{nullptr};

void set_time_source(std::time_t (*source)())
{
    g_time_source.store(source);
}

static std::time_t current_calendar_time()
{
    std::time_t (*source)() = g_time_source.load();
    return source ? source() : std::time(nullptr);
}

static std::string format_local_time(const char *format)
{
    std::time_t now = current_calendar_time();
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        local = std::tm{};
    char text[32];
    size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

std::string get_current_date()
{
    return format_local_time("%Y%m%d");
}

std::string get_current_time()
{
    return format_local_time("%Y-%m-%d %H:%M:%S");
}

static bool make_log_dir(const char *path)
{
    if (mkdir(path, 0755) == 0 || errno == EEXIST)
        return true;
    int error = errno;
    std::fprintf(stderr, "Failed to create log directory %s: %s\n", path, std::strerror(error));
    std::fflush(stderr);
    return false;
}

bool create_log_directory()
{
    return make_log_dir(log_root_dir) && make_log_dir(log_dir);
}

static void write_stdout_locked(const std::string &bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

static void write_stderr_locked(const std::string &line)
{
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

static void close_log_file_locked()
{
    if (g_log_fd >= 0)
        close(g_log_fd);  // a failed close changes nothing for us
    g_log_fd = -1;
    g_log_line_cut = false;
}

static int open_log_file(const std::string &path)
{
    // Append mode: each write goes to the end, whoever else appends.
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

// Opens the day's file when the date changed or the last open failed. A log
// folder removed while the program runs is created again. Returns whether a
// file is open. Called with g_log_mutex held.
static bool prepare_log_file_locked(const std::string &path)
{
    if (path != current_log_file) {
        close_log_file_locked();  // a write failure goes on until a line is written
        current_log_file = path;
    }
    if (g_log_fd < 0) {
        g_log_fd = open_log_file(current_log_file);
        if (g_log_fd < 0 && errno == ENOENT && create_log_directory())
            g_log_fd = open_log_file(current_log_file);
    }
    return g_log_fd >= 0;
}

// Writes bytes to the day's file with as many write(2) calls as it takes.
// Returns 0 or the error that stopped it; *written tells how far it got.
static int write_log_file_locked(const std::string &bytes, size_t *written)
{
    *written = 0;
    while (*written < bytes.size()) {
        const ssize_t count = write(g_log_fd, bytes.data() + *written, bytes.size() - *written);
        if (count > 0)
            *written += static_cast<size_t>(count);
        else if (count < 0 && errno != EINTR)
            return errno;
        else if (count == 0)
            return EIO;  // a regular file that takes nothing: no progress to wait for
    }
    return 0;
}

// Appends line to the day's file, whole or not at all. A failure (a full
// disk, a file size limit, an I/O error) is reported on standard error when
// it starts and again when writing works again, not for every line: the
// lines still reach standard output meanwhile.
static void append_log_line_locked(const std::string &line)
{
    const std::string bytes = g_log_line_cut ? "\n" + line : line;
    size_t written = 0;
    const int error = write_log_file_locked(bytes, &written);
    if (error == 0) {
        g_log_line_cut = false;
        if (g_log_write_failing)
            write_stderr_locked("Writing log file " + current_log_file + " works again\n");
        g_log_write_failing = false;
        return;
    }
    if (written > 0) {
        // The disk filled up in the middle of the line: take the piece back
        // out, or at least start the next line on a line of its own.
        const off_t end = lseek(g_log_fd, 0, SEEK_CUR);
        if (end < static_cast<off_t>(written) || ftruncate(g_log_fd, end - static_cast<off_t>(written)) != 0)
            g_log_line_cut = true;
    }
    if (!g_log_write_failing)
        write_stderr_locked("Failed to write log file " + current_log_file + ": " + std::strerror(error) +
                            " (lines go to standard output only until writing works again)\n");
    g_log_write_failing = true;
}

void log_message(const std::string &text)
{
    const std::string path = std::string(log_dir) + "/temp_" + get_current_date() + ".log";
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_output_closed)
        return;
    const bool file_open = prepare_log_file_locked(path);
    if (!file_open)
        write_stderr_locked("Failed to open log file " + current_log_file + "\n");
    std::string line;
    line.reserve(text.size() + 24);
    line += '[';
    line += get_current_time();
    line += "] ";
    line += text;
    line += '\n';
    if (file_open)
        append_log_line_locked(line);
    write_stdout_locked(line);
}

void write_console_line(const std::string &line)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (!g_output_closed)
        write_stdout_locked(line + "\n");
}

void close_log()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    close_log_file_locked();
    g_output_closed = true;
    std::fflush(stdout);
}

void reset_log_writer()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    close_log_file_locked();
    current_log_file.clear();
    g_log_write_failing = false;
    g_output_closed = false;
}

// ---- log retention ---------------------------------------------------------

static constexpr std::time_t log_retention_s = 604800;  // seven days

// True for the names the log writer gives its files, "temp_YYYYMMDD.log";
// *day receives the file's date at 00:00:00 local standard time.
static bool read_log_file_date(const std::string &name, std::time_t *day)
{
    if (name.size() != 17 || name.compare(0, 5, "temp_") != 0 || name.compare(13, 4, ".log") != 0)
        return false;
    const std::string date = name.substr(5, 8);
    std::tm broken{};
    if (strptime(date.c_str(), "%Y%m%d", &broken) == nullptr)
        return false;
    broken.tm_isdst = 0;
    *day = std::mktime(&broken);
    return true;
}

void cleanup_old_logs()
{
    DIR *dir = opendir(log_dir);
    if (dir == nullptr) {
        log_message(std::string("Failed to open log directory for cleanup: ") + log_dir);
        return;
    }
    const std::time_t limit = current_calendar_time() - log_retention_s;
    while (struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        std::time_t day = 0;
        if (!read_log_file_date(name, &day) || !(day < limit))
            continue;
        const std::string path = std::string(log_dir) + "/" + name;
        if (std::remove(path.c_str()) == 0) {
            log_message("Cleaned up old log file: " + name);
        } else {
            int error = errno;
            log_message("Failed to clean up log file: " + name + " - " + std::strerror(error));
        }
    }
    closedir(dir);
}

// ---- camera URL --------------------------------------------------------------

static constexpr const char *masked_password = "******";
static constexpr int32_t sdk_login_port = 8000;

bool find_url_password(const std::string &url, size_t *begin, size_t *length)
{
    const size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos)
        return false;
    const size_t at = url.rfind('@');
    if (at == std::string::npos || at < scheme_end + 3)
        return false;
    const size_t colon = url.find(':', scheme_end + 3);
    if (colon == std::string::npos || colon >= at)
        return false;
    *begin = colon + 1;
    *length = at - *begin;
    return true;
}

std::string mask_url_password(const std::string &url)
{
    size_t begin = 0;
    size_t length = 0;
    if (!find_url_password(url, &begin, &length))
        return url;
    return url.substr(0, begin) + masked_password + url.substr(begin + length);
}

static std::string describe_params(const RTSPParams &params)
{
    return "Parsed RTSP URL: IP=" + params.ip + ", Port=" + std::to_string(params.port) +
           ", User=" + params.username + ", Password=" + masked_password;
}

// libstdc++ matches a regular expression recursively, one stack frame per
// character, so a huge argument could overflow the stack. No camera URL is
// anywhere near this long.
static constexpr size_t max_url_length = 2048;

RTSPParams parse_rtsp_url(const std::string &url)
{
    RTSPParams params;
    // The password may hold '@' and ':' and runs to the '@' before the
    // address, which holds neither. Of several such '@' the first one for
    // which the rest reads as address, port and path wins: a password that
    // holds no '@' ends where it always did, and a '@' in the path is never
    // taken for the end of the password.
    const std::regex pattern(R"(rtsp://([^:]+):([\s\S]+?)@([^:@]+):(\d+)(?:/.*)?)", std::regex::ECMAScript);
    std::smatch match;
    if (url.size() <= max_url_length && std::regex_match(url, match, pattern)) {
        params.username = match[1].str();
        params.password = match[2].str();
        params.ip = match[3].str();
        params.port = sdk_login_port;
        log_message(describe_params(params));
    } else {
        log_message("Invalid RTSP URL format: " + mask_url_password(url));
        params.ip.clear();
        params.port = 0;
    }
    return params;
}

// ---- command line ----------------------------------------------------------

bool parse_int_option(const char *text, int32_t *value)
{
    if (text == nullptr)
        return false;
    errno = 0;
    char *end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(number);
    return true;
}

// Files named by "-s @FILE" hold at most this many bytes.
static constexpr size_t max_url_file_size = 4096;

bool read_url_file(const std::string &path, std::string *url, std::string *reason)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    // One byte more than allowed tells a file that is too large.
    std::string content;
    char buffer[max_url_file_size + 1];
    int error = 0;
    while (content.size() <= max_url_file_size) {
        const ssize_t count = read(fd, buffer, sizeof buffer - content.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            error = errno;
        if (count <= 0)
            break;
        content.append(buffer, static_cast<size_t>(count));
    }
    close(fd);
    if (error != 0) {
        *reason = std::strerror(error);
        return false;
    }
    if (content.size() > max_url_file_size) {
        *reason = "the file is larger than " + std::to_string(max_url_file_size) + " bytes";
        return false;
    }
    std::string line = content.substr(0, content.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty()) {
        *reason = "the first line is empty";
        return false;
    }
    *url = line;
    return true;
}

// ---- camera link -------------------------------------------------------------

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
// When the latest reading came (steady clock, ms), -1 before the first one.
// For the service manager's status line only.
static std::atomic<int64_t> g_reading_ms{-1};

static int64_t steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Link state. Start-up writes it on the main thread; the shutdown may run on
// the signal thread. g_link_mutex makes the shutdown run once and keeps it
// from overlapping the stream's start; the values are atomic because the
// "already initialized" check and the login run without the lock.
static std::mutex &g_link_mutex = make_immortal<std::mutex>();
static std::atomic<bool> initialized{false};
static std::atomic<int32_t> lUserID{-1};
static std::atomic<int32_t> lHandle{-1};

float get_latest_temperature()
{
    return latest_temperature.load(std::memory_order_relaxed);
}

static std::string format_fixed(double value)
{
    char text[64];  // %f of the largest float is 46 characters
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

std::string format_console_temperature(float celsius)
{
    std::ostringstream line;
    line << "Temperature: " << static_cast<double>(celsius) << "\xC2\xB0"
         << "C";
    return line.str();
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
    g_reading_ms.store(steady_ms(), std::memory_order_relaxed);
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
    else if (status == NET_SDK_CALLBACK_STATUS_FAILED)
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
    log_message(describe_params(params) + ", Channel=" + std::to_string(channel));

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

// ---- shutdown and signals --------------------------------------------------

// Set by whichever path ends the process first: a signal's shutdown or main
// on its way out. The other path then leaves the ending to it.
static std::atomic<bool> g_exit_claimed{false};

// Held by the main thread while it does one piece of its periodic work (a
// console line, a server cycle). A signal's shutdown takes it and keeps it
// until the process ends, so that no reading is printed or sent once the
// shutdown has begun: the reset temperature must never reach a client.
static std::mutex &g_main_work_mutex = make_immortal<std::mutex>();

static void wait_forever()
{
    for (;;)
        pause();
}

void claim_exit()
{
    if (g_exit_claimed.exchange(true))
        wait_forever();
}

void signal_handler(int signo)
{
    if (g_exit_claimed.exchange(true))
        wait_forever();
    g_main_work_mutex.lock();  // released only by the end of the process
    notify_stopping(signo);
    log_message("Received signal " + std::to_string(signo) + ", cleaning up...");
    cleanup_thermometry();
    close_log();
    // No exit(): the main thread may be mid-cycle, and static destructors
    // (ours, the C++ library's, the SDK's) must not run under it. Every
    // line is already flushed and the log file closed.
    _exit(0);
}

// The signals that end the program in order. Set by install_signal_handler
// before the signal thread starts, read-only afterwards.
static sigset_t g_shutdown_signals;

// SIGHUP is among them, so that a closed terminal or ssh session ends the
// program in order too, unless the program was started with SIGHUP ignored
// (nohup): that wish is kept. Linux keeps a blocked signal pending even when
// it is ignored, so sigwait would take it if it were in the set.
static sigset_t choose_shutdown_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) != 0 || hangup.sa_handler != SIG_IGN)
        sigaddset(&set, SIGHUP);
    return set;
}

static void *wait_for_signals(void *)
{
    for (;;) {
        int signo = 0;
        if (sigwait(&g_shutdown_signals, &signo) == 0)
            signal_handler(signo);
    }
    return nullptr;
}

bool install_signal_handler()
{
    // A client or camera that vanishes must cost a failed send, not the
    // process; the SDK has sockets of its own, so ignore SIGPIPE everywhere.
    signal(SIGPIPE, SIG_IGN);
    g_shutdown_signals = choose_shutdown_signals();
    int error = pthread_sigmask(SIG_BLOCK, &g_shutdown_signals, nullptr);
    pthread_t thread;
    if (error == 0)
        error = pthread_create(&thread, nullptr, wait_for_signals, nullptr);
    if (error != 0) {
        std::fprintf(stderr, "Failed to start the signal thread: %s\n", std::strerror(error));
        std::fflush(stderr);
        return false;
    }
    pthread_detach(thread);
    return true;
}

void print_console_temperature()
{
    std::lock_guard<std::mutex> lock(g_main_work_mutex);
    write_console_line(format_console_temperature(get_latest_temperature()));
    notify_cycle();
}

// ---- TCP temperature server ------------------------------------------------

// The kernel caps the backlog at its own limit (net.core.somaxconn). A full
// accept queue is not harmless: the kernel may still complete handshakes
// whose connections it then never hands over, and those clients wait for
// nothing without an error.
static constexpr int listen_backlog = SOMAXCONN;
static constexpr unsigned server_cycle_sleep_s = 1;
// Connections taken off the listen queue in one cycle: enough for a crowd
// arriving together, bounded so that a flood cannot keep a cycle from
// sending.
static constexpr int max_accepts_per_cycle = 1024;
// Descriptors at the top of the process's limit that no client gets, so that
// the camera link can always reconnect and the log open its next file.
static constexpr long descriptor_reserve = 64;

// The port being served once the listener is up; 0 in console mode. Main
// thread only.
static int g_server_port = 0;

// The connected clients, in ascending descriptor order. Main thread only.
static std::set<int> &client_fds = make_immortal<std::set<int>>();
// The unsent rest of a line that a client's socket took only in part; such
// a client gets nothing new until the rest is through. Main thread only.
static std::map<int, std::string> &g_unsent = make_immortal<std::map<int, std::string>>();

std::string format_temperature_line(float celsius)
{
    if (!std::isfinite(celsius))
        return "{\"tmp\":null}\n";
    return "{\"tmp\":" + format_fixed(celsius) + "}\n";
}

static std::string error_text(int error)
{
    return std::strerror(error);
}

// The process's descriptor limit and the reserve kept below it (half the
// limit when the limit is small, so that some clients can still come).
struct descriptor_budget {
    long limit;
    long reserve;
};

static descriptor_budget current_descriptor_budget()
{
    rlimit limit{};
    long soft = INT_MAX;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(INT_MAX))
        soft = static_cast<long>(limit.rlim_cur);
    return {soft, std::min(descriptor_reserve, soft / 2)};
}

static std::string peer_text(const sockaddr_in &peer)
{
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    return std::string("IP=") + address + ", Port=" + std::to_string(ntohs(peer.sin_port));
}

// Takes every pending connection, up to max_accepts_per_cycle. A new
// descriptor is always the lowest free one, so one that lands in the
// reserve means that every descriptor below it is taken: that client is
// closed at once, so it learns of the refusal instead of waiting.
static void accept_clients(int listen_fd)
{
    descriptor_budget budget{0, 0};
    for (int accepted = 0; accepted < max_accepts_per_cycle; ++accepted) {
        sockaddr_in peer{};
        socklen_t peer_length = sizeof peer;
        const int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&peer), &peer_length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error != EAGAIN && error != EWOULDBLOCK)
                log_message(" Accept failed: " + error_text(error));
            return;
        }
        // Read once per cycle that accepts, so that a limit changed from
        // outside (prlimit) counts from the next cycle on.
        if (budget.limit == 0)
            budget = current_descriptor_budget();
        if (fd >= budget.limit - budget.reserve) {
            close(fd);
            log_message(" Refused client " + peer_text(peer) + ": no descriptor left for clients (limit " +
                        std::to_string(budget.limit) + ", the last " + std::to_string(budget.reserve) +
                        " kept for the camera link and the log)");
            continue;
        }
        log_message(" New client connected: " + peer_text(peer) + ", FD=" + std::to_string(fd));
        client_fds.insert(fd);
    }
}

static void drop_clients(const std::vector<int> &drops, const char *what)
{
    for (int fd : drops) {
        close(fd);
        client_fds.erase(fd);
        g_unsent.erase(fd);
        log_message(std::string(what) + std::to_string(fd) + ", remaining clients: " +
                    std::to_string(client_fds.size()));
    }
}

enum class send_outcome { whole, partial, full, closed, failed };

static send_outcome send_bytes(int fd, const std::string &bytes, size_t *sent, int *error)
{
    const ssize_t count = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count > 0) {
        *sent = static_cast<size_t>(count);
        return *sent == bytes.size() ? send_outcome::whole : send_outcome::partial;
    }
    if (count == 0)
        return send_outcome::closed;
    *error = errno;
    if (*error == EAGAIN || *error == EWOULDBLOCK || *error == EINTR)
        return send_outcome::full;
    return send_outcome::failed;
}

// Sends a client the rest of an earlier line, then, once it is through, this
// cycle's line. Returns false when the client must be dropped.
static bool send_to_client(int fd, const std::string &line, const std::string &shown)
{
    const std::string fd_text = std::to_string(fd);
    auto unsent = g_unsent.find(fd);
    const bool finishing = unsent != g_unsent.end();
    const std::string &bytes = finishing ? unsent->second : line;
    size_t sent = 0;
    int error = 0;
    switch (send_bytes(fd, bytes, &sent, &error)) {
    case send_outcome::whole:
        if (!finishing) {
            log_message("\xF0\x9F\x93\xA4 Sent temperature to client FD=" + fd_text + ": " + shown);
            return true;
        }
        g_unsent.erase(unsent);
        return send_to_client(fd, line, shown);
    case send_outcome::partial:
        if (finishing) {
            unsent->second.erase(0, sent);
        } else {
            g_unsent[fd] = line.substr(sent);
            log_message("\xF0\x9F\x93\xA4 Sent temperature to client FD=" + fd_text + ": " + shown);
        }
        return true;
    case send_outcome::full:
        log_message(" Send buffer full for client FD=" + fd_text);
        return true;
    case send_outcome::closed:
        log_message(" Client FD=" + fd_text + " disconnected (send returned 0)");
        return false;
    case send_outcome::failed:
        log_message(" Send failed for client FD=" + fd_text + ": " + error_text(error));
        return false;
    }
    return true;
}

static void send_pass()
{
    const std::string line = format_temperature_line(get_latest_temperature());
    const std::string shown = line.substr(0, line.size() - 1);
    std::vector<int> drops;
    for (int fd : client_fds)
        if (!send_to_client(fd, line, shown))
            drops.push_back(fd);
    drop_clients(drops, " Removed disconnected client FD=");
}

static void probe_pass()
{
    std::vector<int> drops;
    for (int fd : client_fds) {
        char probe = 0;
        const ssize_t count = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (count > 0)
            continue;
        if (count == 0) {
            log_message(" Client FD=" + std::to_string(fd) + " disconnected (recv returned 0)");
            drops.push_back(fd);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
            continue;
        log_message("\xE2\x9D\x8C Client FD=" + std::to_string(fd) + " connection error: " + error_text(error));
        drops.push_back(fd);
    }
    drop_clients(drops, " Removed broken client FD=");
}

void run_server_cycle(int listen_fd)
{
    if (listen_fd >= 0)
        accept_clients(listen_fd);
    if (!client_fds.empty())
        send_pass();
    if (!client_fds.empty())
        probe_pass();
}

void add_tcp_client(int fd)
{
    client_fds.insert(fd);
}

std::vector<int> tcp_client_fds()
{
    return std::vector<int>(client_fds.begin(), client_fds.end());
}

void forget_tcp_clients()
{
    for (int fd : client_fds)
        close(fd);
    client_fds.clear();
    g_unsent.clear();
}

// Creates, binds and listens; -1 after a logged failure.
static int open_listener(int port)
{
    const std::string port_text = std::to_string(port);
    if (port < 1 || port > 65535) {
        log_message("Invalid TCP port " + port_text + ": must be between 1 and 65535");
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        log_message("Failed to create socket: " + error_text(error));
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0) {
        const int error = errno;
        log_message("Bind failed on port " + port_text + ": " + error_text(error));
        close(fd);
        return -1;
    }
    if (listen(fd, listen_backlog) < 0) {
        const int error = errno;
        log_message("Listen failed on port " + port_text + ": " + error_text(error));
        close(fd);
        return -1;
    }
    log_message(" TCP server successfully started on port " + port_text);
    log_message(" Waiting for client connections...");
    return fd;
}

// Lets the server have as many clients as the hard limit allows; nothing in
// the process uses select(), so descriptors past 1023 are fine.
static void raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        const int error = errno;
        log_message("Failed to read the open file limit: " + error_text(error));
        return;
    }
    if (limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        const int error = errno;
        log_message("Failed to raise the open file limit from " + std::to_string(soft) + " to " +
                    std::to_string(limit.rlim_max) + ": " + error_text(error));
    }
}

void start_tcp_server(int port)
{
    raise_descriptor_limit();
    const int listen_fd = open_listener(port);
    if (listen_fd < 0)
        return;
    g_server_port = port;
    notify_ready();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_main_work_mutex);
            run_server_cycle(listen_fd);
            notify_cycle();
        }
        sleep(server_cycle_sleep_s);
    }
}

// ---- service manager notification ----------------------------------------

// Guards g_notify. Taken after g_main_work_mutex and before g_log_mutex.
static std::mutex &g_notify_mutex = make_immortal<std::mutex>();
static struct {
    bool configured = false;  // the environment has been read
    int fd = -1;              // -1: nothing is sent
    sockaddr_un address{};
    socklen_t address_length = 0;
    bool watchdog = false;
    bool failing = false;  // the last send failed (and that was logged)
} g_notify;

// Whether $WATCHDOG_USEC asks this process for keep-alive pings.
static bool watchdog_requested()
{
    const char *usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr || *usec < '0' || *usec > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    if (std::strtoull(usec, &end, 10) == 0 || *end != '\0' || errno != 0)
        return false;
    const char *pid = std::getenv("WATCHDOG_PID");
    if (pid == nullptr || *pid == '\0')
        return true;
    return std::strtoll(pid, &end, 10) == static_cast<long long>(getpid()) && *end == '\0';
}

static void configure_notify_locked()
{
    g_notify.configured = true;
    const char *variable = std::getenv("NOTIFY_SOCKET");
    if (variable == nullptr || *variable == '\0')
        return;
    const std::string name = variable;
    sockaddr_un &address = g_notify.address;
    if ((name[0] != '/' && name[0] != '@') || name.size() < 2 || name.size() > sizeof address.sun_path) {
        log_message("Cannot notify the service manager: NOTIFY_SOCKET is not a socket path: " + name);
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        log_message(std::string("Cannot notify the service manager: ") + std::strerror(error));
        return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';  // an abstract name
    g_notify.address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    g_notify.watchdog = watchdog_requested();
    g_notify.fd = fd;
}

// Whether notifications go anywhere; reads the environment the first time.
// Called with g_notify_mutex held.
static bool notifying_locked()
{
    if (!g_notify.configured)
        configure_notify_locked();
    return g_notify.fd >= 0;
}

// Sends one datagram of "NAME=value" lines. Called with g_notify_mutex held,
// after notifying_locked() said yes.
static void send_notification_locked(const std::string &message)
{
    // Never wait for the service manager: a full queue costs one message,
    // and the next cycle sends another.
    const ssize_t sent = sendto(g_notify.fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr *>(&g_notify.address), g_notify.address_length);
    if (sent >= 0) {
        if (g_notify.failing)
            log_message("Notifying the service manager works again");
        g_notify.failing = false;
        return;
    }
    const int error = errno;
    if (!g_notify.failing)
        log_message(std::string("Failed to notify the service manager: ") + std::strerror(error));
    g_notify.failing = true;
}

static std::string service_status()
{
    std::string status;
    if (g_server_port > 0) {
        const size_t clients = client_fds.size();
        status = "TCP server on port " + std::to_string(g_server_port) + ", " + std::to_string(clients) +
                 (clients == 1 ? " client" : " clients");
    } else {
        status = "Console mode";
    }
    const int64_t reading_ms = g_reading_ms.load(std::memory_order_relaxed);
    if (reading_ms < 0)
        return status + ". No reading yet";
    return status + ". " + format_console_temperature(get_latest_temperature()) + " (" +
           std::to_string((steady_ms() - reading_ms) / 1000) + " s ago)";
}

void notify_ready()
{
    // A shutdown that has begun holds the work lock: no READY=1 after its
    // STOPPING=1.
    std::lock_guard<std::mutex> work(g_main_work_mutex);
    std::lock_guard<std::mutex> lock(g_notify_mutex);
    if (notifying_locked())
        send_notification_locked("READY=1\nSTATUS=" + service_status());
}

void notify_cycle()
{
    std::lock_guard<std::mutex> lock(g_notify_mutex);
    if (notifying_locked())
        send_notification_locked(std::string(g_notify.watchdog ? "WATCHDOG=1\n" : "") + "STATUS=" +
                                 service_status());
}

void notify_stopping(int signo)
{
    std::lock_guard<std::mutex> lock(g_notify_mutex);
    if (notifying_locked())
        send_notification_locked("STOPPING=1\nSTATUS=Stopping on signal " + std::to_string(signo));
}
