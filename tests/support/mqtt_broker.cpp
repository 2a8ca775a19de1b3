#include "mqtt_broker.h"

#include "net.h"

#include <signal.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {

namespace {

using std::chrono::seconds;

constexpr const char *broker_path = "/usr/sbin/mosquitto";
constexpr const char *passwd_path = "/usr/bin/mosquitto_passwd";
// Bounds for a loaded machine (two cores shared, sanitizers, QEMU): a broker
// starts or stops in milliseconds.
constexpr seconds start_timeout{15};
constexpr seconds stop_timeout{15};
constexpr seconds tool_timeout{30};
constexpr int port_attempts = 5;

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::trunc);
    out << content;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// Runs one of this machine's tools to its end; throws with its output when
// it fails.
void run_tool(const std::vector<std::string> &argv, const std::string &cwd)
{
    Process tool(argv, cwd, std::nullopt, {}, Runs::on_host);
    const std::optional<ExitStatus> status = tool.wait_exit(tool_timeout);
    if (status && *status == ExitStatus::exit_code(0))
        return;
    std::ostringstream message;
    message << argv[0] << " failed (";
    if (status)
        message << *status;
    else
        message << "still running after " << tool_timeout.count() << " s";
    message << "):\n" << tool.err() << tool.out();
    throw std::runtime_error(message.str());
}

// openssl's own configuration for the test certificates, so that the
// system's openssl.cnf (its defaults and extensions) plays no part.
constexpr const char *openssl_config = R"(# Test certificates of thermometry's MQTT tests.
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
)";

// A P-256 key with a self-signed CA certificate (or, with csr, a request).
std::vector<std::string> openssl_new_key(const std::string &key, const std::string &out, const std::string &subject,
                                         bool csr)
{
    std::vector<std::string> argv = {"openssl", "req", "-config", "openssl.cnf", "-new", "-newkey", "ec",
                                     "-pkeyopt", "ec_paramgen_curve:prime256v1", "-noenc", "-keyout", key,
                                     "-out", out, "-subj", subject};
    if (!csr)
        argv.insert(argv.end(), {"-x509", "-days", "2", "-extensions", "ca"});
    return argv;
}

}  // namespace

MqttBroker::MqttBroker(const MqttBrokerOptions &options) : options_(options)
{
    if (options_.transport == MqttTransport::tls)
        make_certificates();
    if (options_.require_password)
        make_password_file();
    for (int attempt = 1; attempt <= port_attempts; ++attempt) {
        // Free a moment ago; another process may bind it before the broker
        // does, which the broker's log tells, and another port is tried.
        port_ = free_tcp_port();
        write_config();
        if (launch())
            return;
    }
    fail("no free port after " + std::to_string(port_attempts) + " attempts");
}

MqttBroker::~MqttBroker() = default;  // Process SIGKILLs and reaps

void MqttBroker::make_certificates()
{
    const std::string &dir = dir_.path();
    write_file(dir_.file("openssl.cnf"), openssl_config);
    run_tool(openssl_new_key("ca.key", "ca.crt", "/CN=thermometry test CA", false), dir);
    run_tool(openssl_new_key("other-ca.key", "other-ca.crt", "/CN=thermometry unrelated test CA", false), dir);
    run_tool(openssl_new_key("server.key", "server.csr", "/CN=localhost", true), dir);
    run_tool({"openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-set_serial",
              "2", "-days", "2", "-extfile", "openssl.cnf", "-extensions", "server", "-out", "server.crt"},
             dir);
}

void MqttBroker::make_password_file()
{
    run_tool({passwd_path, "-c", "-b", dir_.file("passwords"), options_.username, options_.password}, dir_.path());
}

void MqttBroker::write_config()
{
    std::ostringstream config;
    // Started as root, mosquitto would become the user mosquitto, which may
    // not write its database into this root-owned directory; "root" keeps
    // it (a broker started by anyone else stays that user anyway).
    config << "user root\n"
           << "allow_anonymous " << (options_.require_password ? "false" : "true") << "\n";
    if (options_.require_password)
        config << "password_file " << dir_.file("passwords") << "\n";
    // "localhost" leads to ::1 first on most machines, and libmosquitto
    // does not go on to 127.0.0.1 when ::1 refuses (with TLS it even waits
    // for ever), so the broker listens on both where there is ::1.
    std::vector<std::string> addresses = {host()};
    if (ipv6_loopback_available())
        addresses.push_back("::1");
    for (const std::string &address : addresses) {
        config << "listener " << port_ << " " << address << "\n";
        // TLS settings belong to the listener above them.
        if (options_.transport == MqttTransport::tls)
            config << "cafile " << dir_.file("ca.crt") << "\n"
                   << "certfile " << dir_.file("server.crt") << "\n"
                   << "keyfile " << dir_.file("server.key") << "\n";
    }
    // Retained messages and sessions are saved when the broker stops and
    // read when it starts.
    config << "persistence true\n"
           << "persistence_location " << dir_.path() << "/\n"
           << "log_dest stderr\n"
           << "log_type all\n";
    write_file(dir_.file("mosquitto.conf"), config.str());
}

