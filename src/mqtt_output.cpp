// The MQTT output. It owns its thread, the broker connection (a mosquitto
// client used by that thread alone) and what has been published. The
// camera link's observer wakes the thread from the SDK's thread; the
// shutdown stops it from the signal thread or main.
#include "camera_link.h"
#include "log_writer.h"
#include "mqtt_messages.h"
#include "mqtt_url.h"
#include "shutdown.h"
#include "thermometry.h"

#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#ifndef THERMOMETRY_VERSION
#define THERMOMETRY_VERSION "unknown"
#endif

namespace {

constexpr int keepalive_s = 30;
// A broker that takes the connection but does not answer it in this time
// is given up on, like one that refuses it.
constexpr int64_t connect_timeout_ms = 10000;
constexpr int64_t first_retry_ms = 1000;
constexpr int64_t last_retry_ms = 30000;
// Without a reading for this long the camera counts as offline.
constexpr int64_t stale_after_ms = 10000;
constexpr int64_t outage_report_ms = 10 * 60 * 1000;
// Home Assistant asks for its discovery records again when it starts; the
// answer waits a little, so that many devices do not answer at once.
constexpr int64_t rediscovery_min_ms = 1000;
constexpr int64_t rediscovery_max_ms = 5000;
// How long a shutdown waits for the broker to take "offline".
constexpr int64_t goodbye_timeout_ms = 2000;
constexpr int poll_cap_ms = 1000;

int64_t now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string duration_text(int64_t ms)
{
    const int64_t s = ms / 1000;
    if (s < 60)
        return std::to_string(s) + " s";
    if (s < 3600)
        return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

class mqtt_output {
public:
    mqtt_output(const mqtt_settings &settings, const std::string &base, const std::string &device_name)
        : settings_(settings),
          base_(base),
          device_name_(device_name),
          client_id_(mqtt_client_id(base)),
          broker_((settings.tls ? "mqtts://" : "mqtt://") +
                  (settings.host.find(':') != std::string::npos ? "[" + settings.host + "]" : settings.host) + ":" +
                  std::to_string(settings.port)),
          random_(static_cast<unsigned>(now_ms() ^ getpid()))
    {
    }

    bool open_wake() { return (wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) >= 0; }
    const std::string &client_id() const { return client_id_; }

    // Any thread, never blocks.
    void wake()
    {
        const uint64_t one = 1;
        if (write(wake_fd_, &one, sizeof one) < 0) {
            // EAGAIN: the counter is full, so a wake-up is pending anyway.
        }
    }

    void run();

    // Asks the thread to say goodbye to the broker and end; waits for that
    // for at most timeout_ms.
    void stop(int64_t timeout_ms)
    {
        stopping_.store(true);
        wake();
        std::unique_lock<std::mutex> lock(finished_mutex_);
        finished_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return finished_; });
    }

private:
    enum class state { waiting, connecting, connected };

    void attempt();
    void fail(const std::string &reason);
    void drop(const std::string &reason);
    void on_connected();
    void publish(const std::string &topic, const std::string &payload, int qos, bool retain, int *mid = nullptr);
    void publish_updates(int64_t now);
    void publish_camera_state(bool online);
    void publish_discovery();
    int poll_timeout(int64_t now) const;
    void pump(short events);
    void say_goodbye();
    std::string error_reason(int rc);
    int64_t jittered(int64_t ms) { return ms / 2 + static_cast<int64_t>(random_() % static_cast<unsigned>(ms / 2 + 1)); }

    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_log(mosquitto *, void *self, int level, const char *text);

    const mqtt_settings settings_;
    const std::string base_;
    const std::string device_name_;
    const std::string client_id_;
    const std::string broker_;
    std::minstd_rand random_;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};

    // The thread's own from here on.
    mosquitto *client_ = nullptr;
    state state_ = state::waiting;
    int64_t next_attempt_ms_ = 0;
    int64_t attempt_started_ms_ = 0;
    int64_t retry_ms_ = first_retry_ms;
    std::string pending_failure_;  // set by a callback, acted on after it
    std::string last_log_error_;   // the library's latest complaint
    // An outage: since when, whether it was reported, when last reported.
    int64_t outage_since_ms_ = -1;
    int64_t outage_reported_ms_ = 0;
    bool ever_connected_ = false;
    uint64_t published_readings_ = 0;
    int camera_published_ = -1;  // -1: not since this connection
    int64_t rediscovery_due_ms_ = -1;
    int goodbye_mid_ = -1;
    bool goodbye_taken_ = false;

    std::mutex finished_mutex_;
    std::condition_variable finished_cv_;
    bool finished_ = false;
};

