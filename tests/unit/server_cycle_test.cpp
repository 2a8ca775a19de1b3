// The TCP server's cycle on real sockets: what each client receives, what
// is logged, and which clients are dropped when, including full and partly
// full send buffers.
#include "camera_link.h"
#include "module_test.h"
#include "reading_format.h"
#include "tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

namespace unit {
namespace {

using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string kSent = "\xF0\x9F\x93\xA4 Sent temperature to client FD=";
constexpr int kWaitMs = 5000;  // bound on every wait for the kernel

// A descriptor the test owns; closed however the test ends.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// A connected pair: `client` is the server's end (handed to the module,
// which then owns it), `peer` is what the remote client holds.
struct Pair {
    Fd client;
    Fd peer;
};

Pair unix_pair()
{
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0) << std::strerror(errno);
    return Pair{Fd(fds[0]), Fd(fds[1])};
}

sockaddr_in loopback_any_port()
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

Fd tcp_listener(int receive_buffer = 0)
{
    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    EXPECT_GE(listener.get(), 0);
    // Set before the handshake, so the accepted socket inherits it and the
    // window it advertises stays small from the start.
    if (receive_buffer > 0)
        setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address = loopback_any_port();
    EXPECT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener.get(), 8), 0);
    return listener;
}

uint16_t local_port(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length), 0);
    return ntohs(address.sin_port);
}

Fd tcp_connect(int listener, int send_buffer = 0)
{
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_GE(fd.get(), 0);
    if (send_buffer > 0)
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    sockaddr_in address = loopback_any_port();
    address.sin_port = htons(local_port(listener));
    EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << std::strerror(errno);
    return fd;
}

Fd accept_within(int listener, int timeout_ms)
{
    pollfd entry{listener, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) != 1)
        return Fd();
    return Fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

// A loopback TCP pair whose server end sends without delay, with a small
// send buffer, to a peer with a small receive buffer (0: system default).
Pair tcp_pair(int send_buffer = 0, int receive_buffer = 0)
{
    Fd listener = tcp_listener(receive_buffer);
    Fd client = tcp_connect(listener.get(), send_buffer);
    Fd peer = accept_within(listener.get(), kWaitMs);
    EXPECT_GE(peer.get(), 0);
    const int one = 1;
    setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(client.get(), F_SETFL, fcntl(client.get(), F_GETFL) | O_NONBLOCK);
    return Pair{std::move(client), std::move(peer)};
}

template <typename Condition>
bool wait_until(Condition condition, int timeout_ms = kWaitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int queued_bytes(int fd, unsigned long request)
{
    int bytes = -1;
    ioctl(fd, request, &bytes);
    return bytes;
}

// Bytes the kernel still holds for fd's peer: not yet sent, or sent and not
// yet acknowledged.
int unacked_or_unsent_bytes(int fd)
{
    return queued_bytes(fd, SIOCOUTQ);
}

// Bytes waiting in fd's receive queue.
int readable_bytes(int fd)
{
    return queued_bytes(fd, FIONREAD);
}

constexpr char kFiller = '#';

// Fills a TCP send path whose peer does not read, so that the next send
// would block. Big pieces close the peer's window; once everything the peer
// received is acknowledged (the bytes that left the queue are exactly those
// waiting at the peer), single bytes fill the queue to the point where even one
// byte no longer fits (single_bytes < 0), or stop `single_bytes` in. The
// kernel's accounting is the same for identical connections, so a run on a
// twin connection tells where that point lies.
struct Filled {
    long total = 0;
    long single_bytes = 0;
};

Filled fill(int fd, int peer, long single_bytes = -1)
{
    const std::string chunk(1000, kFiller);
    Filled filled;
    for (ssize_t count; (count = send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0;)
        filled.total += count;
    EXPECT_TRUE(wait_until([&] { return filled.total - unacked_or_unsent_bytes(fd) == readable_bytes(peer); }))
        << "the data the peer received was never acknowledged";
    while (single_bytes < 0 || filled.single_bytes < single_bytes) {
        if (send(fd, &kFiller, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
            EXPECT_LT(single_bytes, 0) << "the queue was full after " << filled.single_bytes << " single bytes";
            break;
        }
        ++filled.single_bytes;
    }
    filled.total += filled.single_bytes;
    return filled;
}

// Everything the peer can read within timeout_ms once `expected` bytes have
// come (or the time is up); never blocks beyond it.
std::string read_exactly(int fd, size_t expected, int timeout_ms = kWaitMs)
{
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[65536];
    while (bytes.size() < expected) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) != 1)
            break;
        const ssize_t count = recv(fd, buffer, std::min(sizeof buffer, expected - bytes.size()), MSG_DONTWAIT);
        if (count <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(count));
    }
    return bytes;
}