bool MqttBroker::launch()
{
    if (broker_)
        earlier_log_ += broker_->err();
    broker_ = std::make_unique<Process>(std::vector<std::string>{broker_path, "-c", dir_.file("mosquitto.conf")},
                                        dir_.path(), std::nullopt, std::vector<std::string>{}, Runs::on_host);
    paused_ = false;
    // mosquitto says "running" once its listener is open, and ends at once
    // when it cannot open it.
    const std::string ready = " running";
    const bool started = broker_->wait_for(
        Stream::err, [&](const std::string &log) { return log.find(ready) != std::string::npos; },
        start_timeout);
    if (started)
        return true;
    const std::string log = broker_->err();
    if (log.find("Address already in use") != std::string::npos && broker_->wait_exit(stop_timeout))
        return false;
    fail("did not start within " + std::to_string(start_timeout.count()) + " s");
}

void MqttBroker::stop()
{
    expect_running("stop");
    // mosquitto's handler only marks that it should end, and its loop looks
    // at the mark when its wait for sockets returns: a SIGTERM that comes
    // just before the wait (right after start, say) is seen only when the
    // wait times out, which may be many minutes. Each repeated SIGTERM ends
    // the wait.
    std::optional<ExitStatus> status;
    const Clock::time_point deadline = Clock::now() + stop_timeout;
    while (!status && Clock::now() < deadline) {
        broker_->send_signal(SIGTERM);
        if (paused_)
            resume();  // a stopped process acts on SIGTERM only once continued
        status = broker_->wait_exit(Millis(500));
    }
    if (!status) {
        broker_->send_signal(SIGKILL);
        broker_->wait_exit(stop_timeout);
        fail("still running " + std::to_string(stop_timeout.count()) + " s after SIGTERM; killed");
    }
    if (*status != ExitStatus::exit_code(0)) {
        std::ostringstream what;
        what << "ended with " << *status << " after SIGTERM";
        fail(what.str());
    }
    // mosquitto exits with status 0 even when it could not save.
    if (broker_->err().find("Error saving in-memory database") != std::string::npos)
        fail("could not save its database");
}

void MqttBroker::start()
{
    if (broker_ && broker_->running())
        fail("start: it is running already");
    if (!launch())
        fail("port " + std::to_string(port_) + " was taken while the broker was down");
}

void MqttBroker::restart()
{
    stop();
    start();
}

void MqttBroker::kill()
{
    expect_running("kill");
    broker_->send_signal(SIGKILL);
    if (!broker_->wait_exit(stop_timeout))
        fail("still running after SIGKILL");
    paused_ = false;
}

void MqttBroker::pause()
{
    expect_running("pause");
    if (!broker_->send_signal(SIGSTOP))
        fail("cannot send SIGSTOP");
    paused_ = true;
}

void MqttBroker::resume()
{
    if (!broker_->send_signal(SIGCONT))
        fail("cannot send SIGCONT");
    paused_ = false;
}

bool MqttBroker::running()
{
    return broker_ && broker_->running();
}

std::string MqttBroker::scheme() const
{
    return options_.transport == MqttTransport::tls ? "mqtts" : "mqtt";
}

std::string MqttBroker::url() const
{
    return scheme() + "://" + host() + ":" + std::to_string(port_);
}

std::string MqttBroker::ca_file() const
{
    return options_.transport == MqttTransport::tls ? dir_.file("ca.crt") : "";
}

std::string MqttBroker::other_ca_file() const
{
    return options_.transport == MqttTransport::tls ? dir_.file("other-ca.crt") : "";
}

std::string MqttBroker::log() const
{
    return earlier_log_ + (broker_ ? broker_->err() : "");
}

bool MqttBroker::wait_for_log(const std::string &text, Millis timeout, size_t count) const
{
    const size_t earlier = count_of(earlier_log_, text);
    if (!broker_ || earlier >= count)
        return earlier >= count;
    return broker_->wait_for(
        Stream::err, [&](const std::string &log) { return earlier + count_of(log, text) >= count; }, timeout);
}

void MqttBroker::expect_running(const char *what)
{
    if (!running())
        fail(std::string(what) + ": it is not running");
}

void MqttBroker::fail(const std::string &what) const
{
    throw std::runtime_error("mosquitto on port " + std::to_string(port_) + ": " + what + "; its log:\n" + log());
}

}  // namespace testsupport