void mqtt_output::on_connect(mosquitto *, void *self, int rc)
{
    auto *output = static_cast<mqtt_output *>(self);
    if (rc == 0)
        output->on_connected();
    else
        output->pending_failure_ = std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
}

void mqtt_output::on_disconnect(mosquitto *, void *self, int rc)
{
    auto *output = static_cast<mqtt_output *>(self);
    if (rc != 0 && output->pending_failure_.empty())
        output->pending_failure_ = output->error_reason(rc);
}

void mqtt_output::on_message(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *output = static_cast<mqtt_output *>(self);
    // Home Assistant's birth message; a retained one is an old birth.
    const std::string payload(static_cast<const char *>(message->payload), static_cast<size_t>(message->payloadlen));
    if (!message->retain && payload == "online")
        output->rediscovery_due_ms_ =
            now_ms() + rediscovery_min_ms +
            static_cast<int64_t>(output->random_() % (rediscovery_max_ms - rediscovery_min_ms));
}

void mqtt_output::on_publish(mosquitto *, void *self, int mid)
{
    auto *output = static_cast<mqtt_output *>(self);
    if (mid == output->goodbye_mid_)
        output->goodbye_taken_ = true;
}

void mqtt_output::on_log(mosquitto *, void *self, int level, const char *text)
{
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0)
        static_cast<mqtt_output *>(self)->last_log_error_ = text;
}

// The words for a failure code of the library, with the system's or the
// TLS library's own where it has them.
std::string mqtt_output::error_reason(int rc)
{
    if (rc == MOSQ_ERR_ERRNO) {
        const int error = errno;
        return error != 0 ? std::strerror(error) : "connection failed";
    }
    if (rc == MOSQ_ERR_TLS && !last_log_error_.empty())
        return "TLS: " + last_log_error_;
    if (!last_log_error_.empty() && (rc == MOSQ_ERR_EAI || rc == MOSQ_ERR_TLS_HANDSHAKE))
        return last_log_error_;
    return mosquitto_strerror(rc);
}