// What is readable right now, without waiting.
std::string read_pending(int fd)
{
    std::string bytes;
    char buffer[4096];
    for (ssize_t count; (count = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        bytes.append(buffer, static_cast<size_t>(count));
    return bytes;
}

std::string line_for(float celsius)
{
    return format_temperature_line(celsius);
}

class ServerCycleTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        ASSERT_TRUE(create_log_directory());
        // The module must never raise SIGPIPE itself (it sends with
        // MSG_NOSIGNAL); keep the default action so that a regression ends
        // the test binary instead of passing unnoticed.
        previous_sigpipe_ = signal(SIGPIPE, SIG_DFL);
        set_temperature(36.5f);
    }

    void TearDown() override
    {
        forget_tcp_clients();
        signal(SIGPIPE, previous_sigpipe_);
        ModuleTest::TearDown();
    }

    static void set_temperature(float celsius)
    {
        unsigned char record[440] = {};
        record[45] = 1;
        std::memcpy(record + 180, &celsius, sizeof celsius);
        capture_output([&] { GetThermInfoCallback(2, record, sizeof record, nullptr); });
    }

    // Hands the server end to the module, which closes it from then on.
    static int give(Pair &pair)
    {
        const int fd = pair.client.release();
        add_tcp_client(fd);
        return fd;
    }

    // Runs cycles (quietly) and returns the log lines they added.
    std::vector<std::string> cycle(int listen_fd = -1, int times = 1)
    {
        const size_t before = logged_texts().size();
        capture_output([&] {
            for (int i = 0; i < times; ++i)
                run_server_cycle(listen_fd >= 0 ? std::vector<int>{listen_fd} : std::vector<int>{});
        });
        std::vector<std::string> lines = logged_texts();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines.size())));
        return lines;
    }

    static std::string sent_line(int fd, float celsius)
    {
        const std::string line = line_for(celsius);
        return kSent + std::to_string(fd) + ": " + line.substr(0, line.size() - 1);
    }

private:
    void (*previous_sigpipe_)(int) = SIG_DFL;
};

// ---- sending ---------------------------------------------------------------

TEST_F(ServerCycleTest, EveryClientGetsExactlyOneLinePerCycleInDescriptorOrder)
{
    std::vector<Pair> pairs;
    std::vector<int> fds;
    for (int i = 0; i < 3; ++i) {
        pairs.push_back(unix_pair());
        fds.push_back(give(pairs.back()));
    }
    const float readings[] = {36.5f, 37.25f, std::nanf("")};
    for (float celsius : readings) {
        set_temperature(celsius);
        EXPECT_THAT(cycle(), ElementsAre(sent_line(fds[0], celsius), sent_line(fds[1], celsius),
                                         sent_line(fds[2], celsius)));
    }
    const std::string expected = line_for(36.5f) + line_for(37.25f) + "{\"tmp\":null}\n";
    for (Pair &pair : pairs)
        EXPECT_EQ(read_pending(pair.peer.get()), expected);
    EXPECT_EQ(tcp_client_fds(), fds);
}

