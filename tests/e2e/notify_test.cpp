// The service manager's notifications: a socket of the test's own stands in
// for systemd's and receives READY=1, each cycle's status (and watchdog
// ping) and STOPPING=1, in this order; without NOTIFY_SOCKET, nothing.
#include "e2e.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace e2e {
namespace {

bool starts_with(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A datagram socket like systemd's, on an abstract name ("@...") or a path.
// Tests read it as they wait, so its queue (ten messages) never fills.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &name) : name_(name)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path, name.size());
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr *>(&address), length), 0) << name;
    }
    ~NotifySocket() { close(fd_); }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    const std::string &name() const { return name_; }
    const std::vector<std::string> &messages() const { return messages_; }

    // Receives until a message matches (or timeout); returns whether one did.
    bool receive_until(const std::function<bool(const std::string &)> &match, Millis timeout)
    {
        const Clock::time_point deadline = Clock::now() + timeout;
        for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
            pollfd ready{fd_, POLLIN, 0};
            const auto wait = std::chrono::duration_cast<Millis>(deadline - now).count();
            char buffer[4096];
            const ssize_t count = poll(&ready, 1, static_cast<int>(wait)) > 0 ? recv(fd_, buffer, sizeof buffer, 0) : -1;
            if (count >= 0)
                messages_.emplace_back(buffer, static_cast<size_t>(count));
            if (count >= 0 && match(messages_.back()))
                return true;
        }
        return false;
    }

    std::string shown() const
    {
        std::string text;
        for (const std::string &message : messages_)
            text += "  [" + message + "]\n";
        return text;
    }

private:
    std::string name_;
    int fd_ = -1;
    std::vector<std::string> messages_;
};

const auto is_ready = [](const std::string &m) { return starts_with(m, "READY=1\n"); };
std::function<bool(const std::string &)> is_stopping(int signo)
{
    return [signo](const std::string &m) { return m == "STOPPING=1\nSTATUS=Stopping on signal " + std::to_string(signo); };
}

// A status after head ("READY=1\n", "WATCHDOG=1\n" or nothing) in mode
// ("Console mode", "TCP server on port P, N clients"): no reading yet, or
// the reading and its age.
bool is_status(const std::string &message, const std::string &head, const std::string &mode, const std::string &reading)
{
    const std::string prefix = head + "STATUS=" + mode + ". ";
    const std::string ago = " s ago)";
    const std::string rest = starts_with(message, prefix) ? message.substr(prefix.size()) : "";
    return rest == "No reading yet" || (starts_with(rest, "Temperature: " + reading + "\xC2\xB0" + "C (") &&
                                        rest.compare(rest.size() - ago.size(), ago.size(), ago) == 0);
}

// The process's descriptors that are unix sockets.
size_t unix_sockets_of(pid_t pid)
{
    std::ifstream table("/proc/net/unix");
    std::set<std::string> inodes;
    for (std::string line, field; std::getline(table, line);) {
        std::istringstream fields(line);
        for (int i = 0; i < 7; ++i)  // Num RefCount Protocol Flags Type St Inode [Path]
            fields >> field;
        inodes.insert(field);
    }
    size_t count = 0;
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd/";
    DIR *dir = opendir(fd_dir.c_str());
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        char target[64] = "";
        if (readlink((fd_dir + entry->d_name).c_str(), target, sizeof target - 1) > 0 && starts_with(target, "socket:["))
            count += inodes.count(std::string(target + 8, std::strlen(target) - 9));
    }
    if (dir)
        closedir(dir);
    return count;
}

