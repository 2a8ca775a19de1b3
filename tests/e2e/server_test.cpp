// Server mode with real TCP clients on loopback: the once-a-second JSON line,
// clients arriving together, over IPv4 and IPv6, clients that leave, reset
// or talk back, the descriptors kept from clients for the camera link, a
// socket passed by a service manager, set-up failures, and the shutdown
// with clients connected.
#include "e2e.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace e2e {
namespace {

const std::string kLine36 = "{\"tmp\":36.500000}\n";
const std::string kSent = "\xF0\x9F\x93\xA4 Sent temperature to client FD=";

std::string sent_line(int fd, const std::string &json)
{
    return kSent + std::to_string(fd) + ": " + json.substr(0, json.size() - 1);
}

// The program serving the simulated camera's readings on a free port.
class ServerMode : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &camera_options = {},
               const std::optional<FileLimit> &open_files = std::nullopt)
    {
        sim_ = std::make_unique<CameraSim>(camera_options);
        port_ = free_tcp_port();
        program_ = std::make_unique<Program>(std::vector<std::string>{"-s", sim_->url(), "-t", std::to_string(port_)},
                                             open_files);
        ASSERT_TRUE(program_->wait_until_reading()) << program_->out();
        ASSERT_TRUE(program_->wait_for("]  Waiting for client connections...\n", kReadingTimeout)) << program_->out();
    }

    std::unique_ptr<TcpClient> connect() { return std::make_unique<TcpClient>(port_, kLineTimeout); }

    // Connects a client and waits for the program to accept it; returns the
    // descriptor the program gives it.
    int connect_accepted(std::unique_ptr<TcpClient> *client)
    {
        *client = connect();
        return client_fd(*program_, (*client)->local_port(), kLineTimeout);
    }

    // Stops the program with signo; it must exit at once with status 0
    // after a complete shutdown.
    void stop(int signo = SIGTERM)
    {
        ASSERT_TRUE(program_->signal(signo));
        EXPECT_EQ(program_->finish(kExitTimeout), ExitStatus::exit_code(0));
        EXPECT_TRUE(shuts_down(program_->log(), signo));
        EXPECT_TRUE(stdout_echoes_log(program_->out(), program_->raw_log(), server_mode_lines(port_)));
        EXPECT_EQ(program_->err(), "");
    }

    // The log without the readings, which the SDK's thread may log between
    // any two lines of a server cycle.
    std::vector<std::string> log_without_readings() const
    {
        std::vector<std::string> log = program_->log();
        log.erase(std::remove_if(log.begin(), log.end(),
                                 [](const std::string &line) { return line.rfind("Updated temperature: ", 0) == 0; }),
                  log.end());
        return log;
    }

    std::unique_ptr<CameraSim> sim_;
    uint16_t port_ = 0;
    std::unique_ptr<Program> program_;
};

TEST_F(ServerMode, SendsTheReadingOnceASecondFromTheAcceptingCycleOn)
{
    start();
    std::unique_ptr<TcpClient> first;
    const int first_fd = connect_accepted(&first);
    ASSERT_GE(first_fd, 0) << program_->out();
    std::vector<Line> lines;
    for (int i = 0; i < 3; ++i) {
        std::optional<Line> line = first->read_line(kLineTimeout);
        ASSERT_TRUE(line) << "line " << i << " did not come";
        EXPECT_EQ(line->text, kLine36);
        lines.push_back(*line);
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_GT(lines[i].when - lines[i - 1].when, 500ms) << "lines " << i - 1 << " and " << i;
        EXPECT_LT(lines[i].when - lines[i - 1].when, 3000ms) << "lines " << i - 1 << " and " << i;
    }

    std::unique_ptr<TcpClient> second;
    const int second_fd = connect_accepted(&second);
    ASSERT_GE(second_fd, 0) << program_->out();
    std::optional<Line> line = second->read_line(kLineTimeout);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text, kLine36);
    ASSERT_TRUE(first->read_line(kLineTimeout));
    ASSERT_TRUE(first->read_line(kLineTimeout));
    stop();

    const std::vector<std::string> log = program_->log();
    const std::string port = std::to_string(port_);
    const size_t started = find_line(log, " TCP server successfully started on port " + port);
    ASSERT_NE(started, std::string::npos) << program_->raw_log();
    const size_t next = next_own_line(log, started);
    ASSERT_LT(next, log.size());
    EXPECT_EQ(log[next], " Waiting for client connections...");
    EXPECT_EQ(console_lines(program_->out()),
              (std::vector<std::string>{"Starting TCP server on port " + port,
                                        "Temperature data will be sent to TCP clients"}));
    // The cycle that accepts the second client sends to it as well: its
    // first line comes before the first client's next one.
    const size_t accepted = find_prefixed(log, " New client connected: IP=127.0.0.1, Port=" +
                                                   std::to_string(second->local_port()) +
                                                   ", FD=" + std::to_string(second_fd));
    ASSERT_NE(accepted, std::string::npos);
    const size_t to_first = find_line(log, sent_line(first_fd, kLine36), accepted);
    const size_t to_second = find_line(log, sent_line(second_fd, kLine36), accepted);
    const size_t next_to_first = find_line(log, sent_line(first_fd, kLine36), to_first + 1);
    ASSERT_NE(to_second, std::string::npos) << program_->raw_log();
    EXPECT_LT(to_second, next_to_first) << program_->raw_log();
    EXPECT_LT(to_first, to_second);
}

