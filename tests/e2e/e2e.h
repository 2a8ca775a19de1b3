// What the end-to-end tests share: the program running in a fresh working
// directory, and checks of the output and log lines it must produce.
#ifndef THERMOMETRY_E2E_H
#define THERMOMETRY_E2E_H

#include "camera.h"
#include "net.h"
#include "process.h"
#include "workdir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

using namespace testsupport;
using namespace std::chrono_literals;

// Bounds, generous because sanitizer builds and emulators are slow; a test
// that passes never waits for them to run out.
constexpr Millis kReadingTimeout = 20s;  // start-up to the first readings
constexpr Millis kExitTimeout = 5s;      // a shutdown that must be prompt
constexpr Millis kLineTimeout = 5s;      // the next once-a-second line
// The camera's link drop, as the program logs it, and the bound on the
// link's return: the SDK tries again every ten seconds.
inline const std::string kLinkLost = "] NET_DVR_GET_MANUALTHERM_INFO failed, error code: 9\n";
constexpr Millis kReturnTimeout = 30s;

// The program, started with args in a fresh working directory of its own.
class Program {
public:
    // open_files: the program's descriptor limit (else the test's). The
    // environment is the test's without the service manager's variables
    // (NOTIFY_SOCKET, WATCHDOG_*, LISTEN_*), then changed by env_changes as
    // for Process. wrapper: a program that starts this one, as for Process.
    explicit Program(const std::vector<std::string> &args,
                     const std::optional<FileLimit> &open_files = std::nullopt,
                     const std::vector<std::string> &env_changes = {},
                     const std::vector<std::string> &wrapper = {});

    Process &proc() { return *process_; }
    const TempDir &dir() const { return dir_; }
    const std::string &path() const { return path_; }
    std::string out() const { return process_->out(); }
    std::string err() const { return process_->err(); }
    bool wait_for(const std::string &text, Millis timeout, size_t count = 1) const
    {
        return process_->wait_for_output(text, timeout, Stream::out, count);
    }
    // Waits until text appears on stdout after the first `first`.
    bool wait_for_after(const std::string &first, const std::string &text, Millis timeout) const
    {
        return process_->wait_for(
            Stream::out,
            [&](const std::string &out) {
                const size_t at = out.find(first);
                return at != std::string::npos && out.find(text, at + first.size()) != std::string::npos;
            },
            timeout);
    }
    bool signal(int signo) { return process_->send_signal(signo); }
    // Waits until the link is up (start-up complete) and a reading came.
    bool wait_until_reading(Millis timeout = kReadingTimeout) const
    {
        return wait_for("] Thermometry initialized successfully\n", timeout) &&
               wait_for("] Updated temperature: ", timeout);
    }

    // The exit status; when the program is still running after timeout the
    // test fails and the program is killed.
    ExitStatus finish(Millis timeout);

    std::string raw_log() const { return read_logs(dir_.path()); }
    std::vector<std::string> log() const { return log_texts(raw_log()); }

private:
    TempDir dir_;  // declared first: removed only after the process is gone
    std::string path_;
    std::unique_ptr<Process> process_;
};

// Lines the program writes to stdout besides the echoed log.
bool is_console_mode_line(const std::string &line);
std::function<bool(const std::string &)> server_mode_lines(uint16_t port);
bool no_console_line(const std::string &line);

// Standard output must be exactly the log file's lines, in the same order,
// with only lines accepted by console_line in between, and end in a newline.
::testing::AssertionResult stdout_echoes_log(const std::string &out, const std::string &log,
                                             const std::function<bool(const std::string &)> &console_line);

// The stdout lines that are not log lines.
std::vector<std::string> console_lines(const std::string &out);

// The log opens with the start-up of a link to the camera at address for
// channel: URL, SDK, login, stream, each line as the program words it.
// Data and status lines from the stream may already be interleaved.
::testing::AssertionResult starts_up(const std::vector<std::string> &log, const std::string &address,
                                     int channel);

// "Parsed RTSP URL: ..." as logged for the test camera's URL at address.
std::string parsed_url_line(const std::string &address);

// The start-up's login retry line.
std::string login_failed_line(int code, const std::string &address, int retries_left);

// Lines other threads log at any moment: the SDK's (readings, status
// records and the loss of the link) and the MQTT output's.
bool is_stream_line(const std::string &line);

// Index of the first line after `after` that is not a stream line; npos if
// none. A reading may fall between any two lines of the main thread.
size_t next_own_line(const std::vector<std::string> &log, size_t after);

// The lines after the first "Received signal N, cleaning up..." in the log
// are a complete shutdown of a running link: the stream stopped and the
// session logged out (as stop_line and logout_line say), nothing after
// "Thermometry cleaned up" but the server cycle's own lines, and no reading
// once the stream was stopped.
::testing::AssertionResult shuts_down(const std::vector<std::string> &log, int signo,
                                      const std::string &stop_line = "NET_DVR_StopRemoteConfig succeeded",
                                      const std::string &logout_line = "NET_DVR_Logout succeeded");

// A signal that ends the program in order, for tests run once per signal.
struct SignalCase {
    const char *name;
    int signo;
};
inline std::string signal_case_name(const ::testing::TestParamInfo<SignalCase> &info)
{
    return info.param.name;
}

// The descriptor number in the program's " New client connected" line for
// the client at ip whose local port is client_port; -1 when none came in time.
int client_fd(Program &program, uint16_t client_port, Millis timeout = kLineTimeout,
              const std::string &ip = "127.0.0.1");

}  // namespace e2e

#endif  // THERMOMETRY_E2E_H