void mqtt_output::attempt()
{
    if (client_ != nullptr)
        mosquitto_destroy(client_);
    last_log_error_.clear();
    pending_failure_.clear();
    client_ = mosquitto_new(client_id_.c_str(), true, this);
    if (client_ == nullptr) {
        fail("cannot make an MQTT client: " + std::string(std::strerror(errno)));
        return;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, on_connect);
    mosquitto_disconnect_callback_set(client_, on_disconnect);
    mosquitto_message_callback_set(client_, on_message);
    mosquitto_publish_callback_set(client_, on_publish);
    mosquitto_log_callback_set(client_, on_log);
    const std::string status_topic = base_ + "/status";
    int rc = mosquitto_will_set(client_, status_topic.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !settings_.user.empty())
        rc = mosquitto_username_pw_set(client_, settings_.user.c_str(),
                                       settings_.has_password ? settings_.password.c_str() : nullptr);
    if (rc == MOSQ_ERR_SUCCESS && settings_.tls) {
        // The broker's certificate and its name are checked, against the
        // given CA file or the system's CAs.
        if (settings_.cafile.empty())
            rc = mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(client_, settings_.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_tls_insecure_set(client_, false);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        errno = 0;
        // Name resolution and the TCP connect happen here, on this thread,
        // trying each of the host's addresses in turn (localhost may be ::1
        // first, with the broker on 127.0.0.1 alone); the TLS handshake and
        // the broker's answer go on in pump().
        rc = mosquitto_connect(client_, settings_.host.c_str(), settings_.port, keepalive_s);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        fail(error_reason(rc));
        return;
    }
    state_ = state::connecting;
    attempt_started_ms_ = now_ms();
}

// A connection that did not come about, or ended: report it as an outage
// begins or, at most every ten minutes, while it lasts; try again later.
void mqtt_output::fail(const std::string &reason)
{
    const int64_t now = now_ms();
    if (outage_since_ms_ < 0) {
        outage_since_ms_ = now;
        outage_reported_ms_ = now;
        log_message("MQTT broker " + broker_ + (state_ == state::connected ? " lost: " : " not reachable: ") +
                    reason + "; trying again");
    } else if (now - outage_reported_ms_ >= outage_report_ms) {
        outage_reported_ms_ = now;
        log_message("MQTT broker " + broker_ + " still not reachable after " + duration_text(now - outage_since_ms_) +
                    ": " + reason + "; trying again");
    }
    if (client_ != nullptr) {
        mosquitto_destroy(client_);
        client_ = nullptr;
    }
    state_ = state::waiting;
    next_attempt_ms_ = now + jittered(retry_ms_);
    retry_ms_ = std::min(retry_ms_ * 2, last_retry_ms);
}

void mqtt_output::on_connected()
{
    state_ = state::connected;
    retry_ms_ = first_retry_ms;
    const int64_t now = now_ms();
    std::string line = "MQTT connected to " + broker_ + " as " + client_id_;
    if (outage_since_ms_ >= 0 && ever_connected_)
        line += ", after " + duration_text(now - outage_since_ms_) + " without the broker";
    else if (outage_since_ms_ >= 0)
        line += ", " + duration_text(now - outage_since_ms_) + " after the first attempt";
    log_message(line);
    outage_since_ms_ = -1;
    ever_connected_ = true;
    publish(base_ + "/status", "online", 1, true);
    camera_published_ = -1;
    if (settings_.discovery) {
        publish_discovery();
        const std::string birth = settings_.discovery_prefix + "/status";
        mosquitto_subscribe(client_, nullptr, birth.c_str(), 1);
    }
    // Readings that came while the broker was away are not sent now, but
    // for the latest one, if it is fresh.
    const reading_record record = latest_reading_record();
    if (published_readings_ < record.readings && now - record.steady_ms >= stale_after_ms)
        published_readings_ = record.readings;
}

void mqtt_output::publish(const std::string &topic, const std::string &payload, int qos, bool retain, int *mid)
{
    const int rc = mosquitto_publish(client_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     qos, retain);
    if (rc != MOSQ_ERR_SUCCESS && pending_failure_.empty())
        pending_failure_ = "publishing to " + topic + ": " + error_reason(rc);
}

void mqtt_output::publish_camera_state(bool online)
{
    publish(base_ + "/camera", online ? "online" : "offline", 1, true);
    camera_published_ = online ? 1 : 0;
}

void mqtt_output::publish_discovery()
{
    publish(discovery_topic(settings_.discovery_prefix, base_),
            discovery_payload(base_, device_name_, THERMOMETRY_VERSION), 1, true);
    rediscovery_due_ms_ = -1;
}

// Each new reading once, the camera's state when it changes, the discovery
// record when Home Assistant asked for it.
void mqtt_output::publish_updates(int64_t now)
{
    const reading_record record = latest_reading_record();
    const bool fresh = record.readings > 0 && now - record.steady_ms < stale_after_ms &&
                       (record.failures == 0 || record.steady_ms > record.failure_steady_ms);
    // The camera online first, then the reading that made it so.
    if (camera_published_ != (fresh ? 1 : 0))
        publish_camera_state(fresh);
    if (record.readings > published_readings_) {
        published_readings_ = record.readings;
        publish(base_ + "/temperature", temperature_payload(record.celsius, record.utc_ms), 0, false);
    }
    if (rediscovery_due_ms_ >= 0 && now >= rediscovery_due_ms_)
        publish_discovery();
}

int mqtt_output::poll_timeout(int64_t now) const
{
    int64_t until = poll_cap_ms;
    if (state_ == state::waiting)
        until = next_attempt_ms_ - now;
    if (rediscovery_due_ms_ >= 0)
        until = std::min(until, rediscovery_due_ms_ - now);
    return static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(until, poll_cap_ms)));
}

