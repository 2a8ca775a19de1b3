// Service manager notification. It owns the notification socket and its
// failure state (g_notify, guarded by g_notify_mutex); the main thread and
// the signal thread send through it.
#include "service_notify.h"

#include "camera_link.h"
#include "immortal.h"
#include "log_writer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

// Guards g_notify.
static std::mutex &g_notify_mutex = make_immortal<std::mutex>();
static struct {
    bool configured = false;  // the environment has been read
    int fd = -1;              // -1: nothing is sent
    sockaddr_un address{};
    socklen_t address_length = 0;
    bool watchdog = false;
    bool failing = false;  // the last send failed (and that was logged)
} g_notify;

// Whether $WATCHDOG_USEC asks this process for keep-alive pings.
static bool watchdog_requested()
{
    const char *usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr || *usec < '0' || *usec > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    if (std::strtoull(usec, &end, 10) == 0 || *end != '\0' || errno != 0)
        return false;
    const char *pid = std::getenv("WATCHDOG_PID");
    if (pid == nullptr || *pid == '\0')
        return true;
    return std::strtoll(pid, &end, 10) == static_cast<long long>(getpid()) && *end == '\0';
}

static void configure_notify_locked()
{
    g_notify.configured = true;
    const char *variable = std::getenv("NOTIFY_SOCKET");
    if (variable == nullptr || *variable == '\0')
        return;
    const std::string name = variable;
    sockaddr_un &address = g_notify.address;
    if ((name[0] != '/' && name[0] != '@') || name.size() < 2 || name.size() > sizeof address.sun_path) {
        log_message("Cannot notify the service manager: NOTIFY_SOCKET is not a socket path: " + name);
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        log_message(std::string("Cannot notify the service manager: ") + std::strerror(error));
        return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@')
        address.sun_path[0] = '\0';  // an abstract name
    g_notify.address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    g_notify.watchdog = watchdog_requested();
    g_notify.fd = fd;
}

// Whether notifications go anywhere; reads the environment the first time.
// Called with g_notify_mutex held.
static bool notifying_locked()
{
    if (!g_notify.configured)
        configure_notify_locked();
    return g_notify.fd >= 0;
}

// Sends one datagram of "NAME=value" lines. Called with g_notify_mutex held,
// after notifying_locked() said yes.
static void send_notification_locked(const std::string &message)
{
    // Never wait for the service manager: a full queue costs one message,
    // and the next cycle sends another.
    const ssize_t sent = sendto(g_notify.fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr *>(&g_notify.address), g_notify.address_length);
    if (sent >= 0) {
        if (g_notify.failing)
            log_message("Notifying the service manager works again");
        g_notify.failing = false;
        return;
    }
    const int error = errno;
    if (!g_notify.failing)
        log_message(std::string("Failed to notify the service manager: ") + std::strerror(error));
    g_notify.failing = true;
}

static std::string service_status(const std::string &mode)
{
    return mode + ". " + describe_latest_reading();
}

void notify_ready(const std::string &mode)
{
    std::lock_guard<std::mutex> lock(g_notify_mutex);
    if (notifying_locked())
        send_notification_locked("READY=1\nSTATUS=" + service_status(mode));
}

void notify_cycle(const std::string &mode)
{
    std::lock_guard<std::mutex> lock(g_notify_mutex);
    if (notifying_locked())
        send_notification_locked(std::string(g_notify.watchdog ? "WATCHDOG=1\n" : "") + "STATUS=" +
                                 service_status(mode));
}

void notify_stopping(int signo)
{
    std::lock_guard<std::mutex> lock(g_notify_mutex);
    if (notifying_locked())
        send_notification_locked("STOPPING=1\nSTATUS=Stopping on signal " + std::to_string(signo));
}
