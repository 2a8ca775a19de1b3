// An MQTT client for tests (libmosquitto): connects to a test broker, records
// every message of its subscriptions with the time it arrived, waits for a
// message with a bound, and publishes (say, Home Assistant's birth message).
#ifndef THERMOMETRY_TESTS_MQTT_CLIENT_H
#define THERMOMETRY_TESTS_MQTT_CLIENT_H

#include "mqtt_broker.h"
#include "process.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;

namespace testsupport {

struct MqttMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    // Retained, as subscribe() below says.
    bool retained = false;
    Clock::time_point when;  // when the client received it
};

struct MqttClientOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string username;  // "": no login
    std::string password;
    // Not "": TLS, and the broker's certificate must verify with this CA
    // certificate and name host.
    std::string ca_file;
    std::string client_id;  // "": one of its own, unique in this process
    int keepalive_s = 60;
};

// How to reach broker: its host and port, its CA with TLS, and its user
// and password when it requires them.
MqttClientOptions mqtt_client_options(const MqttBroker &broker);

// How a subscription reports the retained flag. as_published: the flag the
// publisher set, for messages passed on live too (an MQTT 5 subscription
// option); as_delivered: MQTT 3.1.1's flag, set only on the messages a
// broker sends from its store when the subscription is made.
enum class Retained { as_published, as_delivered };

// The client speaks MQTT 5 to the broker (which serves MQTT 3.1.1 clients,
// such as the program, alongside). It has a thread of its own that reads and
// writes; it does not reconnect. Methods may be called from any one thread.
class MqttClient {
public:
    explicit MqttClient(MqttClientOptions options);
    ~MqttClient();  // disconnects and ends its thread
    MqttClient(const MqttClient &) = delete;
    MqttClient &operator=(const MqttClient &) = delete;

    // Connects and waits for the broker's answer. Returns "" when the broker
    // accepted, else why not: its refusal, a TLS or socket error, or the
    // time out. Once only.
    std::string connect(Millis timeout);
    bool connected() const;
    // Waits until the connection has ended (the broker went away, or closed
    // it); true when it has.
    bool wait_disconnected(Millis timeout) const;

    // Subscribes to a topic filter ("base/#") and waits for the broker's
    // acknowledgement; false when refused or not acknowledged in time.
    bool subscribe(const std::string &filter, int qos = 1, Retained retained = Retained::as_published,
                   Millis timeout = std::chrono::seconds(10));
    // Publishes and waits until the broker has acknowledged it (QoS 1 and 2)
    // or it was written to the socket (QoS 0); false when that did not
    // happen in time or the broker refused it.
    bool publish(const std::string &topic, const std::string &payload, bool retain, int qos = 1,
                 Millis timeout = std::chrono::seconds(10));

    // Every message received so far, in order of arrival.
    std::vector<MqttMessage> messages() const;
    // Waits until a message on topic ("" for any) for which match holds has
    // arrived, looking at the messages from index `from` on (those that came
    // before the call included); returns the first such, or nullopt. match
    // sees each message at most once, in order of arrival, and runs with the
    // client's lock held: it must not call this client.
    std::optional<MqttMessage> wait_for_message(const std::string &topic,
                                                const std::function<bool(const MqttMessage &)> &match,
                                                Millis timeout, size_t from = 0) const;
    std::optional<MqttMessage> wait_for_message(const std::string &topic, Millis timeout, size_t from = 0) const;

    // libmosquitto's log lines, and why the connection ended (for messages).
    std::string log() const;

private:
    friend struct MqttClientCallbacks;  // libmosquitto's callbacks, on the client's thread
    void run_loop();
    bool wait_for_answer(std::map<int, int> &answers, int mid, Millis timeout, int *answer);

    MqttClientOptions options_;
    mosquitto *mosq_ = nullptr;
    std::thread loop_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // Guarded by mutex_:
    bool stop_loop_ = false;
    bool answered_ = false;  // CONNACK came, or the connection attempt ended
    bool connected_ = false;
    std::string ended_;  // why the connection ended, or why connecting failed
    std::map<int, int> subscribed_;  // message id -> granted QoS or refusal (>= 0x80)
    std::map<int, int> published_;   // message id -> reason code
    std::vector<MqttMessage> messages_;
    std::string log_;
};

}  // namespace testsupport

#endif  // THERMOMETRY_TESTS_MQTT_CLIENT_H
