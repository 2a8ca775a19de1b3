#include "sim_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <sstream>

extern char **environ;

namespace sdktest {

namespace {

std::string simulator_path() {
    const char *env = std::getenv("CAMERA_SIM_BIN");
    return env && *env ? env : CAMERA_SIM_DEFAULT_BIN;
}

std::vector<std::string> launcher() {
    std::vector<std::string> out;
    const char *env = std::getenv("THERMOMETRY_TEST_LAUNCHER");
    if (!env) return out;
    std::istringstream words(env);
    for (std::string w; words >> w;) out.push_back(w);
    return out;
}

}  // namespace

std::string unique_loopback_address() {
    static std::atomic<unsigned> counter{0};
    unsigned pid = static_cast<unsigned>(::getpid());
    unsigned n = counter++;
    // Second octet 64..253 and third from the pid, last from the counter:
    // distinct across the test processes that CTest runs side by side.
    unsigned b = 64 + (pid / 250) % 190;
    unsigned c = 1 + pid % 250;
    unsigned d = 1 + n % 250;
    return "127." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d);
}

bool eventually(const std::function<bool()> &cond, milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(milliseconds(2));
    }
}

SimProcess::~SimProcess() { stop(); }

bool SimProcess::spawn(const std::vector<std::string> &args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return false;
    std::vector<std::string> argv = launcher();
    argv.push_back(simulator_path());
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (std::string &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    // The child must not inherit a blocked SIGTERM from a test thread.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    int rc = posix_spawnp(&pid, cargv[0], &actions, &attr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return false;
    }
    pid_ = pid;
    {
        std::lock_guard<std::mutex> lk(m_);
        lines_.clear();
        eof_ = false;
    }
    reader_ = std::thread([this, fd = fds[0]] { read_output(fd); });
    return true;
}

void SimProcess::read_output(int fd) {
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial.append(buf, static_cast<size_t>(n));
        size_t nl;
        std::lock_guard<std::mutex> lk(m_);
        while ((nl = partial.find('\n')) != std::string::npos) {
            lines_.push_back(partial.substr(0, nl));
            partial.erase(0, nl + 1);
        }
        cv_.notify_all();
    }
    ::close(fd);
    std::lock_guard<std::mutex> lk(m_);
    if (!partial.empty()) lines_.push_back(partial);
    eof_ = true;
    cv_.notify_all();
}

bool SimProcess::start(const std::vector<std::string> &args) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        address_ = unique_loopback_address();
        port_ = 8000;
        std::vector<std::string> full = {"--listen", address_ + ":8000"};
        full.insert(full.end(), args.begin(), args.end());
        if (!spawn(full)) return false;
        bool listening;
        {
            std::unique_lock<std::mutex> lk(m_);
            // Generous: an emulator may be starting it.
            cv_.wait_for(lk, std::chrono::seconds(20), [&] {
                for (const std::string &l : lines_)
                    if (l.rfind("listening on ", 0) == 0) return true;
                return eof_;
            });
            listening = !eof_;
        }
        if (listening) return true;
        bool taken = count("cannot listen") > 0;
        stop();
        if (!taken) return false;
    }
    return false;
}

int SimProcess::run_to_exit(const std::vector<std::string> &args) {
    if (!spawn(args)) return -1;
    int status = reap(milliseconds(10000));
    if (status == -2) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    reader_.join();
    return status;
}

bool SimProcess::wait_for(const std::string &text, int wanted, milliseconds timeout) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, timeout, [&] {
        int n = 0;
        for (const std::string &l : lines_)
            if (l.find(text) != std::string::npos) ++n;
        return n >= wanted;
    });
}

int SimProcess::count(const std::string &text) {
    std::lock_guard<std::mutex> lk(m_);
    int n = 0;
    for (const std::string &l : lines_)
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

std::vector<std::string> SimProcess::lines() {
    std::lock_guard<std::mutex> lk(m_);
    return lines_;
}

int SimProcess::reap(milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) return status;
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return -2;
        std::this_thread::sleep_for(milliseconds(2));
    }
}

int SimProcess::stop() {
    if (pid_ < 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = reap(milliseconds(10000));
    if (status == -2) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    // A sanitizer's report from the simulator fails the test that ran it.
    for (const std::string &l : lines())
        if (l.find("Sanitizer") != std::string::npos || l.find("runtime error:") != std::string::npos)
            ADD_FAILURE() << "camera-sim: " << l;
    return status;
}

}  // namespace sdktest
