#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace testsupport {

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> launcher_words()
{
    std::istringstream words(environment("THERMOMETRY_TEST_LAUNCHER"));
    std::vector<std::string> result;
    for (std::string word; words >> word;)
        result.push_back(word);
    return result;
}

static std::string required_environment(const char *name)
{
    std::string value = environment(name);
    if (value.empty())
        throw std::runtime_error(std::string(name) + " is not set (run the tests through ctest)");
    return value;
}

std::string program_path()
{
    return required_environment("THERMOMETRY_BIN");
}

std::string simulator_path()
{
    return required_environment("CAMERA_SIM_BIN");
}

bool ExitStatus::operator==(const ExitStatus &other) const
{
    return exited == other.exited && (exited ? code == other.code : signal == other.signal);
}

std::ostream &operator<<(std::ostream &out, const ExitStatus &status)
{
    if (status.exited)
        return out << "exit status " << status.code;
    return out << "killed by signal " << status.signal << " (" << strsignal(status.signal) << ")";
}

size_t count_of(const std::string &text, const std::string &needle)
{
    if (needle.empty())
        return 0;
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// execve does not search PATH, and the child must not do anything but
// async-signal-safe calls, so a bare launcher name is resolved here.
static std::string resolve_executable(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    std::istringstream path(environment("PATH"));
    for (std::string dir; std::getline(path, dir, ':');) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    throw std::runtime_error("cannot find " + name + " on PATH");
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
        read_end = fds[0];
        write_end = fds[1];
    }
    ~Pipe()
    {
        close_read();
        close_write();
    }
    void close_read()
    {
        if (read_end >= 0)
            close(read_end);
        read_end = -1;
    }
    void close_write()
    {
        if (write_end >= 0)
            close(write_end);
        write_end = -1;
    }
    int release_read()
    {
        const int fd = read_end;
        read_end = -1;
        return fd;
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
};

static void close_from(unsigned first, unsigned last, int fallback_limit)
{
    if (first > last)
        return;
    if (close_range(first, last, 0) == 0)
        return;
    for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(fallback_limit); ++fd)
        close(static_cast<int>(fd));
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] static void exec_child(const char *path, char *const *argv, char *const *envp, const char *cwd,
                                    pid_t parent, int out_fd, int err_fd, int report_fd, int fd_limit,
                                    const rlimit *open_files)
{
    // A test process that dies (a crash, ctest's timeout) takes its children
    // with it instead of leaving a simulator or a program running.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signo = 1; signo < NSIG; ++signo)
        sigaction(signo, &default_action, nullptr);  // ignored ones would survive exec

    int error = 0;
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
        error = errno;
    if (error == 0 && chdir(cwd) != 0)
        error = errno;
    if (error == 0 && open_files != nullptr && setrlimit(RLIMIT_NOFILE, open_files) != 0)
        error = errno;
    if (error == 0) {
        for (int fd = 0; fd <= 2; ++fd)
            fcntl(fd, F_SETFD, 0);
        // Nothing else goes to the child, even a descriptor someone opened
        // without close-on-exec.
        close_from(3, static_cast<unsigned>(report_fd) - 1, fd_limit);
        close_from(static_cast<unsigned>(report_fd) + 1, ~0U, fd_limit);
        execve(path, argv, envp);
        error = errno;
    }
    ssize_t ignored = write(report_fd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// This process's environment with changes: "NAME=value" sets, "NAME" removes.
static std::vector<std::string> changed_environment(const std::vector<std::string> &changes)
{
    auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> result;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string name = name_of(*entry);
        if (std::none_of(changes.begin(), changes.end(), [&](const std::string &c) { return name_of(c) == name; }))
            result.push_back(*entry);
    }
    for (const std::string &change : changes)
        if (change.find('=') != std::string::npos)
            result.push_back(change);
    return result;
}

Process::Process(const std::vector<std::string> &argv, const std::string &cwd,
                 const std::optional<FileLimit> &open_files, const std::vector<std::string> &env_changes,
                 Runs runs, const std::vector<std::string> &wrapper)
{
    if (argv.empty())
        throw std::invalid_argument("Process needs at least argv[0]");
    std::vector<std::string> words = wrapper;
    if (runs == Runs::on_target) {
        const std::vector<std::string> launcher = launcher_words();
        words.insert(words.end(), launcher.begin(), launcher.end());
    }
    words.insert(words.end(), argv.begin(), argv.end());
    const std::string path = resolve_executable(words.front());
    std::vector<char *> exec_argv;
    for (std::string &word : words)
        exec_argv.push_back(&word[0]);
    exec_argv.push_back(nullptr);
    std::vector<std::string> env = changed_environment(env_changes);
    std::vector<char *> exec_env;
    for (std::string &entry : env)
        exec_env.push_back(&entry[0]);
    exec_env.push_back(nullptr);

    rlimit limit{};
    const int fd_limit = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                             ? static_cast<int>(limit.rlim_cur)
                             : 65536;
    rlimit child_limit{};
    if (open_files) {
        child_limit.rlim_cur = open_files->soft;
        child_limit.rlim_max = open_files->hard;
    }

    Pipe out_pipe, err_pipe, report, wake;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid_ == 0)
        exec_child(path.c_str(), exec_argv.data(), exec_env.data(), cwd.c_str(), parent, out_pipe.write_end,
                   err_pipe.write_end, report.write_end, fd_limit, open_files ? &child_limit : nullptr);

    out_pipe.close_write();
    err_pipe.close_write();
    report.close_write();
    int child_error = 0;
    ssize_t got;
    do
        got = read(report.read_end, &child_error, sizeof child_error);
    while (got < 0 && errno == EINTR);
    if (got > 0) {
        reap(true);
        throw std::runtime_error("cannot start " + path + " in " + cwd + ": " + std::strerror(child_error));
    }

    const int out_fd = out_pipe.release_read();
    const int err_fd = err_pipe.release_read();
    // Both ends of the wake pipe stay open until the reader is joined, so
    // the destructor's write can never meet a closed pipe (and SIGPIPE).
    wake_read_fd_ = wake.release_read();
    wake_fd_ = wake.write_end;
    wake.write_end = -1;
    try {
        reader_ = std::thread(&Process::read_output, this, out_fd, err_fd, wake_read_fd_);
    } catch (...) {
        close(out_fd);
        close(err_fd);
        close(wake_read_fd_);
        close(wake_fd_);
        kill(pid_, SIGKILL);
        reap(true);
        throw;
    }
}

