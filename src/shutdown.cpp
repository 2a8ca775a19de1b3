// Shutdown and signals. It owns the signal thread, the set of signals it
// waits for, the claim on ending the process and the main work lock. The
// signal thread runs the shutdown; main claims the exit on its failure path;
// the main thread holds the work lock for each piece of periodic work.
#include "shutdown.h"

#include "immortal.h"
#include "log_writer.h"
#include "service_notify.h"
#include "thermometry.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

// Set by whichever path ends the process first: a signal's shutdown or main
// on its way out. The other path then leaves the ending to it.
static std::atomic<bool> g_exit_claimed{false};

// The main work lock: see lock_main_work().
static std::mutex &g_main_work_mutex = make_immortal<std::mutex>();

std::unique_lock<std::mutex> lock_main_work()
{
    return std::unique_lock<std::mutex>(g_main_work_mutex);
}

// The outputs' goodbyes, in the order they were added; each taken once.
static std::atomic<void (*)()> g_shutdown_steps[4];

void add_shutdown_step(void (*step)())
{
    for (auto &slot : g_shutdown_steps) {
        void (*empty)() = nullptr;
        if (slot.compare_exchange_strong(empty, step))
            return;
    }
    log_message("Too many shutdown steps: one is left out");
}

void stop_outputs()
{
    for (auto &slot : g_shutdown_steps)
        if (void (*step)() = slot.exchange(nullptr))
            step();
}

static void wait_forever()
{
    for (;;)
        pause();
}

void claim_exit()
{
    if (g_exit_claimed.exchange(true))
        wait_forever();
}

// The shutdown on a signal: logs "Received signal N, cleaning up...", runs
// cleanup_thermometry, closes the log and ends the process with status 0.
// Runs at most once per process; never returns.
[[noreturn]] static void signal_handler(int signo)
{
    if (g_exit_claimed.exchange(true))
        wait_forever();
    g_main_work_mutex.lock();  // released only by the end of the process
    notify_stopping(signo);
    log_message("Received signal " + std::to_string(signo) + ", cleaning up...");
    stop_outputs();
    cleanup_thermometry();
    close_log();
    // No exit(): the main thread may be mid-cycle, and static destructors
    // (ours, the C++ library's, the SDK's) must not run under it. Every
    // line is already flushed and the log file closed.
    _exit(0);
}

// The signals that end the program in order. Set by install_signal_handler
// before the signal thread starts, read-only afterwards.
static sigset_t g_shutdown_signals;

// SIGHUP is among them, so that a closed terminal or ssh session ends the
// program in order too, unless the program was started with SIGHUP ignored
// (nohup): that wish is kept. Linux keeps a blocked signal pending even when
// it is ignored, so sigwait would take it if it were in the set.
static sigset_t choose_shutdown_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    struct sigaction hangup {};
    if (sigaction(SIGHUP, nullptr, &hangup) != 0 || hangup.sa_handler != SIG_IGN)
        sigaddset(&set, SIGHUP);
    return set;
}

static void *wait_for_signals(void *)
{
    for (;;) {
        int signo = 0;
        if (sigwait(&g_shutdown_signals, &signo) == 0)
            signal_handler(signo);
    }
    return nullptr;
}

bool install_signal_handler()
{
    // A client or camera that vanishes must cost a failed send, not the
    // process; the SDK has sockets of its own, so ignore SIGPIPE everywhere.
    signal(SIGPIPE, SIG_IGN);
    g_shutdown_signals = choose_shutdown_signals();
    int error = pthread_sigmask(SIG_BLOCK, &g_shutdown_signals, nullptr);
    pthread_t thread;
    if (error == 0)
        error = pthread_create(&thread, nullptr, wait_for_signals, nullptr);
    if (error != 0) {
        std::fprintf(stderr, "Failed to start the signal thread: %s\n", std::strerror(error));
        std::fflush(stderr);
        return false;
    }
    pthread_detach(thread);
    return true;
}

