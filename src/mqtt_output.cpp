// The MQTT output: what is published when. It owns its thread and, through
// it, the broker connection. The camera link's observer wakes the thread
// from the SDK's thread; the shutdown stops it from the signal thread or
// main.
#include "camera_link.h"
#include "log_writer.h"
#include "mqtt_connection.h"
#include "mqtt_messages.h"
#include "mqtt_url.h"
#include "shutdown.h"
#include "steady_time.h"
#include "thermometry.h"

#include <mosquitto.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

namespace {

// Without a reading for this long the camera counts as offline.
constexpr int64_t stale_after_ms = 10000;
// Home Assistant asks for its discovery records again when it starts; the
// answer waits a little, so that many devices do not answer at once.
constexpr int64_t rediscovery_min_ms = 1000;
constexpr int64_t rediscovery_max_ms = 5000;
// How long a shutdown waits for the broker to take "offline".
constexpr int64_t goodbye_timeout_ms = 2000;
// The longest wait between two looks at the reading and the clock.
constexpr int64_t step_cap_ms = 1000;

class mqtt_output : public mqtt_connection::listener {
public:
    mqtt_output(const mqtt_settings &settings, const std::string &base, const std::string &device_name)
        : settings_(settings),
          base_(base),
          device_name_(device_name),
          connection_(settings, mqtt_client_id(base), base + "/status", this),
          random_(static_cast<unsigned>(steady_now_ms() ^ getpid()))
    {
    }

    bool open_wake() { return (wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) >= 0; }

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
    void connected() override;
    void message(const std::string &topic, const std::string &payload, bool retained) override;
    void publish_updates(int64_t now);
    void publish_camera_state(bool online);
    void publish_discovery();

    const mqtt_settings settings_;
    const std::string base_;
    const std::string device_name_;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};

    // The thread's own from here on.
    mqtt_connection connection_;
    std::minstd_rand random_;
    uint64_t published_readings_ = 0;
    int camera_published_ = -1;  // -1: not since this connection
    int64_t rediscovery_due_ms_ = -1;

    // finished_mutex_ guards finished_; it takes no other lock.
    std::mutex finished_mutex_;
    std::condition_variable finished_cv_;
    bool finished_ = false;
};

void mqtt_output::connected()
{
    connection_.publish(base_ + "/status", "online", 1, true);
    camera_published_ = -1;
    if (settings_.discovery) {
        publish_discovery();
        connection_.subscribe(settings_.discovery_prefix + "/status", 1);
    }
    // Readings that came while the broker was away are not sent now, but
    // for the latest one, if it is fresh.
    const reading_record record = latest_reading_record();
    if (published_readings_ < record.readings && steady_now_ms() - record.steady_ms >= stale_after_ms)
        published_readings_ = record.readings;
}

void mqtt_output::message(const std::string &topic, const std::string &payload, bool retained)
{
    // Home Assistant's birth message; a retained one is an old birth.
    if (topic == settings_.discovery_prefix + "/status" && payload == "online" && !retained)
        rediscovery_due_ms_ = steady_now_ms() + rediscovery_min_ms +
                              static_cast<int64_t>(random_() % (rediscovery_max_ms - rediscovery_min_ms));
}

void mqtt_output::publish_camera_state(bool online)
{
    connection_.publish(base_ + "/camera", online ? "online" : "offline", 1, true);
    camera_published_ = online ? 1 : 0;
}

void mqtt_output::publish_discovery()
{
    connection_.publish(discovery_topic(settings_.discovery_prefix, base_),
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
    // In the order of events: the camera online before the reading that
    // made it so, offline after the last reading before the failure.
    if (fresh && camera_published_ != 1)
        publish_camera_state(true);
    if (record.readings > published_readings_) {
        published_readings_ = record.readings;
        connection_.publish(base_ + "/temperature", temperature_payload(record.celsius, record.utc_ms), 0, false);
    }
    if (!fresh && camera_published_ != 0)
        publish_camera_state(false);
    if (rediscovery_due_ms_ >= 0 && now >= rediscovery_due_ms_)
        publish_discovery();
}

void mqtt_output::run()
{
    while (!stopping_.load()) {
        const int64_t now = steady_now_ms();
        if (connection_.connected())
            publish_updates(now);
        const int64_t wait_ms = rediscovery_due_ms_ >= 0 ? std::min(step_cap_ms, rediscovery_due_ms_ - now)
                                                         : step_cap_ms;
        connection_.step(wake_fd_, wait_ms);
    }
    connection_.close_with(base_ + "/status", "offline", goodbye_timeout_ms);
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished_ = true;
    finished_cv_.notify_all();
}

// The one output of the process; never destroyed, like every object a
// thread may still use while the process ends.
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
                mqtt_client_id(base) +
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