TEST_F(ServerMode, ServesClientsConnectingTogetherWithinTwoCycles)
{
    start();
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(connect());
    for (size_t i = 0; i < clients.size(); ++i) {
        const std::optional<Line> line = clients[i]->read_line(kLineTimeout * 2);
        ASSERT_TRUE(line) << "client " << i << "\n" << program_->out();
        EXPECT_EQ(line->text, kLine36);
    }
    stop();

    // The first client accepted is sent a line in every cycle: it has had at
    // most one before the last client was accepted.
    const std::vector<std::string> log = program_->log();
    const std::string accepted = " New client connected: IP=127.0.0.1, Port=";
    EXPECT_EQ(count_prefixed(log, accepted), clients.size()) << program_->raw_log();
    const size_t first = find_prefixed(log, accepted);
    ASSERT_NE(first, std::string::npos);
    size_t last = first;
    for (size_t at = first; at != std::string::npos; at = find_prefixed(log, accepted, at + 1))
        last = at;
    const std::string first_fd = log[first].substr(log[first].rfind("FD=") + 3);
    size_t sends_before_last = 0;
    for (size_t at = first; at < last; ++at)
        sends_before_last += log[at].rfind(kSent + first_fd + ": ", 0) == 0;
    EXPECT_LE(sends_before_last, 1u) << program_->raw_log();
}

TEST_F(ServerMode, ServesIpv4AndIpv6ClientsOnOnePortAlike)
{
    if (!ipv6_loopback_available())
        GTEST_SKIP() << "no IPv6 loopback here";
    start();
    std::unique_ptr<TcpClient> v4;
    const int v4_fd = connect_accepted(&v4);
    ASSERT_GE(v4_fd, 0) << program_->out();
    // Refused here means the listener is IPv4 only: a failure, not a skip.
    auto v6 = std::make_unique<TcpClient>(port_, kLineTimeout, "::1");
    const int v6_fd = client_fd(*program_, v6->local_port(), kLineTimeout, "::1");
    ASSERT_GE(v6_fd, 0) << program_->out();
    // Both are served in the same cycles: the same lines.
    for (int i = 0; i < 2; ++i) {
        for (TcpClient *client : {v4.get(), v6.get()}) {
            const std::optional<Line> line = client->read_line(kLineTimeout);
            ASSERT_TRUE(line);
            EXPECT_EQ(line->text, kLine36);
        }
    }
    v4->close();
    const std::string removed = " Removed broken client FD=" + std::to_string(v4_fd) + ", remaining clients: 1";
    ASSERT_TRUE(program_->wait_for("] " + removed + "\n", kLineTimeout * 2)) << program_->out();
    stop();

    const std::vector<std::string> log = log_without_readings();
    EXPECT_NE(find_line(log, " New client connected: IP=127.0.0.1, Port=" + std::to_string(v4->local_port()) +
                                 ", FD=" + std::to_string(v4_fd)),
              std::string::npos)
        << program_->raw_log();
    const size_t gone = find_line(log, " Client FD=" + std::to_string(v4_fd) + " disconnected (recv returned 0)");
    ASSERT_NE(gone, std::string::npos) << program_->raw_log();
    EXPECT_EQ(find_line(log, removed), next_own_line(log, gone));
    EXPECT_EQ(count_prefixed(log, "IPv6 is not available"), 0u);
}

