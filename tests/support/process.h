// Child processes for tests that run the real built programs: started with
// the optional launcher in front, their stdout and stderr captured, waited
// for with bounded timeouts, and never left behind.
#ifndef THERMOMETRY_TESTS_PROCESS_H
#define THERMOMETRY_TESTS_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The value of an environment variable, or "" when it is unset.
std::string environment(const char *name);

// The words of THERMOMETRY_TEST_LAUNCHER (an emulator and its options) that
// go in front of every program a test starts; empty when there is none.
std::vector<std::string> launcher_words();

// THERMOMETRY_BIN and CAMERA_SIM_BIN; throw std::runtime_error when unset.
std::string program_path();
std::string simulator_path();

enum class Stream { out, err };

// A complete line of output (without its '\n') and when it arrived.
struct Line {
    Clock::time_point when;
    std::string text;
};

struct ExitStatus {
    bool exited = false;  // ended through exit(); else killed by signal
    int code = -1;        // the exit status when exited
    int signal = 0;       // the signal when not exited

    static ExitStatus exit_code(int code) { return {true, code, 0}; }
    static ExitStatus killed_by(int signo) { return {false, -1, signo}; }
    bool operator==(const ExitStatus &other) const;
    bool operator!=(const ExitStatus &other) const { return !(*this == other); }
};
std::ostream &operator<<(std::ostream &out, const ExitStatus &status);

// A child's RLIMIT_NOFILE: how many descriptors it may have open.
struct FileLimit {
    unsigned long soft = 0;
    unsigned long hard = 0;
};

// What a started program is built for: the target, so it runs behind the
// launcher (the programs under test), or this machine, so it runs directly
// whatever the target (a broker, openssl, ...).
enum class Runs { on_target, on_host };

class Process {
public:
    // Starts argv[0] (a path) with exactly these arguments, argv[0] included,
    // in directory cwd, with the launcher's words in front unless it runs on
    // the host (argv[0] may then also be a name to look up on PATH). The child gets
    // /dev/null as stdin, pipes as stdout and stderr, no other descriptor,
    // default signal handling, the given descriptor limit (else the test's),
    // and dies with the thread that started it. The child's environment is
    // this process's, changed by env_changes: "NAME=value" sets NAME, a bare
    // "NAME" removes it. Throws std::runtime_error when it cannot be started.
    // wrapper's words, if any, go in front of the launcher's: a program that
    // runs argv itself (such as systemd-socket-activate).
    Process(const std::vector<std::string> &argv, const std::string &cwd,
            const std::optional<FileLimit> &open_files = std::nullopt,
            const std::vector<std::string> &env_changes = {}, Runs runs = Runs::on_target,
            const std::vector<std::string> &wrapper = {});
    ~Process();  // SIGKILLs and reaps the child if it still runs

    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }

    // Everything captured so far.
    std::string output(Stream stream) const;
    std::string out() const { return output(Stream::out); }
    std::string err() const { return output(Stream::err); }
    // The complete stdout lines so far, with their arrival times.
    std::vector<Line> out_lines() const;

    // Waits until done(everything captured on stream) holds, the stream has
    // ended, or timeout passes; returns whether done held. done runs with
    // the capture locked, so it must not call back into this Process.
    bool wait_for(Stream stream, const std::function<bool(const std::string &)> &done, Millis timeout) const;
    // Waits until text appears on the stream at least count times.
    bool wait_for_output(const std::string &text, Millis timeout, Stream stream = Stream::out,
                         size_t count = 1) const;
    // Waits until a complete stdout line satisfies match; returns it.
    std::optional<Line> wait_for_line(const std::function<bool(const std::string &)> &match,
                                      Millis timeout) const;

    // kill(2); false when the child is already reaped or kill fails.
    bool send_signal(int signo);
    // Waits for the child to end; nullopt when it still runs after timeout.
    // Once it has ended, also waits (within the timeout) for the rest of its
    // output, so what is captured is complete.
    std::optional<ExitStatus> wait_exit(Millis timeout);
    bool running();

private:
    void read_output(int out_fd, int err_fd, int wake_fd);
    bool reap(bool block);

    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
    int wake_fd_ = -1;  // written by the destructor to stop the reader
    int wake_read_fd_ = -1;
    std::thread reader_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string out_;
    std::string err_;
    std::vector<Line> out_lines_;
    size_t out_line_start_ = 0;  // where the unfinished stdout line begins
    bool out_closed_ = false;
    bool err_closed_ = false;
};

// Number of non-overlapping occurrences of needle in text.
size_t count_of(const std::string &text, const std::string &needle);

// Splits text at '\n'; a last piece without '\n' is dropped.
std::vector<std::string> split_lines(const std::string &text);

}  // namespace testsupport

#endif  // THERMOMETRY_TESTS_PROCESS_H
