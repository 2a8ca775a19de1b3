// The service manager's notifications: a socket of the test's own stands in
// for systemd's, and receives READY=1, the status and watchdog pings of each
// cycle and STOPPING=1, in this order, or nothing at all without one.
#include "e2e.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace e2e {
namespace {

const std::string kDegrees = "\xC2\xB0"
                             "C";

bool starts_with(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A datagram socket like systemd's notification socket, bound to an abstract
// name or to a path; a thread of its own receives every message at once, as
// the service manager does, so the program's sends never find it full.
class NotifySocket {
public:
    explicit NotifySocket(const std::string &path = "")
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        static std::atomic<int> counter{0};
        name_ = path.empty() ? "@thermometry-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) : path;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name_.data(), name_.size());
        if (name_[0] == '@')
            address.sun_path[0] = '\0';
        const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
        if (bind(fd_, reinterpret_cast<const sockaddr *>(&address), length) != 0) {
            const int error = errno;
            close(fd_);
            throw std::runtime_error("bind " + name_ + ": " + std::strerror(error));
        }
        reader_ = std::thread([this] { receive_all(); });
    }
    ~NotifySocket()
    {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    // NOTIFY_SOCKET's value for this socket.
    const std::string &name() const { return name_; }

    std::vector<std::string> messages() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

    // Waits until a message satisfies match (count times); returns the
    // messages up to and including it, or nullopt after timeout.
    std::optional<std::vector<std::string>> wait_for(const std::function<bool(const std::string &)> &match,
                                                     Millis timeout, size_t count = 1) const
    {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<std::vector<std::string>> found;
        changed_.wait_for(lock, timeout, [&] {
            size_t seen = 0;
            for (size_t i = 0; i < messages_.size(); ++i)
                if (match(messages_[i]) && ++seen == count) {
                    found = std::vector<std::string>(messages_.begin(), messages_.begin() + i + 1);
                    return true;
                }
            return false;
        });
        return found;
    }

private:
    void receive_all()
    {
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t count = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count < 0)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(buffer, static_cast<size_t>(count));
            changed_.notify_all();
        }
    }

    int fd_ = -1;
    std::string name_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> messages_;
};

std::string joined(const std::vector<std::string> &messages)
{
    std::string text;
    for (const std::string &message : messages)
        text += "  [" + message + "]\n";
    return text;
}

bool is_ready(const std::string &message)
{
    return starts_with(message, "READY=1\n");
}

bool is_stopping(const std::string &message)
{
    return message == "STOPPING=1\nSTATUS=Stopping on signal 15";
}

// A status after head ("READY=1\n", "WATCHDOG=1\n" or nothing) in the given
// mode ("Console mode", "TCP server on port P, N client(s)").
bool is_status(const std::string &message, const std::string &head, const std::string &mode,
               const std::string &reading)
{
    const std::string prefix = head + "STATUS=" + mode + ". ";
    if (!starts_with(message, prefix))
        return false;
    const std::string rest = message.substr(prefix.size());
    const std::string ago = " s ago)";
    return rest == "No reading yet" ||
           (starts_with(rest, "Temperature: " + reading + kDegrees + " (") &&
            rest.compare(rest.size() - ago.size(), ago.size(), ago) == 0);
}