TEST_F(ServerMode, RemovesAClientThatClosed)
{
    start();
    std::unique_ptr<TcpClient> staying, leaving;
    const int staying_fd = connect_accepted(&staying);
    const int leaving_fd = connect_accepted(&leaving);
    ASSERT_GE(staying_fd, 0);
    ASSERT_GE(leaving_fd, 0);
    ASSERT_TRUE(leaving->read_line(kLineTimeout));
    leaving->close();

    const std::string gone = " Client FD=" + std::to_string(leaving_fd) + " disconnected (recv returned 0)";
    const std::string removed = " Removed broken client FD=" + std::to_string(leaving_fd) + ", remaining clients: 1";
    ASSERT_TRUE(program_->wait_for("] " + removed + "\n", kLineTimeout * 2)) << program_->out();
    const size_t removal_count = count_of(program_->out(), "Removed ");
    ASSERT_TRUE(staying->read_line(kLineTimeout));
    ASSERT_TRUE(staying->read_line(kLineTimeout));
    stop();

    const std::vector<std::string> log = log_without_readings();
    const size_t gone_at = find_line(log, gone);
    ASSERT_NE(gone_at, std::string::npos) << program_->raw_log();
    EXPECT_EQ(find_line(log, removed), next_own_line(log, gone_at)) << program_->raw_log();
    EXPECT_EQ(count_of(program_->out(), "Removed "), removal_count) << "the staying client was dropped";
}

TEST_F(ServerMode, DropsAClientThatResetAndServesTheOthers)
{
    start();
    std::unique_ptr<TcpClient> staying, resetting;
    const int staying_fd = connect_accepted(&staying);
    const int resetting_fd = connect_accepted(&resetting);
    ASSERT_GE(staying_fd, 0);
    ASSERT_GE(resetting_fd, 0);
    ASSERT_TRUE(resetting->read_line(kLineTimeout));
    resetting->reset();

    const std::string fd = std::to_string(resetting_fd);
    ASSERT_TRUE(program_->wait_for(", remaining clients: 1\n", kLineTimeout * 2)) << program_->out();
    ASSERT_TRUE(staying->read_line(kLineTimeout));
    ASSERT_TRUE(staying->read_line(kLineTimeout));
    ASSERT_TRUE(program_->proc().running());
    stop();

    // The reset shows at the next send or at the probe after it; either way
    // the client goes with the removal line of that pass.
    const std::vector<std::string> log = log_without_readings();
    const size_t send_failed = find_prefixed(log, " Send failed for client FD=" + fd + ": ");
    const size_t broken = find_prefixed(log, "\xE2\x9D\x8C Client FD=" + fd + " connection error: ");
    ASSERT_TRUE((send_failed == std::string::npos) != (broken == std::string::npos)) << program_->raw_log();
    const size_t reported = std::min(send_failed, broken);
    const std::string removal = send_failed != std::string::npos ? " Removed disconnected client FD=" + fd
                                                                 : " Removed broken client FD=" + fd;
    EXPECT_EQ(find_line(log, removal + ", remaining clients: 1"), next_own_line(log, reported))
        << program_->raw_log();
    EXPECT_EQ(count_prefixed(log, " Removed "), 1u) << program_->raw_log();
}

TEST_F(ServerMode, KeepsServingAClientThatSendsBytes)
{
    start();
    std::unique_ptr<TcpClient> talker;
    ASSERT_GE(connect_accepted(&talker), 0);
    ASSERT_TRUE(talker->send_text("hello\n"));
    for (int i = 0; i < 3; ++i) {
        const std::optional<Line> line = talker->read_line(kLineTimeout);
        ASSERT_TRUE(line) << "line " << i;
        EXPECT_EQ(line->text, kLine36);
    }
    EXPECT_TRUE(talker->send_text(std::string(1000, 'x')));
    ASSERT_TRUE(talker->read_line(kLineTimeout));
    ASSERT_TRUE(talker->read_line(kLineTimeout));
    stop();
    EXPECT_EQ(count_prefixed(program_->log(), " Removed "), 0u) << program_->raw_log();
}

TEST_F(ServerMode, SendsNullForReadingsThatAreNotNumbers)
{
    start({"--temps", "nan,inf,-inf"});
    std::unique_ptr<TcpClient> client;
    const int fd = connect_accepted(&client);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 3; ++i) {
        const std::optional<Line> line = client->read_line(kLineTimeout);
        ASSERT_TRUE(line) << "line " << i;
        EXPECT_EQ(line->text, "{\"tmp\":null}\n");
    }
    stop();
    EXPECT_NE(find_line(program_->log(), sent_line(fd, "{\"tmp\":null}\n")), std::string::npos);
}

