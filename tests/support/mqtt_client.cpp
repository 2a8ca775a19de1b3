#include "mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

// How long one round of the client's thread may wait for its socket: also
// how soon it notices that it should end.
constexpr int loop_wait_ms = 50;
// After DISCONNECT is queued, how long the thread may take to send it.
constexpr std::chrono::seconds disconnect_timeout{5};

std::atomic<unsigned> g_client_count{0};

// Once per process and never cleaned up: the library's set-up is process-wide
// (OpenSSL's among it), and clients come and go, possibly beside code under
// test that uses the library too.
void init_library_once()
{
    static const int result = mosquitto_lib_init();
    if (result != MOSQ_ERR_SUCCESS)
        throw std::runtime_error(std::string("mosquitto_lib_init: ") + mosquitto_strerror(result));
}

std::string unique_client_id()
{
    return "thermometry-test-" + std::to_string(getpid()) + "-" + std::to_string(++g_client_count);
}

std::string error_text(int result)
{
    if (result == MOSQ_ERR_ERRNO)
        return std::string("system error: ") + std::strerror(errno);
    return mosquitto_strerror(result);
}

}  // namespace

MqttClientOptions mqtt_client_options(const MqttBroker &broker)
{
    MqttClientOptions options;
    options.host = broker.host();
    options.port = broker.port();
    options.ca_file = broker.ca_file();
    if (broker.options().require_password) {
        options.username = broker.options().username;
        options.password = broker.options().password;
    }
    return options;
}

// libmosquitto calls these on the client's thread, from mosquitto_loop().
struct MqttClientCallbacks {
    static MqttClient &client(void *self) { return *static_cast<MqttClient *>(self); }

    static void connected(mosquitto *, void *self, int reason, int, const mosquitto_property *)
    {
        MqttClient &c = client(self);
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.answered_ = true;
        c.connected_ = reason == 0;
        if (reason != 0)
            c.ended_ = std::string("refused by the broker: ") + mosquitto_reason_string(reason) + " (" +
                       std::to_string(reason) + ")";
        c.changed_.notify_all();
    }

    static void disconnected(mosquitto *, void *self, int reason, const mosquitto_property *)
    {
        MqttClient &c = client(self);
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.answered_ = true;
        c.connected_ = false;
        if (c.ended_.empty())
            c.ended_ = "disconnected: " + error_text(reason);
        c.changed_.notify_all();
    }

    static void subscribed(mosquitto *, void *self, int mid, int count, const int *granted, const mosquitto_property *)
    {
        MqttClient &c = client(self);
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.subscribed_[mid] = count > 0 ? granted[0] : 0x80;
        c.changed_.notify_all();
    }

    static void published(mosquitto *, void *self, int mid, int reason, const mosquitto_property *)
    {
        MqttClient &c = client(self);
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.published_[mid] = reason;
        c.changed_.notify_all();
    }

    static void received(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *)
    {
        MqttMessage copy;
        copy.when = Clock::now();
        copy.topic = message->topic;
        if (message->payloadlen > 0)
            copy.payload.assign(static_cast<const char *>(message->payload), static_cast<size_t>(message->payloadlen));
        copy.qos = message->qos;
        copy.retained = message->retain;
        MqttClient &c = client(self);
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.messages_.push_back(std::move(copy));
        c.changed_.notify_all();
    }

    static void logged(mosquitto *, void *self, int, const char *line)
    {
        MqttClient &c = client(self);
        std::lock_guard<std::mutex> lock(c.mutex_);
        c.log_ += line;
        c.log_ += '\n';
    }
};

MqttClient::MqttClient(MqttClientOptions options) : options_(std::move(options))
{
    init_library_once();
    if (options_.client_id.empty())
        options_.client_id = unique_client_id();
    mosq_ = mosquitto_new(options_.client_id.c_str(), true, this);
    if (mosq_ == nullptr)
        throw std::runtime_error(std::string("mosquitto_new: ") + std::strerror(errno));
    // The test's thread publishes and subscribes while the client's thread
    // reads and writes the socket.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq_, MqttClientCallbacks::connected);
    mosquitto_disconnect_v5_callback_set(mosq_, MqttClientCallbacks::disconnected);
    mosquitto_subscribe_v5_callback_set(mosq_, MqttClientCallbacks::subscribed);
    mosquitto_publish_v5_callback_set(mosq_, MqttClientCallbacks::published);
    mosquitto_message_v5_callback_set(mosq_, MqttClientCallbacks::received);
    mosquitto_log_callback_set(mosq_, MqttClientCallbacks::logged);

    int result = MOSQ_ERR_SUCCESS;
    if (!options_.username.empty())
        result = mosquitto_username_pw_set(mosq_, options_.username.c_str(), options_.password.c_str());
    if (result == MOSQ_ERR_SUCCESS && !options_.ca_file.empty())
        result = mosquitto_tls_set(mosq_, options_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (result != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(mosq_);
        throw std::runtime_error("MQTT client options: " + error_text(result));
    }
}

MqttClient::~MqttClient()
{
    if (loop_.joinable()) {
        // DISCONNECT goes out on the client's thread, which then finds the
        // connection closed and ends; a broker that reads nothing (paused)
        // does not hold it up, as the packet only has to reach the socket.
        if (connected())
            mosquitto_disconnect(mosq_);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, disconnect_timeout, [&] { return !connected_; });
            stop_loop_ = true;
        }
        loop_.join();
    }
    mosquitto_destroy(mosq_);
}