TEST(ServiceNotification, ConsoleModeIsReadyOnceStreamingPingsEachCycleAndSaysItStops)
{
    CameraSim sim({"--temp", "21.25"});
    NotifySocket notify("@thermometry-test-" + std::to_string(getpid()));
    Program program({"-s", sim.url()}, std::nullopt, {"NOTIFY_SOCKET=" + notify.name(), "WATCHDOG_USEC=30000000"});
    ASSERT_TRUE(notify.receive_until(is_ready, kReadingTimeout)) << program.out();
    // The stream had started: its log line is in the file already.
    EXPECT_NE(program.raw_log().find("] Thermometry initialized successfully\n"), std::string::npos);
    const auto pings_reading = [n = 0](const std::string &m) mutable {
        return starts_with(m, "WATCHDOG=1\n") && m.find("21.25") != std::string::npos && ++n == 3;
    };
    ASSERT_TRUE(notify.receive_until(pings_reading, kReadingTimeout)) << notify.shown();
    EXPECT_EQ(unix_sockets_of(program.proc().pid()), 1u);  // the one it sends on
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    ASSERT_TRUE(notify.receive_until(is_stopping(SIGTERM), kLineTimeout)) << notify.shown();
    EXPECT_FALSE(notify.receive_until([](const std::string &) { return true; }, 100ms)) << notify.shown();

    // READY=1 first, a ping with the status per console line, STOPPING=1 last.
    const std::vector<std::string> &messages = notify.messages();
    EXPECT_TRUE(is_status(messages.front(), "READY=1\n", "Console mode", "21.25")) << notify.shown();
    for (size_t i = 1; i + 1 < messages.size(); ++i)
        EXPECT_TRUE(is_status(messages[i], "WATCHDOG=1\n", "Console mode", "21.25")) << messages[i];
    const std::vector<std::string> console = console_lines(program.out());
    const auto readings = std::count_if(console.begin(), console.end(),
                                        [](const std::string &line) { return starts_with(line, "Temperature: "); });
    EXPECT_EQ(messages.size() - 2, static_cast<size_t>(readings)) << notify.shown() << program.out();
    EXPECT_TRUE(stdout_echoes_log(program.out(), program.raw_log(), is_console_mode_line));
}

TEST(ServiceNotification, ServerModeIsReadyOnceListeningAndCountsClients)
{
    CameraSim sim;
    TempDir dir;
    NotifySocket notify(dir.file("notify"));
    const uint16_t port = free_tcp_port();
    Program program({"-s", sim.url(), "-t", std::to_string(port)}, std::nullopt, {"NOTIFY_SOCKET=" + notify.name()});
    ASSERT_TRUE(notify.receive_until(is_ready, kReadingTimeout)) << program.out();
    EXPECT_TRUE(port_accepts_connections(port));
    TcpClient client(port, kLineTimeout);
    const std::string mode = "TCP server on port " + std::to_string(port) + ", ";
    ASSERT_TRUE(notify.receive_until([&](const std::string &m) { return is_status(m, "", mode + "1 client", "36.5"); },
                                     kReadingTimeout))
        << notify.shown();
    ASSERT_TRUE(program.signal(SIGHUP));  // any shutdown signal says so
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    ASSERT_TRUE(notify.receive_until(is_stopping(SIGHUP), kLineTimeout)) << notify.shown();

    // No WATCHDOG=1 unless asked for.
    const std::vector<std::string> &messages = notify.messages();
    EXPECT_TRUE(is_status(messages.front(), "READY=1\n", mode + "0 clients", "36.5")) << notify.shown();
    for (size_t i = 1; i + 1 < messages.size(); ++i)
        EXPECT_TRUE(is_status(messages[i], "", mode + "0 clients", "36.5") ||
                    is_status(messages[i], "", mode + "1 client", "36.5") ||
                    is_status(messages[i], "", mode + "2 clients", "36.5"))
            << messages[i];
}

TEST(ServiceNotification, NothingWithoutNotifySocket)
{
    CameraSim sim;
    Program program({"-s", sim.url()}, std::nullopt, {"WATCHDOG_USEC=30000000"});
    ASSERT_TRUE(program.wait_for("\nTemperature: 36.5", kReadingTimeout, 2)) << program.out();
    EXPECT_EQ(unix_sockets_of(program.proc().pid()), 0u);  // not even a socket to send on
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    EXPECT_TRUE(stdout_echoes_log(program.out(), program.raw_log(), is_console_mode_line));
    EXPECT_EQ(program.err(), "");
}

}  // namespace
}  // namespace e2e