// With the descriptor limit at 64 and a hard limit of 128, the program may
// have 128 open: clients take every descriptor but the last 64, which are
// kept for the camera link. The link drops and is away while clients take
// all they can; it must still come back.
TEST_F(ServerMode, RefusesClientsAtTheDescriptorReserveAndTheCameraLinkStillReturns)
{
    start({"--drop-after-seconds", "1", "--away-seconds", "1"}, FileLimit{64, 128});
    ASSERT_TRUE(program_->wait_for(kLinkLost, kReadingTimeout)) << program_->out();
    // More clients than the hard limit has descriptors.
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 150; ++i)
        clients.push_back(connect());
    std::vector<TcpClient *> served, refused;
    for (const std::unique_ptr<TcpClient> &client : clients) {
        if (client->read_line(kLineTimeout * 2)) {
            served.push_back(client.get());
        } else {
            // Refused: the end of the stream, at once and without a byte.
            ASSERT_TRUE(client->eof()) << "neither a line nor the end came\n" << program_->out();
            EXPECT_EQ(client->unread(), "");
            refused.push_back(client.get());
        }
    }
    // Without the raise to the hard limit, the soft limit of 64 would let
    // through fewer than 32.
    EXPECT_GT(served.size(), 32u) << program_->out();
    ASSERT_FALSE(refused.empty()) << program_->out();

    ASSERT_TRUE(program_->wait_for_after(kLinkLost, "] Updated temperature: ", kReturnTimeout))
        << program_->out() << "\ncamera:\n"
        << sim_->out();
    const size_t lines_so_far = count_of(program_->out(), kSent);
    ASSERT_TRUE(program_->wait_for(kSent, kLineTimeout, lines_so_far + served.size())) << program_->out();
    for (TcpClient *client : served)
        ASSERT_TRUE(client->read_line(kLineTimeout));
    stop();

    const std::vector<std::string> log = program_->log();
    const std::string reason = ": no descriptor left for clients (limit 128, the last 64 kept for the camera link "
                               "and the log)";
    for (TcpClient *client : refused)
        EXPECT_NE(find_line(log, " Refused client IP=127.0.0.1, Port=" + std::to_string(client->local_port()) + reason),
                  std::string::npos)
            << program_->raw_log();
    EXPECT_EQ(count_prefixed(log, " Refused client "), refused.size());
    EXPECT_EQ(count_prefixed(log, " Accept failed: "), 0u) << program_->raw_log();
    // The clients held every descriptor they could before the link came back.
    const size_t lost = find_prefixed(log, kLinkLost.substr(2, kLinkLost.size() - 3));
    EXPECT_LT(find_prefixed(log, " Refused client "), find_prefixed(log, "Updated temperature: ", lost))
        << program_->raw_log();
}

