// A real MQTT broker for tests: Debian's mosquitto on a free loopback port,
// with a configuration, password file, certificates and persistence of its
// own in a temporary directory. Never the system's broker service.
#ifndef THERMOMETRY_TESTS_MQTT_BROKER_H
#define THERMOMETRY_TESTS_MQTT_BROKER_H

#include "process.h"
#include "workdir.h"

#include <cstdint>
#include <memory>
#include <string>

namespace testsupport {

enum class MqttTransport {
    tcp,  // plain TCP
    tls,  // TLS with a certificate for localhost, 127.0.0.1 and ::1 from a throwaway CA
};

struct MqttBrokerOptions {
    MqttTransport transport = MqttTransport::tcp;
    // Clients must log in as username with password; anonymous ones are
    // refused. Otherwise anyone may connect, and username is not known to it.
    bool require_password = false;
    std::string username = "thermometry";
    std::string password = "mqtt-test-secret";
};

// Starts the broker when constructed and leaves no process behind when
// destroyed. Every method throws std::runtime_error, with the broker's log,
// when the broker does not do what it is told in time. One thread at a time.
class MqttBroker {
public:
    // Writes the files, then starts the broker on a free port of 127.0.0.1
    // (and ::1) (retrying with another port when someone takes it first)
    // and returns once it accepts clients.
    explicit MqttBroker(const MqttBrokerOptions &options = {});
    ~MqttBroker();  // SIGKILLs and reaps the broker if it runs
    MqttBroker(const MqttBroker &) = delete;
    MqttBroker &operator=(const MqttBroker &) = delete;

    // SIGTERM, then waits until it has ended (and saved its retained
    // messages and sessions; a failed save throws).
    void stop();
    // Starts it again on the same port, with what it saved.
    void start();
    void restart();
    // SIGKILL and reap: what came since the last save is lost (the broker
    // saves when stopped only).
    void kill();
    // SIGSTOP: the kernel still accepts connections on the port, but the
    // broker answers nothing until resume() (SIGCONT).
    void pause();
    void resume();
    bool running();

    const MqttBrokerOptions &options() const { return options_; }
    // Where clients connect: 127.0.0.1, or by name "localhost" (both are in
    // the TLS certificate; the broker also listens on ::1 where the machine
    // has it); the port stays the same across restarts.
    std::string host() const { return "127.0.0.1"; }
    uint16_t port() const { return port_; }
    // "mqtt" or "mqtts", and "SCHEME://127.0.0.1:PORT" (no credentials).
    std::string scheme() const;
    std::string url() const;
    // The CA certificate (PEM) that signed the broker's certificate, and
    // another CA's that did not; "" without TLS.
    std::string ca_file() const;
    std::string other_ca_file() const;

    // Everything the broker logged in all its runs: connections, every
    // packet received and sent ("Received PUBLISH from ID (d0, q1, r1, m2,
    // 'topic', ... (5 bytes))"), and errors.
    std::string log() const;
    // Waits until text appears in the log at least count times in all.
    bool wait_for_log(const std::string &text, Millis timeout, size_t count = 1) const;
    const std::string &dir() const { return dir_.path(); }

private:
    void make_certificates();
    void make_password_file();
    void write_config();
    bool launch();  // false: the port was taken
    void expect_running(const char *what);
    [[noreturn]] void fail(const std::string &what) const;

    MqttBrokerOptions options_;
    TempDir dir_;
    uint16_t port_ = 0;
    bool paused_ = false;
    std::unique_ptr<Process> broker_;
    std::string earlier_log_;  // what the runs before this one logged
};

}  // namespace testsupport

#endif  // THERMOMETRY_TESTS_MQTT_BROKER_H
