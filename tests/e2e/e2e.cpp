#include "e2e.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>

namespace e2e {

Program::Program(const std::vector<std::string> &args, const std::optional<FileLimit> &open_files,
                 const std::vector<std::string> &env_changes, const std::vector<std::string> &wrapper)
    : path_(program_path())
{
    std::vector<std::string> argv{path_};
    argv.insert(argv.end(), args.begin(), args.end());
    // A test run under a service manager must not talk to it.
    std::vector<std::string> env{"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID",
                                 "LISTEN_PID",    "LISTEN_FDS",    "LISTEN_FDNAMES"};
    env.insert(env.end(), env_changes.begin(), env_changes.end());
    process_ = std::make_unique<Process>(argv, dir_.path(), open_files, env, Runs::on_target, wrapper);
}

ExitStatus Program::finish(Millis timeout)
{
    if (std::optional<ExitStatus> status = process_->wait_exit(timeout))
        return *status;
    ADD_FAILURE() << "the program still runs after " << timeout.count() << " ms; stdout so far:\n" << out();
    process_->send_signal(SIGKILL);
    return process_->wait_exit(kExitTimeout).value_or(ExitStatus::killed_by(SIGKILL));
}

static bool starts_with(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

static bool ends_with(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool is_console_mode_line(const std::string &line)
{
    return line == "Starting console mode" || line == "Press Ctrl+C to stop" || line == "Current temperature:" ||
           (starts_with(line, "Temperature: ") && ends_with(line, "\xC2\xB0"
                                                                  "C"));
}

std::function<bool(const std::string &)> server_mode_lines(uint16_t port)
{
    return [port](const std::string &line) {
        return line == "Starting TCP server on port " + std::to_string(port) ||
               line == "Temperature data will be sent to TCP clients";
    };
}

bool no_console_line(const std::string &)
{
    return false;
}

::testing::AssertionResult stdout_echoes_log(const std::string &out, const std::string &log,
                                             const std::function<bool(const std::string &)> &console_line)
{
    if (!out.empty() && out.back() != '\n')
        return ::testing::AssertionFailure() << "stdout ends in an unfinished line:\n" << out;
    const std::vector<std::string> log_lines = split_lines(log);
    size_t next = 0;
    std::string text;
    for (const std::string &line : split_lines(out)) {
        if (parse_log_line(line, &text)) {
            if (next >= log_lines.size() || log_lines[next] != line)
                return ::testing::AssertionFailure()
                       << "stdout line [" << line << "] is not log line " << next << " ["
                       << (next < log_lines.size() ? log_lines[next] : "<end of log>") << "]\nstdout:\n"
                       << out << "log:\n"
                       << log;
            ++next;
        } else if (!console_line(line)) {
            return ::testing::AssertionFailure() << "unexpected stdout line [" << line << "]\nstdout:\n" << out;
        }
    }
    if (next != log_lines.size())
        return ::testing::AssertionFailure() << "log line " << next << " [" << log_lines[next]
                                             << "] never reached stdout\nstdout:\n"
                                             << out << "log:\n"
                                             << log;
    return ::testing::AssertionSuccess();
}

std::vector<std::string> console_lines(const std::string &out)
{
    std::vector<std::string> lines;
    std::string text;
    for (const std::string &line : split_lines(out))
        if (!parse_log_line(line, &text))
            lines.push_back(line);
    return lines;
}

std::string parsed_url_line(const std::string &address)
{
    return "Parsed RTSP URL: IP=" + address + ", Port=8000, User=admin, Password=******";
}

std::string login_failed_line(int code, const std::string &address, int retries_left)
{
    return "Login attempt failed, error code: " + std::to_string(code) + ", IP: " + address +
           ", Port: 8000, User: admin, Retries left: " + std::to_string(retries_left);
}

bool is_stream_line(const std::string &line)
{
    return starts_with(line, "Updated temperature: ") || line == "Callback status: SUCCESS" ||
           starts_with(line, "NET_DVR_GET_MANUALTHERM_INFO failed, error code: ") || starts_with(line, "MQTT ");
}

size_t next_own_line(const std::vector<std::string> &log, size_t after)
{
    for (size_t i = after + 1; i < log.size(); ++i)
        if (!is_stream_line(log[i]))
            return i;
    return std::string::npos;
}

static bool is_server_cycle_line(const std::string &line)
{
    return starts_with(line, "\xF0\x9F\x93\xA4 Sent temperature to client FD=") ||
           starts_with(line, " New client connected: ") || starts_with(line, " Refused client ") ||
           starts_with(line, " Removed ") ||
           starts_with(line, " Client FD=") || starts_with(line, "\xE2\x9D\x8C Client FD=") ||
           starts_with(line, " Send buffer full for client FD=") || starts_with(line, " Send failed for client FD=");
}

static std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += "  " + line + "\n";
    return text;
}

::testing::AssertionResult starts_up(const std::vector<std::string> &log, const std::string &address, int channel)
{
    std::vector<std::string> link;
    for (const std::string &line : log)
        if (!is_stream_line(line))
            link.push_back(line);
    const std::vector<std::string> expected{
        parsed_url_line(address),
        parsed_url_line(address) + ", Channel=" + std::to_string(channel),
        "NET_DVR_Init succeeded",
        "Login succeeded, UserID: ",
        "NET_DVR_GET_REALTIME_THERMOMETRY is successful!",
        "Thermometry initialized successfully",
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        const bool login = i == 3;
        const bool ok = i < link.size() && (login ? starts_with(link[i], expected[i]) : link[i] == expected[i]);
        if (!ok)
            return ::testing::AssertionFailure() << "start-up line " << i << " should be [" << expected[i]
                                                 << (login ? "N" : "") << "]; log:\n"
                                                 << joined(log);
        if (login) {
            const std::string id = link[i].substr(expected[i].size());
            if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
                return ::testing::AssertionFailure() << "bad user id in [" << link[i] << "]";
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult shuts_down(const std::vector<std::string> &log, int signo, const std::string &stop_line,
                                      const std::string &logout_line)
{
    const std::string received = "Received signal " + std::to_string(signo) + ", cleaning up...";
    const size_t start = find_line(log, received);
    if (start == std::string::npos)
        return ::testing::AssertionFailure() << "no [" << received << "] in the log:\n" << joined(log);
    // In server mode the main thread goes on serving while the signal
    // thread shuts down, so its cycle's lines may come in between.
    std::vector<std::string> rest;
    for (size_t i = start + 1; i < log.size(); ++i)
        if (!is_stream_line(log[i]) && !is_server_cycle_line(log[i]))
            rest.push_back(log[i]);
    const std::vector<std::string> expected{stop_line, logout_line, "Thermometry cleaned up"};
    if (rest != expected)
        return ::testing::AssertionFailure() << "after [" << received << "] the log should go on with\n"
                                             << joined(expected) << "but it has\n"
                                             << joined(rest);
    const size_t stopped = find_line(log, stop_line, start);
    if (find_prefixed(log, "Updated temperature: ", stopped) != std::string::npos)
        return ::testing::AssertionFailure() << "a reading after the stream was stopped:\n" << joined(log);
    return ::testing::AssertionSuccess();
}

int client_fd(Program &program, uint16_t client_port, Millis timeout, const std::string &ip)
{
    const std::string prefix = " New client connected: IP=" + ip + ", Port=" + std::to_string(client_port) + ", FD=";
    const std::optional<Line> line = program.proc().wait_for_line(
        [&](const std::string &text) { return text.find("] " + prefix) != std::string::npos; }, timeout);
    if (!line)
        return -1;
    const std::string fd = line->text.substr(line->text.find(prefix) + prefix.size());
    if (fd.empty() || fd.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::atoi(fd.c_str());
}

}  // namespace e2e
