// Socket activation. It owns the sockets that the service manager passed,
// taken once by the main thread before any other thread starts (so that
// unsetting the variables races no getenv) and read by the TCP server.
#include "socket_activation.h"

#include "thermometry.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

// The first descriptor of the ones passed, by the service manager's rule.
static constexpr int first_passed_fd = 3;
// More than any unit passes; a larger count is taken for a broken variable.
static constexpr long max_passed_fds = 1024;

// Written by take_passed_sockets before any thread starts; read-only after.
static passed_sockets g_passed;

const passed_sockets &service_manager_sockets()
{
    return g_passed;
}

// A whole decimal number in 0..limit, or -1.
static long read_count(const std::string &text, long limit)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return -1;
    errno = 0;
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value > limit)
        return -1;
    return value;
}

static std::string take_variable(const char *name)
{
    const char *value = std::getenv(name);
    std::string text = value != nullptr ? value : "";
    unsetenv(name);
    return text;
}

static int socket_option(int fd, int option)
{
    int value = -1;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, option, &value, &length) != 0)
        return -1;
    return value;
}

// "" when fd is a listening TCP socket, made non-blocking and close-on-exec;
// otherwise what it is not.
static std::string adopt_listener(int fd)
{
    const std::string name = "FD=" + std::to_string(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return name + " is not open: " + std::strerror(errno);
    if (!S_ISSOCK(info.st_mode))
        return name + " is not a socket";
    const int domain = socket_option(fd, SO_DOMAIN);
    if (socket_option(fd, SO_TYPE) != SOCK_STREAM || (domain != AF_INET && domain != AF_INET6))
        return name + " is not a TCP socket";
    if (socket_option(fd, SO_ACCEPTCONN) != 1)
        return name + " is not listening";
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
        return name + " cannot be made non-blocking: " + std::strerror(errno);
    return "";
}

void take_passed_sockets()
{
    // They are ours alone: nothing started from here may take them for its own.
    const std::string pid = take_variable("LISTEN_PID");
    const std::string fds = take_variable("LISTEN_FDS");
    take_variable("LISTEN_FDNAMES");
    if (pid.empty() || read_count(pid, 0x7fffffff) != static_cast<long>(getpid()))
        return;
    const long count = read_count(fds, max_passed_fds);
    if (count < 0) {
        g_passed.error = "LISTEN_FDS is not a count of sockets: " + fds;
        return;
    }
    for (int fd = first_passed_fd; fd < first_passed_fd + count; ++fd) {
        const std::string problem = adopt_listener(fd);
        if (!problem.empty()) {
            g_passed.error = problem;
            return;
        }
        g_passed.fds.push_back(fd);
    }
}