// Moves the connection on as far as the socket allows.
void mqtt_output::pump(short events)
{
    if (mosquitto_socket(client_) < 0) {
        if (pending_failure_.empty())
            pending_failure_ = last_log_error_.empty() ? "the connection closed" : last_log_error_;
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    errno = 0;
    if ((events & (POLLIN | POLLHUP | POLLERR)) != 0)
        rc = mosquitto_loop_read(client_, 1);
    if (rc == MOSQ_ERR_SUCCESS && ((events & POLLOUT) != 0 || mosquitto_want_write(client_)))
        rc = mosquitto_loop_write(client_, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_loop_misc(client_);
    if (rc != MOSQ_ERR_SUCCESS && pending_failure_.empty())
        pending_failure_ = rc == MOSQ_ERR_KEEPALIVE || rc == MOSQ_ERR_NO_CONN
                               ? "the broker stopped answering (keep-alive)"
                               : error_reason(rc);
}

void mqtt_output::say_goodbye()
{
    if (state_ == state::connected) {
        publish(base_ + "/status", "offline", 1, true, &goodbye_mid_);
        const int64_t deadline = now_ms() + goodbye_timeout_ms;
        while (!goodbye_taken_ && pending_failure_.empty() && now_ms() < deadline) {
            pollfd socket{mosquitto_socket(client_), POLLIN, 0};
            if (mosquitto_want_write(client_))
                socket.events |= POLLOUT;
            if (poll(&socket, 1, 100) > 0)
                pump(socket.revents);
        }
        mosquitto_disconnect(client_);
        mosquitto_loop_write(client_, 1);
        log_message(goodbye_taken_ ? "MQTT disconnected from " + broker_ + ", status offline"
                                   : "MQTT disconnected from " + broker_ + " without its answer to status offline");
    }
    if (client_ != nullptr)
        mosquitto_destroy(client_);
    client_ = nullptr;
}

void mqtt_output::run()
{
    while (!stopping_.load()) {
        int64_t now = now_ms();
        if (state_ == state::waiting && now >= next_attempt_ms_)
            attempt();
        if (state_ == state::connecting && now - attempt_started_ms_ >= connect_timeout_ms)
            pending_failure_ = "no answer within " + duration_text(connect_timeout_ms);
        if (state_ == state::connected && pending_failure_.empty())
            publish_updates(now);
        if (!pending_failure_.empty()) {
            const std::string reason = pending_failure_;
            pending_failure_.clear();
            fail(reason);
            continue;
        }
        pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
        if (state_ != state::waiting) {
            fds[1].fd = mosquitto_socket(client_);
            fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
        }
        now = now_ms();
        const int ready = poll(fds, state_ != state::waiting ? 2 : 1, poll_timeout(now));
        if (ready < 0 && errno != EINTR)
            log_message("MQTT output: poll failed: " + std::string(std::strerror(errno)));
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            if (read(wake_fd_, &count, sizeof count) < 0) {
                // Nothing to drain: another read took it.
            }
        }
        if (state_ != state::waiting)
            pump(fds[1].revents);
    }
    say_goodbye();
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished_ = true;
    finished_cv_.notify_all();
}

// The one output of the process; immortal, like every object a thread may
// still use while the process ends.
mqtt_output *g_output = nullptr;

void wake_output()
{
    g_output->wake();
}

void stop_output()
{
    g_output->stop(goodbye_timeout_ms + 1000);
}

}  // namespace

std::string check_mqtt_url(const std::string &url)
{
    mqtt_settings settings;
    return parse_mqtt_url(url, &settings);
}

bool start_mqtt_output(const std::string &url, int32_t channel)
{
    if (url.empty()) {
        log_message("MQTT output off: -m gives an empty URL");
        return true;
    }
    mqtt_settings settings;
    const std::string problem = parse_mqtt_url(url, &settings);
    if (!problem.empty()) {
        log_message("MQTT output not started: " + problem);
        return false;
    }
    const std::string base =
        settings.base_topic.empty() ? default_base_topic(camera_address(), channel) : settings.base_topic;
    const std::string device = "Thermal camera " + camera_address() + " channel " + std::to_string(channel);
    mosquitto_lib_init();
    g_output = new mqtt_output(settings, base, device);
    if (!g_output->open_wake()) {
        log_message("MQTT output not started: " + std::string(std::strerror(errno)));
        return false;
    }
    log_message("MQTT output to " + mask_mqtt_url(url) + ": topics under " + base + ", client id " +
                g_output->client_id() +
                (settings.discovery ? ", Home Assistant discovery under " + settings.discovery_prefix : ""));
    try {
        std::thread([] { g_output->run(); }).detach();
    } catch (const std::system_error &error) {
        log_message("MQTT output not started: " + std::string(error.what()));
        return false;
    }
    set_reading_observer(wake_output);
    add_shutdown_step(stop_output);
    return true;
}