Process::~Process()
{
    if (!status_) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    const char stop = 0;
    ssize_t ignored = write(wake_fd_, &stop, 1);
    (void)ignored;
    reader_.join();
    close(wake_fd_);
    close(wake_read_fd_);
}

void Process::read_output(int out_fd, int err_fd, int wake_fd)
{
    pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    char buffer[4096];
    for (;;) {
        if (fds[0].fd < 0 && fds[1].fd < 0)
            break;
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[2].revents != 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            const Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> lock(mutex_);
            if (count <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                (i == 0 ? out_closed_ : err_closed_) = true;
            } else if (i == 1) {
                err_.append(buffer, static_cast<size_t>(count));
            } else {
                out_.append(buffer, static_cast<size_t>(count));
                for (size_t end = out_.find('\n', out_line_start_); end != std::string::npos;
                     end = out_.find('\n', out_line_start_)) {
                    out_lines_.push_back({now, out_.substr(out_line_start_, end - out_line_start_)});
                    out_line_start_ = end + 1;
                }
            }
            changed_.notify_all();
        }
    }
    for (int i = 0; i < 2; ++i)
        if (fds[i].fd >= 0)
            close(fds[i].fd);
    std::lock_guard<std::mutex> lock(mutex_);
    out_closed_ = err_closed_ = true;
    changed_.notify_all();
}

std::string Process::output(Stream stream) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stream == Stream::out ? out_ : err_;
}

std::vector<Line> Process::out_lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return out_lines_;
}

bool Process::wait_for(Stream stream, const std::function<bool(const std::string &)> &done, Millis timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::string &text = stream == Stream::out ? out_ : err_;
    const bool &closed = stream == Stream::out ? out_closed_ : err_closed_;
    changed_.wait_for(lock, timeout, [&] { return closed || done(text); });
    return done(text);
}

bool Process::wait_for_output(const std::string &text, Millis timeout, Stream stream, size_t count) const
{
    return wait_for(stream, [&](const std::string &captured) { return count_of(captured, text) >= count; }, timeout);
}

std::optional<Line> Process::wait_for_line(const std::function<bool(const std::string &)> &match,
                                           Millis timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Line> found;
    size_t checked = 0;
    auto look = [&] {
        for (; checked < out_lines_.size() && !found; ++checked)
            if (match(out_lines_[checked].text))
                found = out_lines_[checked];
        return found.has_value() || out_closed_;
    };
    changed_.wait_for(lock, timeout, look);
    look();
    return found;
}

bool Process::send_signal(int signo)
{
    return !status_ && kill(pid_, signo) == 0;
}

bool Process::reap(bool block)
{
    if (status_)
        return true;
    int raw = 0;
    pid_t got;
    do
        got = waitpid(pid_, &raw, block ? 0 : WNOHANG);
    while (got < 0 && errno == EINTR);
    if (got != pid_)
        return false;
    status_ = WIFEXITED(raw) ? ExitStatus::exit_code(WEXITSTATUS(raw)) : ExitStatus::killed_by(WTERMSIG(raw));
    return true;
}

bool Process::running()
{
    return !reap(false);
}

std::optional<ExitStatus> Process::wait_exit(Millis timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    // waitpid cannot wait with a time limit, so look at the child at short
    // intervals; captured output wakes the wait early.
    while (!reap(false)) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return std::nullopt;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::min<Clock::duration>(Millis(20), deadline - now));
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, std::max(deadline, Clock::now() + Millis(500)),
                        [&] { return out_closed_ && err_closed_; });
    return status_;
}

}  // namespace testsupport
