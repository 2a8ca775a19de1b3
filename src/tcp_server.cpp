// The TCP temperature server. It owns the connected clients and the unsent
// rests of their lines (main thread only) and runs the server cycle: accept,
// send, probe, drop. The listening socket and the descriptor budget have
// files of their own.
#include "tcp_server.h"

#include "camera_link.h"
#include "cycle_clock.h"
#include "descriptor_budget.h"
#include "immortal.h"
#include "log_retention.h"
#include "log_writer.h"
#include "reading_format.h"
#include "service_notify.h"
#include "shutdown.h"
#include "tcp_listener.h"
#include "thermometry.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>

// Connections taken off the listen queue in one cycle: enough for a crowd
// arriving together, bounded so that a flood cannot keep a cycle from
// sending.
static constexpr int max_accepts_per_cycle = 1024;

// The connected clients, in ascending descriptor order. Main thread only.
static std::set<int> &client_fds = make_immortal<std::set<int>>();
// The unsent rest of a line that a client's socket took only in part; such
// a client gets nothing new until the rest is through. Main thread only.
static std::map<int, std::string> &g_unsent = make_immortal<std::map<int, std::string>>();

static std::string error_text(int error)
{
    return std::strerror(error);
}

static std::string peer_text(const sockaddr_storage &peer)
{
    return "IP=" + address_ip_text(peer) + ", Port=" + std::to_string(address_port(peer));
}

// Takes every pending connection on listen_fd while *accepts lasts. A new
// descriptor is always the lowest free one, so one that lands in the
// reserve means that every descriptor below it is taken: that client is
// closed at once, so it learns of the refusal instead of waiting.
static void accept_clients(int listen_fd, int *accepts, descriptor_budget *budget)
{
    for (; *accepts > 0; --*accepts) {
        sockaddr_storage peer{};
        socklen_t peer_length = sizeof peer;
        const int fd = accept4(listen_fd, reinterpret_cast<sockaddr *>(&peer), &peer_length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error != EAGAIN && error != EWOULDBLOCK)
                log_message(" Accept failed: " + error_text(error));
            return;
        }
        // Read once per cycle that accepts, so that a limit changed from
        // outside (prlimit) counts from the next cycle on.
        if (budget->limit == 0)
            *budget = current_descriptor_budget();
        if (fd >= budget->limit - budget->reserve) {
            close(fd);
            log_message(" Refused client " + peer_text(peer) + ": no descriptor left for clients (limit " +
                        std::to_string(budget->limit) + ", the last " + std::to_string(budget->reserve) +
                        " kept for the camera link and the log)");
            continue;
        }
        log_message(" New client connected: " + peer_text(peer) + ", FD=" + std::to_string(fd));
        client_fds.insert(fd);
    }
}

static void drop_clients(const std::vector<int> &drops, const char *what)
{
    for (int fd : drops) {
        close(fd);
        client_fds.erase(fd);
        g_unsent.erase(fd);
        log_message(std::string(what) + std::to_string(fd) + ", remaining clients: " +
                    std::to_string(client_fds.size()));
    }
}

enum class send_outcome { whole, partial, full, closed, failed };

static send_outcome send_bytes(int fd, const std::string &bytes, size_t *sent, int *error)
{
    const ssize_t count = send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count > 0) {
        *sent = static_cast<size_t>(count);
        return *sent == bytes.size() ? send_outcome::whole : send_outcome::partial;
    }
    if (count == 0)
        return send_outcome::closed;
    *error = errno;
    if (*error == EAGAIN || *error == EWOULDBLOCK || *error == EINTR)
        return send_outcome::full;
    return send_outcome::failed;
}

// Sends a client the rest of an earlier line, then, once it is through, this
// cycle's line. Returns false when the client must be dropped.
static bool send_to_client(int fd, const std::string &line, const std::string &shown)
{
    const std::string fd_text = std::to_string(fd);
    auto unsent = g_unsent.find(fd);
    const bool finishing = unsent != g_unsent.end();
    const std::string &bytes = finishing ? unsent->second : line;
    size_t sent = 0;
    int error = 0;
    switch (send_bytes(fd, bytes, &sent, &error)) {
    case send_outcome::whole:
        if (!finishing) {
            log_message("\xF0\x9F\x93\xA4 Sent temperature to client FD=" + fd_text + ": " + shown);
            return true;
        }
        g_unsent.erase(unsent);
        return send_to_client(fd, line, shown);
    case send_outcome::partial:
        if (finishing) {
            unsent->second.erase(0, sent);
        } else {
            g_unsent[fd] = line.substr(sent);
            log_message("\xF0\x9F\x93\xA4 Sent temperature to client FD=" + fd_text + ": " + shown);
        }
        return true;
    case send_outcome::full:
        log_message(" Send buffer full for client FD=" + fd_text);
        return true;
    case send_outcome::closed:
        log_message(" Client FD=" + fd_text + " disconnected (send returned 0)");
        return false;
    case send_outcome::failed:
        log_message(" Send failed for client FD=" + fd_text + ": " + error_text(error));
        return false;
    }
    return true;
}

static void send_pass()
{
    const std::string line = format_temperature_line(get_latest_temperature());
    const std::string shown = line.substr(0, line.size() - 1);
    std::vector<int> drops;
    for (int fd : client_fds)
        if (!send_to_client(fd, line, shown))
            drops.push_back(fd);
    drop_clients(drops, " Removed disconnected client FD=");
}

static void probe_pass()
{
    std::vector<int> drops;
    for (int fd : client_fds) {
        char probe = 0;
        const ssize_t count = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (count > 0)
            continue;
        if (count == 0) {
            log_message(" Client FD=" + std::to_string(fd) + " disconnected (recv returned 0)");
            drops.push_back(fd);
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)
            continue;
        log_message("\xE2\x9D\x8C Client FD=" + std::to_string(fd) + " connection error: " + error_text(error));
        drops.push_back(fd);
    }
    drop_clients(drops, " Removed broken client FD=");
}

void run_server_cycle(const std::vector<int> &listen_fds)
{
    int accepts = max_accepts_per_cycle;
    descriptor_budget budget{0, 0};
    for (int listen_fd : listen_fds)
        accept_clients(listen_fd, &accepts, &budget);
    if (!client_fds.empty())
        send_pass();
    if (!client_fds.empty())
        probe_pass();
}

void add_tcp_client(int fd)
{
    client_fds.insert(fd);
}

std::vector<int> tcp_client_fds()
{
    return std::vector<int>(client_fds.begin(), client_fds.end());
}

void forget_tcp_clients()
{
    for (int fd : client_fds)
        close(fd);
    client_fds.clear();
    g_unsent.clear();
}

// The server's part of the service manager's status line.
static std::string server_status(int port)
{
    const size_t clients = client_fds.size();
    return "TCP server on port " + std::to_string(port) + ", " + std::to_string(clients) +
           (clients == 1 ? " client" : " clients");
}

void start_tcp_server(int port)
{
    raise_descriptor_limit();
    const std::vector<int> listen_fds = open_listeners(port);
    if (listen_fds.empty())
        return;
    {
        const auto work = lock_main_work();
        notify_ready(server_status(port));
    }
    cycle_clock clock;
    for (;;) {
        {
            const auto work = lock_main_work();
            run_server_cycle(listen_fds);
            notify_cycle(server_status(port));
        }
        sweep_old_logs_when_due();
        clock.wait_for_next_cycle();
    }
}