// The unix sockets among the descriptors of process pid.
size_t unix_sockets_of(pid_t pid)
{
    std::ifstream table("/proc/net/unix");
    std::set<std::string> inodes;
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 7 && fields >> field; ++i) {
        }
        inodes.insert(field);
    }
    size_t count = 0;
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *dir = opendir(fd_dir.c_str())) {
        while (dirent *entry = readdir(dir)) {
            char target[256] = "";
            const ssize_t length = readlink((fd_dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
            const std::string link(target, length > 0 ? static_cast<size_t>(length) : 0);
            if (starts_with(link, "socket:[") && inodes.count(link.substr(8, link.size() - 9)) != 0)
                ++count;
        }
        closedir(dir);
    }
    return count;
}

TEST(ServiceNotification, ConsoleModeIsReadyOnceStreamingPingsEachCycleAndSaysItStops)
{
    CameraSim sim({"--temp", "21.25"});
    NotifySocket notify;
    Program program({"-s", sim.url()}, std::nullopt, {"NOTIFY_SOCKET=" + notify.name(), "WATCHDOG_USEC=30000000"});
    ASSERT_TRUE(notify.wait_for(is_ready, kReadingTimeout)) << program.out();
    // READY=1 comes after the stream started: its log line is in the file.
    EXPECT_NE(program.raw_log().find("] Thermometry initialized successfully\n"), std::string::npos)
        << program.raw_log();
    // Three pings after the first reading reached the status.
    ASSERT_TRUE(notify.wait_for(
        [](const std::string &m) { return starts_with(m, "WATCHDOG=1\n") && m.find("Temperature: 21.25") != std::string::npos; },
        kReadingTimeout, 3))
        << joined(notify.messages());
    EXPECT_EQ(unix_sockets_of(program.proc().pid()), 1u);  // the one it sends on
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    ASSERT_TRUE(notify.wait_for(is_stopping, kLineTimeout)) << joined(notify.messages());

    // READY=1 first, one ping with the status per console line, STOPPING=1 last.
    const std::vector<std::string> messages = notify.messages();
    ASSERT_GE(messages.size(), 5u) << joined(messages);
    EXPECT_TRUE(is_status(messages.front(), "READY=1\n", "Console mode", "21.25")) << joined(messages);
    EXPECT_TRUE(is_stopping(messages.back())) << joined(messages);
    for (size_t i = 1; i + 1 < messages.size(); ++i)
        EXPECT_TRUE(is_status(messages[i], "WATCHDOG=1\n", "Console mode", "21.25")) << messages[i];
    size_t temperature_lines = 0;
    for (const std::string &line : console_lines(program.out()))
        temperature_lines += starts_with(line, "Temperature: ") ? 1 : 0;
    EXPECT_EQ(messages.size() - 2, temperature_lines) << joined(messages) << program.out();
    EXPECT_TRUE(stdout_echoes_log(program.out(), program.raw_log(), is_console_mode_line));
    EXPECT_EQ(program.err(), "");
}

TEST(ServiceNotification, ServerModeIsReadyOnceListeningAndCountsClients)
{
    CameraSim sim;
    TempDir dir;
    NotifySocket notify(dir.file("notify"));
    const uint16_t port = free_tcp_port();
    Program program({"-s", sim.url(), "-t", std::to_string(port)}, std::nullopt, {"NOTIFY_SOCKET=" + notify.name()});
    ASSERT_TRUE(notify.wait_for(is_ready, kReadingTimeout)) << program.out();
    EXPECT_TRUE(port_accepts_connections(port));
    EXPECT_NE(program.raw_log().find("] Thermometry initialized successfully\n"), std::string::npos);

    TcpClient client(port, kLineTimeout);
    ASSERT_TRUE(client.read_line(kReadingTimeout));
    const std::string mode = "TCP server on port " + std::to_string(port);
    ASSERT_TRUE(notify.wait_for([&](const std::string &m) { return is_status(m, "", mode + ", 1 client", "36.5"); },
                                kLineTimeout))
        << joined(notify.messages());
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    ASSERT_TRUE(notify.wait_for(is_stopping, kLineTimeout)) << joined(notify.messages());

    // No WATCHDOG=1 when the watchdog is not asked for.
    const std::vector<std::string> messages = notify.messages();
    EXPECT_TRUE(is_status(messages.front(), "READY=1\n", mode + ", 0 clients", "36.5")) << joined(messages);
    EXPECT_TRUE(is_stopping(messages.back())) << joined(messages);
    for (size_t i = 1; i + 1 < messages.size(); ++i) {
        const bool counted = is_status(messages[i], "", mode + ", 0 clients", "36.5") ||
                             is_status(messages[i], "", mode + ", 1 client", "36.5") ||
                             is_status(messages[i], "", mode + ", 2 clients", "36.5");
        EXPECT_TRUE(counted) << messages[i];
    }
}

TEST(ServiceNotification, NothingWithoutNotifySocket)
{
    CameraSim sim;
    Program program({"-s", sim.url()}, std::nullopt, {"WATCHDOG_USEC=30000000"});
    ASSERT_TRUE(program.wait_until_reading()) << program.out();
    ASSERT_TRUE(program.wait_for("\nTemperature: 36.5", kLineTimeout, 2)) << program.out();
    // Not even a socket to send on.
    EXPECT_EQ(unix_sockets_of(program.proc().pid()), 0u);
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    EXPECT_TRUE(stdout_echoes_log(program.out(), program.raw_log(), is_console_mode_line));
    EXPECT_EQ(program.err(), "");
}

}  // namespace
}  // namespace e2e