TEST_F(ServerCycleTest, WithoutClientsACycleDoesNothing)
{
    EXPECT_THAT(cycle(), IsEmpty());
}

TEST_F(ServerCycleTest, FullSendBufferKeepsTheClientAndWholeLinesResumeOnceDrained)
{
    Pair pair = tcp_pair(4096, 2048);
    const long filler = fill(pair.client.get(), pair.peer.get()).total;
    const int fd = give(pair);

    EXPECT_THAT(cycle(), ElementsAre(" Send buffer full for client FD=" + std::to_string(fd)));
    EXPECT_THAT(cycle(), ElementsAre(" Send buffer full for client FD=" + std::to_string(fd)));
    EXPECT_EQ(tcp_client_fds(), std::vector<int>{fd});

    EXPECT_EQ(read_exactly(pair.peer.get(), static_cast<size_t>(filler)), std::string(filler, kFiller));
    ASSERT_TRUE(wait_until([&] { return unacked_or_unsent_bytes(fd) == 0; }));
    set_temperature(37.0f);
    EXPECT_THAT(cycle(), ElementsAre(sent_line(fd, 37.0f)));
    set_temperature(38.0f);
    EXPECT_THAT(cycle(), ElementsAre(sent_line(fd, 38.0f)));
    EXPECT_EQ(read_exactly(pair.peer.get(), 36), line_for(37.0f) + line_for(38.0f));
}

// A socket that takes only `room` bytes of the next line.
class PartialSendTest : public ServerCycleTest, public ::testing::WithParamInterface<int> {};

TEST_P(PartialSendTest, RestOfTheLineGoesFirstAndNoLineIsSplitOrRepeated)
{
    const int room = GetParam();
    constexpr int send_buffer = 4096;
    constexpr int receive_buffer = 2048;
    long single_bytes = 0;
    {
        Pair twin = tcp_pair(send_buffer, receive_buffer);
        single_bytes = fill(twin.client.get(), twin.peer.get()).single_bytes;
    }
    ASSERT_GT(single_bytes, room);
    Pair pair = tcp_pair(send_buffer, receive_buffer);
    const long filler = fill(pair.client.get(), pair.peer.get(), single_bytes - room).total;
    const int fd = give(pair);
    const int queued = unacked_or_unsent_bytes(fd);

    EXPECT_THAT(cycle(), ElementsAre(sent_line(fd, 36.5f)));
    ASSERT_EQ(unacked_or_unsent_bytes(fd) - queued, room) << "the socket did not take exactly part of the line";

    // Still full: the rest cannot go, and nothing new starts behind it.
    set_temperature(37.25f);
    EXPECT_THAT(cycle(), ElementsAre(" Send buffer full for client FD=" + std::to_string(fd)));

    EXPECT_EQ(read_exactly(pair.peer.get(), static_cast<size_t>(filler)), std::string(filler, kFiller));
    ASSERT_TRUE(wait_until([&] { return unacked_or_unsent_bytes(fd) == 0; }));
    set_temperature(38.0f);
    EXPECT_THAT(cycle(), ElementsAre(sent_line(fd, 38.0f)));
    EXPECT_EQ(read_exactly(pair.peer.get(), 36, 500), line_for(36.5f) + line_for(38.0f));
    EXPECT_EQ(tcp_client_fds(), std::vector<int>{fd});
}

INSTANTIATE_TEST_SUITE_P(Room, PartialSendTest, ::testing::Values(1, 9, 17));

// ---- ended clients ----------------------------------------------------------