std::string MqttClient::connect(Millis timeout)
{
    if (loop_.joinable())
        return "connect: called before";
    // Starts the TCP connection and the TLS handshake without waiting; a
    // handshake that fails at once (a certificate that does not verify)
    // fails here.
    const int result = mosquitto_connect_async(mosq_, options_.host.c_str(), options_.port, options_.keepalive_s);
    std::unique_lock<std::mutex> lock(mutex_);
    if (result != MOSQ_ERR_SUCCESS) {
        answered_ = true;
        ended_ = "connect to " + options_.host + ":" + std::to_string(options_.port) + ": " + error_text(result);
    } else {
        lock.unlock();
        loop_ = std::thread(&MqttClient::run_loop, this);
        lock.lock();
        if (!changed_.wait_for(lock, timeout, [&] { return answered_; }))
            return "no answer from the broker within " + std::to_string(timeout.count()) + " ms";
        if (connected_)
            return "";
    }
    return ended_ + (log_.empty() ? "" : "; libmosquitto's log:\n" + log_);
}

void MqttClient::run_loop()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_loop_)
                return;
        }
        const int result = mosquitto_loop(mosq_, loop_wait_ms, 1);
        if (result == MOSQ_ERR_SUCCESS)
            continue;
        // The connection is over (closed, refused, a TLS or socket error):
        // this client does not reconnect.
        std::lock_guard<std::mutex> lock(mutex_);
        answered_ = true;
        connected_ = false;
        if (ended_.empty())
            ended_ = "connection ended: " + error_text(result);
        changed_.notify_all();
        return;
    }
}

bool MqttClient::connected() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

bool MqttClient::wait_disconnected(Millis timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return answered_ && !connected_; });
}

// Waits for the broker's answer to message id mid, recorded in answers.
bool MqttClient::wait_for_answer(std::map<int, int> &answers, int mid, Millis timeout, int *answer)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return answers.count(mid) > 0 || !connected_; }) ||
        answers.count(mid) == 0)
        return false;
    *answer = answers[mid];
    answers.erase(mid);
    return true;
}

bool MqttClient::subscribe(const std::string &filter, int qos, Retained retained, Millis timeout)
{
    const int options = retained == Retained::as_published ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0;
    int mid = 0;
    if (mosquitto_subscribe_v5(mosq_, &mid, filter.c_str(), qos, options, nullptr) != MOSQ_ERR_SUCCESS)
        return false;
    int granted = 0x80;
    return wait_for_answer(subscribed_, mid, timeout, &granted) && granted < 0x80;
}

bool MqttClient::publish(const std::string &topic, const std::string &payload, bool retain, int qos, Millis timeout)
{
    int mid = 0;
    if (mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain,
                             nullptr) != MOSQ_ERR_SUCCESS)
        return false;
    int reason = 0x80;
    return wait_for_answer(published_, mid, timeout, &reason) && reason < 0x80;
}

std::vector<MqttMessage> MqttClient::messages() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::optional<MqttMessage> MqttClient::wait_for_message(const std::string &topic,
                                                        const std::function<bool(const MqttMessage &)> &match,
                                                        Millis timeout, size_t from) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<MqttMessage> found;
    size_t checked = from;
    auto look = [&] {
        for (; checked < messages_.size() && !found; ++checked)
            if ((topic.empty() || messages_[checked].topic == topic) && match(messages_[checked]))
                found = messages_[checked];
        return found.has_value();
    };
    changed_.wait_for(lock, timeout, look);
    return found;
}

std::optional<MqttMessage> MqttClient::wait_for_message(const std::string &topic, Millis timeout, size_t from) const
{
    return wait_for_message(topic, [](const MqttMessage &) { return true; }, timeout, from);
}

std::string MqttClient::log() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_ + (ended_.empty() ? "" : ended_ + "\n");
}

}  // namespace testsupport
