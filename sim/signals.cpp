// SIGTERM and SIGINT for camera-sim: the handler (any thread, though the
// simulator has one) writes to a self-pipe that the main loop polls.
#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace sim {

namespace {

int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

extern "C" void on_signal(int signo) {
    int saved = errno;
    g_signal = signo;
    char byte = 1;
    ssize_t ignored = ::write(g_signal_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

}  // namespace

bool install_signal_handlers() {
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) < 0) return false;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    // Sockets send with MSG_NOSIGNAL; a closed stdout is noticed in say().
    sa.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &sa, nullptr);
    // The parent may have blocked these (the program does before it starts us).
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    return true;
}

int signal_wake_fd() {
    return g_signal_pipe[0];
}

int caught_signal() {
    return g_signal;
}

}  // namespace sim