class ServerShutdown : public ServerMode, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(ServerShutdown, EndsEveryClientsStream)
{
    start();
    std::unique_ptr<TcpClient> a, b;
    ASSERT_GE(connect_accepted(&a), 0);
    ASSERT_GE(connect_accepted(&b), 0);
    ASSERT_TRUE(b->read_line(kLineTimeout));
    stop(GetParam().signo);
    // Every line up to the end is whole and carries the camera's reading:
    // the shutdown's reset of the value must not reach a client as a 0.
    for (TcpClient *client : {a.get(), b.get()}) {
        EXPECT_TRUE(client->wait_eof(kExitTimeout));
        EXPECT_EQ(client->error(), 0);
        EXPECT_EQ(client->unread().size() % kLine36.size(), 0u) << client->unread();
        for (size_t at = 0; at + kLine36.size() <= client->unread().size(); at += kLine36.size())
            EXPECT_EQ(client->unread().substr(at, kLine36.size()), kLine36);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, ServerShutdown,
                         ::testing::Values(SignalCase{"Term", SIGTERM}, SignalCase{"Hup", SIGHUP}),
                         signal_case_name);

const std::string kActivate = "/usr/bin/systemd-socket-activate";

// Started by systemd-socket-activate, as systemd starts a socket-activated
// service: the socket it passes is served, not one of the program's own,
// and a client that connected before the program ran is served from the
// queue.
TEST(SocketActivation, ServesTheListeningSocketItIsGiven)
{
    if (access(kActivate.c_str(), X_OK) != 0)
        GTEST_SKIP() << kActivate << " is not installed";
    CameraSim sim;
    const uint16_t port = free_tcp_port();
    const std::string other = std::to_string(port == 65535 ? 1024 : port + 1);
    Program program({"-s", sim.url(), "-t", other}, std::nullopt, {},
                    {kActivate, "-l", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(program.proc().wait_for_output("Listening on", kLineTimeout, Stream::err)) << program.err();
    // The program starts with this connection, which waits in the queue.
    TcpClient client(port, kLineTimeout);
    const std::optional<Line> line = client.read_line(kReadingTimeout);
    ASSERT_TRUE(line) << program.out();
    // Served at once, perhaps before the first reading.
    EXPECT_TRUE(line->text == kLine36 || line->text == "{\"tmp\":0.000000}\n") << line->text;
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    EXPECT_TRUE(client.wait_eof(kLineTimeout));

    const std::vector<std::string> log = program.log();
    EXPECT_NE(find_line(log, " Serving the listening socket passed by the service manager: FD=3, 127.0.0.1:" +
                                 std::to_string(port) + " (its port, not " + other + " of -t)"),
              std::string::npos)
        << program.raw_log();
    EXPECT_NE(find_line(log, " TCP server successfully started on port " + std::to_string(port)), std::string::npos);
    EXPECT_TRUE(shuts_down(log, SIGTERM));
}

// A passed socket that the server cannot serve (here a UDP one) is a
// start-up failure that says which and why, not a server that never
// answers.
TEST(SocketActivation, RefusesAPassedSocketThatIsNotAListeningTcpSocket)
{
    if (access(kActivate.c_str(), X_OK) != 0)
        GTEST_SKIP() << kActivate << " is not installed";
    CameraSim sim;
    const uint16_t port = free_tcp_port();
    Program program({"-s", sim.url(), "-t", std::to_string(port)}, std::nullopt, {},
                    {kActivate, "--datagram", "-l", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(program.proc().wait_for_output("Listening on", kLineTimeout, Stream::err)) << program.err();
    // A datagram starts the program.
    const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(sendto(udp, "x", 1, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to), 1);
    close(udp);
    EXPECT_EQ(program.finish(kReadingTimeout), ExitStatus::exit_code(255));
    const std::vector<std::string> log = program.log();
    EXPECT_NE(find_line(log, "Cannot serve the sockets passed by the service manager: FD=3 is not a TCP socket"),
              std::string::npos)
        << program.raw_log();
    EXPECT_EQ(count_prefixed(log, " TCP server successfully started"), 0u);
}

// Set-up failures end the program with status 255 after a complete cleanup
// of the camera link.
class ServerSetUp : public ::testing::Test {
protected:
    // on_failure runs as soon as the failure is logged, while the program
    // may still be cleaning up.
    void run_failing(const std::string &port, const std::string &failure,
                     const std::function<void()> &on_failure = [] {})
    {
        Program program({"-s", sim_.url(), "-t", port});
        if (program.wait_for("] " + failure + "\n", kReadingTimeout))
            on_failure();
        EXPECT_EQ(program.finish(kReadingTimeout), ExitStatus::exit_code(255));
        EXPECT_EQ(program.err(), "");
        const std::vector<std::string> log = program.log();
        const size_t at = find_line(log, failure);
        ASSERT_NE(at, std::string::npos) << program.raw_log();
        std::vector<std::string> rest;
        for (size_t i = next_own_line(log, at); i < log.size(); i = next_own_line(log, i))
            rest.push_back(log[i]);
        EXPECT_EQ(rest, (std::vector<std::string>{"NET_DVR_StopRemoteConfig succeeded", "NET_DVR_Logout succeeded",
                                                  "Thermometry cleaned up"}));
        EXPECT_EQ(count_prefixed(log, " TCP server successfully started"), 0u);
        EXPECT_EQ(console_lines(program.out()), (std::vector<std::string>{"Starting TCP server on port " + port,
                                                                          "Temperature data will be sent to TCP clients"}));
        EXPECT_TRUE(sim_.wait_for("logout: ok", kLineTimeout)) << sim_.out();
    }

    CameraSim sim_;
};

TEST_F(ServerSetUp, PortTakenByAnotherListener)
{
    TcpListener holder;
    const std::string port = std::to_string(holder.port());
    run_failing(port, "Bind failed on port " + port + ": Address already in use");
}

TEST_F(ServerSetUp, PortOutOfRange)
{
    // 70000 cut to 16 bits would be 4464: nothing may listen there.
    const bool wrapped_port_free = !port_accepts_connections(4464);
    run_failing("70000", "Invalid TCP port 70000: must be between 1 and 65535", [&] {
        if (wrapped_port_free) {
            EXPECT_FALSE(port_accepts_connections(4464));
        }
    });
}

}  // namespace
}  // namespace e2e