TEST_F(ServerCycleTest, PeerThatEndedItsSideIsDroppedByTheProbe)
{
    std::vector<Pair> pairs;
    std::vector<int> fds;
    for (int i = 0; i < 4; ++i) {
        pairs.push_back(unix_pair());
        fds.push_back(give(pairs.back()));
    }
    // Ended in the opposite order of their descriptors.
    shutdown(pairs[2].peer.get(), SHUT_WR);
    shutdown(pairs[0].peer.get(), SHUT_WR);

    const std::string f0 = std::to_string(fds[0]);
    const std::string f2 = std::to_string(fds[2]);
    EXPECT_THAT(cycle(), ElementsAre(sent_line(fds[0], 36.5f), sent_line(fds[1], 36.5f), sent_line(fds[2], 36.5f),
                                     sent_line(fds[3], 36.5f), " Client FD=" + f0 + " disconnected (recv returned 0)",
                                     " Client FD=" + f2 + " disconnected (recv returned 0)",
                                     " Removed broken client FD=" + f0 + ", remaining clients: 3",
                                     " Removed broken client FD=" + f2 + ", remaining clients: 2"));
    EXPECT_EQ(tcp_client_fds(), (std::vector<int>{fds[1], fds[3]}));
    EXPECT_THAT(cycle(), ElementsAre(sent_line(fds[1], 36.5f), sent_line(fds[3], 36.5f)));
    // The dropped ones got their last line and then their end of the stream.
    for (int i : {0, 2}) {
        EXPECT_EQ(read_exactly(pairs[i].peer.get(), 19, 1000), line_for(36.5f));
    }
}

TEST_F(ServerCycleTest, PeerThatClosedOverTcpIsDroppedByTheProbe)
{
    Pair pair = tcp_pair();
    const int fd = give(pair);
    pair.peer.reset();
    pollfd entry{fd, POLLIN | POLLRDHUP, 0};
    ASSERT_EQ(poll(&entry, 1, kWaitMs), 1);

    const std::string f = std::to_string(fd);
    EXPECT_THAT(cycle(), ElementsAre(sent_line(fd, 36.5f), " Client FD=" + f + " disconnected (recv returned 0)",
                                     " Removed broken client FD=" + f + ", remaining clients: 0"));
    EXPECT_THAT(tcp_client_fds(), IsEmpty());
}

struct BrokenPeerCase {
    const char *name;
    bool tcp;  // reset over TCP, else close of a local stream socket
};

void PrintTo(const BrokenPeerCase &c, std::ostream *out)
{
    *out << c.name;
}

class BrokenPeerTest : public ServerCycleTest, public ::testing::WithParamInterface<BrokenPeerCase> {};

TEST_P(BrokenPeerTest, FailedSendDropsTheClientWithoutASignal)
{
    Pair keep = unix_pair();
    Pair broken = GetParam().tcp ? tcp_pair() : unix_pair();
    const int kept = give(keep);
    const int fd = give(broken);
    if (GetParam().tcp) {
        const linger abort_on_close{1, 0};
        setsockopt(broken.peer.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    }
    broken.peer.reset();
    pollfd entry{fd, POLLOUT, 0};
    ASSERT_EQ(poll(&entry, 1, kWaitMs), 1);
    ASSERT_NE(entry.revents & (POLLERR | POLLHUP), 0) << "the end never reached the server's socket";

    const std::string f = std::to_string(fd);
    const std::vector<std::string> lines = cycle();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], sent_line(kept, 36.5f));
    if (lines[1].rfind(" Send failed", 0) == 0) {
        EXPECT_THAT(lines[1], AnyOf(" Send failed for client FD=" + f + ": Connection reset by peer",
                                    " Send failed for client FD=" + f + ": Broken pipe"));
        EXPECT_THAT(lines, ElementsAre(lines[0], lines[1], " Removed disconnected client FD=" + f + ", remaining clients: 1"));
    } else {
        EXPECT_THAT(lines[1], StartsWith(sent_line(fd, 36.5f)));
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_THAT(lines[2], StartsWith("\xE2\x9D\x8C Client FD=" + f + " connection error: "));
        EXPECT_EQ(lines[3], " Removed broken client FD=" + f + ", remaining clients: 1");
    }
    EXPECT_EQ(tcp_client_fds(), std::vector<int>{kept});
    EXPECT_EQ(read_pending(keep.peer.get()), line_for(36.5f));
}

