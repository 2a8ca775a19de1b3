// The MQTT output's broker connection. An mqtt_connection and its mosquitto
// client belong to the MQTT output's thread alone.
#include "mqtt_connection.h"

#include "log_writer.h"
#include "steady_time.h"

#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

static constexpr int keepalive_s = 30;
// A broker that takes the connection but does not answer it in this time
// is given up on, like one that refuses it.
static constexpr int64_t connect_timeout_ms = 10000;
static constexpr int64_t first_retry_ms = 1000;
static constexpr int64_t last_retry_ms = 30000;
static constexpr int64_t outage_report_ms = 10 * 60 * 1000;

static std::string duration_text(int64_t ms)
{
    const int64_t s = ms / 1000;
    if (s < 60)
        return std::to_string(s) + " s";
    if (s < 3600)
        return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

mqtt_connection::mqtt_connection(const mqtt_settings &settings, const std::string &client_id,
                                 const std::string &will_topic, listener *owner)
    : settings_(settings),
      client_id_(client_id),
      will_topic_(will_topic),
      broker_((settings.tls ? "mqtts://" : "mqtt://") +
              (settings.host.find(':') != std::string::npos ? "[" + settings.host + "]" : settings.host) + ":" +
              std::to_string(settings.port)),
      owner_(owner),
      random_(static_cast<unsigned>(steady_now_ms() ^ getpid())),
      retry_ms_(first_retry_ms)
{
}

mqtt_connection::~mqtt_connection()
{
    if (client_ != nullptr)
        mosquitto_destroy(client_);
}

int64_t mqtt_connection::jittered(int64_t ms)
{
    return ms / 2 + static_cast<int64_t>(random_() % static_cast<unsigned>(ms / 2 + 1));
}

void mqtt_connection::on_connect(mosquitto *, void *self, int rc)
{
    auto *connection = static_cast<mqtt_connection *>(self);
    if (rc != 0) {
        connection->pending_failure_ = std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    connection->state_ = state::connected;
    connection->retry_ms_ = first_retry_ms;
    std::string line = "MQTT connected to " + connection->broker_ + " as " + connection->client_id_;
    const int64_t since = connection->outage_since_ms_;
    if (since >= 0 && connection->ever_connected_)
        line += ", after " + duration_text(steady_now_ms() - since) + " without the broker";
    else if (since >= 0)
        line += ", " + duration_text(steady_now_ms() - since) + " after the first attempt";
    log_message(line);
    connection->outage_since_ms_ = -1;
    connection->ever_connected_ = true;
    // The owner hears of it once the library has left its callback: a
    // publish from inside it would take the library's locks in another order.
    connection->just_connected_ = true;
}

void mqtt_connection::on_disconnect(mosquitto *, void *self, int rc)
{
    auto *connection = static_cast<mqtt_connection *>(self);
    if (rc != 0 && connection->pending_failure_.empty())
        connection->pending_failure_ = connection->error_reason(rc);
}

void mqtt_connection::on_message(mosquitto *, void *self, const mosquitto_message *message)
{
    const std::string payload(static_cast<const char *>(message->payload), static_cast<size_t>(message->payloadlen));
    static_cast<mqtt_connection *>(self)->owner_->message(message->topic, payload, message->retain);
}

void mqtt_connection::on_publish(mosquitto *, void *self, int mid)
{
    auto *connection = static_cast<mqtt_connection *>(self);
    if (mid == connection->goodbye_mid_)
        connection->goodbye_taken_ = true;
}

void mqtt_connection::on_log(mosquitto *, void *self, int level, const char *text)
{
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0)
        static_cast<mqtt_connection *>(self)->last_log_error_ = text;
}

// The words for a failure code of the library, with the system's or the
// TLS library's own where it has them.
std::string mqtt_connection::error_reason(int rc)
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

void mqtt_connection::attempt()
{
    if (client_ != nullptr)
        mosquitto_destroy(client_);
    last_log_error_.clear();
    pending_failure_.clear();
    just_connected_ = false;
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
    int rc = mosquitto_will_set(client_, will_topic_.c_str(), 7, "offline", 1, true);
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
    attempt_started_ms_ = steady_now_ms();
}

// A connection that did not come about, or ended: report it as an outage
// begins or, at most every ten minutes, while it lasts; try again later.
void mqtt_connection::fail(const std::string &why)
{
    // The library's words end in a full stop; the line goes on after them.
    const std::string reason = !why.empty() && why.back() == '.' ? why.substr(0, why.size() - 1) : why;
    const int64_t now = steady_now_ms();
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

void mqtt_connection::publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                              int *mid)
{
    const int rc = mosquitto_publish(client_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     qos, retain);
    if (rc != MOSQ_ERR_SUCCESS && pending_failure_.empty())
        pending_failure_ = "publishing to " + topic + ": " + error_reason(rc);
}

void mqtt_connection::subscribe(const std::string &filter, int qos)
{
    const int rc = mosquitto_subscribe(client_, nullptr, filter.c_str(), qos);
    if (rc != MOSQ_ERR_SUCCESS && pending_failure_.empty())
        pending_failure_ = "subscribing to " + filter + ": " + error_reason(rc);
}

// Moves the connection on as far as the socket allows.
void mqtt_connection::pump(short events)
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

void mqtt_connection::step(int wake_fd, int64_t wait_cap_ms)
{
    int64_t now = steady_now_ms();
    if (state_ == state::waiting && now >= next_attempt_ms_)
        attempt();
    if (state_ == state::connecting && now - attempt_started_ms_ >= connect_timeout_ms)
        pending_failure_ = "no answer within " + duration_text(connect_timeout_ms);
    if (!pending_failure_.empty()) {
        const std::string reason = pending_failure_;
        pending_failure_.clear();
        fail(reason);
        return;
    }
    pollfd fds[2] = {{wake_fd, POLLIN, 0}, {-1, 0, 0}};
    const bool open = state_ != state::waiting;
    if (open) {
        fds[1].fd = mosquitto_socket(client_);
        fds[1].events = static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
    }
    now = steady_now_ms();
    const int64_t until = open ? wait_cap_ms : std::min(wait_cap_ms, next_attempt_ms_ - now);
    if (poll(fds, open ? 2 : 1, static_cast<int>(std::max<int64_t>(0, until))) < 0 && errno != EINTR)
        log_message("MQTT output: poll failed: " + std::string(std::strerror(errno)));
    if ((fds[0].revents & POLLIN) != 0) {
        uint64_t count = 0;
        if (read(wake_fd, &count, sizeof count) < 0) {
            // Nothing to drain: a wake-up taken by an earlier read.
        }
    }
    if (open)
        pump(fds[1].revents);
    if (just_connected_ && pending_failure_.empty()) {
        just_connected_ = false;
        owner_->connected();
    }
}

void mqtt_connection::close_with(const std::string &topic, const std::string &payload, int64_t timeout_ms)
{
    if (state_ == state::connected) {
        publish(topic, payload, 1, true, &goodbye_mid_);
        const int64_t deadline = steady_now_ms() + timeout_ms;
        while (!goodbye_taken_ && pending_failure_.empty() && steady_now_ms() < deadline) {
            pollfd socket{mosquitto_socket(client_), POLLIN, 0};
            if (mosquitto_want_write(client_))
                socket.events |= POLLOUT;
            if (poll(&socket, 1, 100) > 0)
                pump(socket.revents);
        }
        mosquitto_disconnect(client_);
        mosquitto_loop_write(client_, 1);
        log_message("MQTT disconnected from " + broker_ +
                    (goodbye_taken_ ? ", " : " without its answer to ") + topic.substr(topic.rfind('/') + 1) + " " +
                    payload);
    }
    if (client_ != nullptr)
        mosquitto_destroy(client_);
    client_ = nullptr;
    state_ = state::waiting;
}
