// A camera-sim child process for the SDK tests: started on a loopback
// address of its own, its output collected line by line, always reaped.
#ifndef SDK_TEST_SIM_PROCESS_H
#define SDK_TEST_SIM_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sdktest {

using std::chrono::milliseconds;

// A loopback address that no other test process of this run picks: from
// the pid and a per-process counter, clear of 127.0.0.x.
std::string unique_loopback_address();

class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;
    ~SimProcess();

    // Starts the simulator with args (no --listen: it is added) on a fresh
    // address and port 8000, trying other addresses while one is taken.
    // True once the simulator says it listens.
    bool start(const std::vector<std::string> &args);

    // Runs the simulator with exactly args until it exits by itself
    // (bounded); returns the waitpid status. Its output stays in lines().
    int run_to_exit(const std::vector<std::string> &args);

    pid_t pid() const { return pid_; }
    const std::string &address() const { return address_; }
    uint16_t port() const { return port_; }

    // Waits until a line containing text has been printed `count` times.
    bool wait_for(const std::string &text, int count = 1, milliseconds timeout = milliseconds(5000));
    int count(const std::string &text);
    std::vector<std::string> lines();

    // SIGTERM, then waits (bounded; SIGKILL past it) and reaps. Returns the
    // exit status as waitpid reports it, or -1 when it was not running.
    int stop();

private:
    bool spawn(const std::vector<std::string> &argv);
    void read_output(int fd);
    int reap(milliseconds timeout);

    pid_t pid_ = -1;
    std::string address_;
    uint16_t port_ = 0;
    std::thread reader_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    bool eof_ = false;
};

// Polls cond until it holds or timeout passes.
bool eventually(const std::function<bool()> &cond, milliseconds timeout = milliseconds(5000));

}  // namespace sdktest

#endif  // SDK_TEST_SIM_PROCESS_H