INSTANTIATE_TEST_SUITE_P(Peers, BrokenPeerTest,
                         ::testing::Values(BrokenPeerCase{"TcpReset", true}, BrokenPeerCase{"LocalClose", false}),
                         [](const ::testing::TestParamInfo<BrokenPeerCase> &info) { return info.param.name; });

TEST_F(ServerCycleTest, PeerThatSentBytesIsKeptAndItsBytesAreLeftUnread)
{
    Pair pair = tcp_pair();
    const int fd = give(pair);
    const std::string hello = "hello\n";
    ASSERT_EQ(send(pair.peer.get(), hello.data(), hello.size(), MSG_NOSIGNAL), static_cast<ssize_t>(hello.size()));
    pollfd entry{fd, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, kWaitMs), 1);

    for (int i = 0; i < 3; ++i)
        EXPECT_THAT(cycle(), ElementsAre(sent_line(fd, 36.5f)));
    EXPECT_EQ(tcp_client_fds(), std::vector<int>{fd});
    EXPECT_EQ(read_pending(fd), hello);
    EXPECT_EQ(read_exactly(pair.peer.get(), 54), line_for(36.5f) + line_for(36.5f) + line_for(36.5f));
}

// ---- accepting ---------------------------------------------------------------

// Connections the kernel has completed and queued on listener: for a
// listening socket, the receive queue in /proc/net/tcp is its accept queue.
// -1 when the file or the socket's line cannot be read.
int pending_connections(int listener)
{
    std::ifstream table("/proc/net/tcp");
    char local[32];
    std::snprintf(local, sizeof local, ":%04X", local_port(listener));
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local_address, remote_address, state, queues;
        fields >> slot >> local_address >> remote_address >> state >> queues;
        const size_t colon = queues.find(':');
        if (state == "0A" && local_address.size() > 5 && local_address.substr(local_address.size() - 5) == local &&
            colon != std::string::npos)
            return static_cast<int>(std::stol(queues.substr(colon + 1), nullptr, 16));
    }
    return -1;
}

// Connects count clients to listener and waits until all are queued.
std::vector<Fd> connect_pending(int listener, int count)
{
    std::vector<Fd> peers;
    for (int i = 0; i < count; ++i)
        peers.push_back(tcp_connect(listener));
    const bool known = pending_connections(listener) >= 0;
    EXPECT_TRUE(wait_until([&] { return !known || pending_connections(listener) == count; }))
        << "the kernel queued " << pending_connections(listener) << " of " << count << " connections";
    return peers;
}

std::string accepted_prefix(const Fd &peer)
{
    return " New client connected: IP=127.0.0.1, Port=" + std::to_string(local_port(peer.get())) + ", FD=";
}

