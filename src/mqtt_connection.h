// The MQTT output's connection to its broker: a libmosquitto client, used by
// the one thread that owns the connection, connected and reconnected with
// growing waits, its outages logged. What is published is the owner's.
#ifndef THERMOMETRY_MQTT_CONNECTION_H
#define THERMOMETRY_MQTT_CONNECTION_H

#include "mqtt_url.h"

#include <cstdint>
#include <random>
#include <string>

struct mosquitto;
struct mosquitto_message;

class mqtt_connection {
public:
    // What the owner hears, on the owner's thread, from inside step() (not
    // from inside the library's callbacks: it may publish).
    class listener {
    public:
        // The broker took the connection: send what a new one needs.
        virtual void connected() = 0;
        // A message of a subscription; retained: from the broker's store.
        virtual void message(const std::string &topic, const std::string &payload, bool retained) = 0;

    protected:
        ~listener() = default;
    };

    // will_topic gets "offline", retained, should the connection end
    // without a goodbye. owner must outlive the connection.
    mqtt_connection(const mqtt_settings &settings, const std::string &client_id, const std::string &will_topic,
                    listener *owner);
    ~mqtt_connection();
    mqtt_connection(const mqtt_connection &) = delete;
    mqtt_connection &operator=(const mqtt_connection &) = delete;

    // "mqtt://HOST:PORT", as the log names the broker.
    const std::string &broker() const { return broker_; }
    bool connected() const { return state_ == state::connected; }

    // One round: connects when an attempt is due, gives up on a broker that
    // does not answer, reports failures; then waits until wake_fd is
    // readable (and drains it), the socket has something, or up to
    // wait_cap_ms, and moves the connection on.
    void step(int wake_fd, int64_t wait_cap_ms);

    // Queues a message; a failure ends the connection at the next step.
    // *mid, if given, receives the message's id.
    void publish(const std::string &topic, const std::string &payload, int qos, bool retain, int *mid = nullptr);
    void subscribe(const std::string &filter, int qos);

    // The orderly end: publishes payload on topic (QoS 1, retained), waits
    // up to timeout_ms for the broker to take it, disconnects and says so.
    void close_with(const std::string &topic, const std::string &payload, int64_t timeout_ms);

private:
    enum class state { waiting, connecting, connected };

    void attempt();
    void fail(const std::string &reason);
    void pump(short events);
    std::string error_reason(int rc);
    int64_t jittered(int64_t ms);

    static void on_connect(mosquitto *, void *self, int rc);
    static void on_disconnect(mosquitto *, void *self, int rc);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message);
    static void on_publish(mosquitto *, void *self, int mid);
    static void on_log(mosquitto *, void *self, int level, const char *text);

    const mqtt_settings settings_;
    const std::string client_id_;
    const std::string will_topic_;
    const std::string broker_;
    listener *const owner_;
    std::minstd_rand random_;

    mosquitto *client_ = nullptr;
    state state_ = state::waiting;
    int64_t next_attempt_ms_ = 0;
    int64_t attempt_started_ms_ = 0;
    int64_t retry_ms_;
    std::string pending_failure_;  // set by a callback, acted on after it
    std::string last_log_error_;   // the library's latest complaint
    // An outage: since when (-1: none), when it was last reported.
    int64_t outage_since_ms_ = -1;
    int64_t outage_reported_ms_ = 0;
    bool ever_connected_ = false;
    bool just_connected_ = false;  // the owner is yet to hear of it
    int goodbye_mid_ = -1;
    bool goodbye_taken_ = false;
};

#endif  // THERMOMETRY_MQTT_CONNECTION_H