TEST_F(ServerCycleTest, AcceptsEveryPendingClientInOneCycleAndServesThemAtOnce)
{
    Fd listener = tcp_listener();
    std::vector<Fd> peers = connect_pending(listener.get(), 3);

    const std::vector<std::string> lines = cycle(listener.get());
    ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
    std::vector<int> fds;
    for (size_t i = 0; i < peers.size(); ++i) {
        const std::string prefix = accepted_prefix(peers[i]);
        ASSERT_THAT(lines[i], StartsWith(prefix));
        fds.push_back(std::stoi(lines[i].substr(prefix.size())));
    }
    EXPECT_THAT(lines, ElementsAre(lines[0], lines[1], lines[2], sent_line(fds[0], 36.5f), sent_line(fds[1], 36.5f),
                                   sent_line(fds[2], 36.5f)));
    for (size_t i = 0; i < peers.size(); ++i)
        EXPECT_EQ(read_exactly(peers[i].get(), 18), line_for(36.5f)) << "client " << i;
    EXPECT_EQ(tcp_client_fds(), fds);
    EXPECT_EQ(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_NE(fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    // Nobody else is waiting: the next cycle only serves the three.
    EXPECT_THAT(cycle(listener.get()), ElementsAre(sent_line(fds[0], 36.5f), sent_line(fds[1], 36.5f),
                                                   sent_line(fds[2], 36.5f)));
}

// The test process's own descriptor limit, lowered for one test.
class SoftFileLimit {
public:
    explicit SoftFileLimit(rlim_t soft)
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        ok_ = soft <= saved_.rlim_max && setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~SoftFileLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    SoftFileLimit(const SoftFileLimit &) = delete;
    SoftFileLimit &operator=(const SoftFileLimit &) = delete;
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

struct ReserveCase {
    rlim_t limit;
    int reserve;  // the last descriptors below the limit that no client gets
};

void PrintTo(const ReserveCase &c, std::ostream *out)
{
    *out << "limit " << c.limit << ", reserve " << c.reserve;
}

class DescriptorReserveTest : public ServerCycleTest, public ::testing::WithParamInterface<ReserveCase> {};

TEST_P(DescriptorReserveTest, ClientThatWouldTakeAReservedDescriptorIsClosedAtOnce)
{
    const ReserveCase c = GetParam();
    const int first_reserved = static_cast<int>(c.limit) - c.reserve;
    Fd listener = tcp_listener();
    std::vector<Fd> peers = connect_pending(listener.get(), 2);
    const size_t logged_before = logged_texts().size();
    // Taken up to just below the reserve's first descriptor: the first
    // client gets the last one left for clients, the second one would get
    // a reserved one.
    std::vector<Fd> held;
    for (Fd fd(dup(0)); fd.get() >= 0 && fd.get() < first_reserved - 1; fd = Fd(dup(0)))
        held.push_back(std::move(fd));
    ASSERT_FALSE(held.empty());
    ASSERT_EQ(held.back().get(), first_reserved - 2) << "descriptors above the test's own are in use";
    SoftFileLimit limit(c.limit);
    if (!limit.ok())
        GTEST_SKIP() << "cannot set the descriptor limit to " << c.limit;

    // Not captured: capturing the output takes descriptors of its own.
    run_server_cycle({listener.get()});
    std::vector<std::string> lines = logged_texts();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(logged_before));
    const int fd = first_reserved - 1;
    EXPECT_THAT(lines, ElementsAre(accepted_prefix(peers[0]) + std::to_string(fd),
                                   " Refused client IP=127.0.0.1, Port=" + std::to_string(local_port(peers[1].get())) +
                                       ": no descriptor left for clients (limit " + std::to_string(c.limit) +
                                       ", the last " + std::to_string(c.reserve) +
                                       " kept for the camera link and the log)",
                                   sent_line(fd, 36.5f)));
    EXPECT_EQ(tcp_client_fds(), std::vector<int>{fd});
    EXPECT_EQ(read_exactly(peers[0].get(), 18), line_for(36.5f));
    char byte;
    pollfd entry{peers[1].get(), POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, kWaitMs), 1);
    EXPECT_EQ(recv(peers[1].get(), &byte, 1, MSG_DONTWAIT), 0) << "the refused client did not see the end";
    EXPECT_EQ(fcntl(first_reserved, F_GETFD), -1) << "the refused client's descriptor is still open";
}

INSTANTIATE_TEST_SUITE_P(Limits, DescriptorReserveTest,
                         ::testing::Values(ReserveCase{200, 64},
                                           // A small limit keeps half of it.
                                           ReserveCase{60, 30}));

TEST_F(ServerCycleTest, NegativeListenerSkipsAccepting)
{
    Fd listener = tcp_listener();
    Fd peer = tcp_connect(listener.get());
    Pair pair = unix_pair();
    const int fd = give(pair);
    EXPECT_THAT(cycle(-1), ElementsAre(sent_line(fd, 36.5f)));
    EXPECT_EQ(tcp_client_fds(), std::vector<int>{fd});
}

}  // namespace
}  // namespace unit
