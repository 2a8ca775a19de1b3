// The daily log writer. It owns the open day file, its path and the state of
// a failing write, all guarded by g_log_mutex, and every write to standard
// output. Called from every thread of the process.
#include "log_writer.h"

#include "immortal.h"
#include "thermometry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

static constexpr const char *log_root_dir = ".log";

// and every write to standard output, so that lines from the main, callback
// and signal threads never interleave or split.
static std::mutex &g_log_mutex = make_immortal<std::mutex>();
static int g_log_fd = -1;
static std::string &current_log_file = make_immortal<std::string>();
static bool g_log_write_failing = false;  // the last line did not reach the file
static bool g_log_line_cut = false;       // the file ends in a piece of a line
static bool g_output_closed = false;

static std::atomic<std::time_t (*)()> g_time_source{nullptr};

void set_time_source(std::time_t (*source)())
{
    g_time_source.store(source);
}

std::time_t current_calendar_time()
{
    std::time_t (*source)() = g_time_source.load();
    return source ? source() : std::time(nullptr);
}

static std::string format_local_time(const char *format)
{
    std::time_t now = current_calendar_time();
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        local = std::tm{};
    char text[32];
    size_t length = std::strftime(text, sizeof text, format, &local);
    return std::string(text, length);
}

std::string get_current_date()
{
    return format_local_time("%Y%m%d");
}

std::string get_current_time()
{
    return format_local_time("%Y-%m-%d %H:%M:%S");
}

static bool make_log_dir(const char *path)
{
    if (mkdir(path, 0755) == 0 || errno == EEXIST)
        return true;
    int error = errno;
    std::fprintf(stderr, "Failed to create log directory %s: %s\n", path, std::strerror(error));
    std::fflush(stderr);
    return false;
}

bool create_log_directory()
{
    return make_log_dir(log_root_dir) && make_log_dir(log_dir);
}

static void write_stdout_locked(const std::string &bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

static void write_stderr_locked(const std::string &line)
{
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

static void close_log_file_locked()
{
    if (g_log_fd >= 0)
        close(g_log_fd);  // a failed close changes nothing for us
    g_log_fd = -1;
    g_log_line_cut = false;
}

static int open_log_file(const std::string &path)
{
    // Append mode: each write goes to the end, whoever else appends.
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

// Opens the day's file when the date changed or the last open failed. A log
// folder removed while the program runs is created again. Returns whether a
// file is open. Called with g_log_mutex held.
static bool prepare_log_file_locked(const std::string &path)
{
    if (path != current_log_file) {
        close_log_file_locked();  // a write failure goes on until a line is written
        current_log_file = path;
    }
    if (g_log_fd < 0) {
        g_log_fd = open_log_file(current_log_file);
        if (g_log_fd < 0 && errno == ENOENT && create_log_directory())
            g_log_fd = open_log_file(current_log_file);
    }
    return g_log_fd >= 0;
}

// Writes bytes to the day's file with as many write(2) calls as it takes.
// Returns 0 or the error that stopped it; *written tells how far it got.
static int write_log_file_locked(const std::string &bytes, size_t *written)
{
    *written = 0;
    while (*written < bytes.size()) {
        const ssize_t count = write(g_log_fd, bytes.data() + *written, bytes.size() - *written);
        if (count > 0)
            *written += static_cast<size_t>(count);
        else if (count < 0 && errno != EINTR)
            return errno;
        else if (count == 0)
            return EIO;  // a regular file that takes nothing: no progress to wait for
    }
    return 0;
}

// Appends line to the day's file, whole or not at all. A failure (a full
// disk, a file size limit, an I/O error) is reported on standard error when
// it starts and again when writing works again, not for every line: the
// lines still reach standard output meanwhile.
static void append_log_line_locked(const std::string &line)
{
    const std::string bytes = g_log_line_cut ? "\n" + line : line;
    size_t written = 0;
    const int error = write_log_file_locked(bytes, &written);
    if (error == 0) {
        g_log_line_cut = false;
        if (g_log_write_failing)
            write_stderr_locked("Writing log file " + current_log_file + " works again\n");
        g_log_write_failing = false;
        return;
    }
    if (written > 0) {
        // The disk filled up in the middle of the line: take the piece back
        // out, or at least start the next line on a line of its own.
        const off_t end = lseek(g_log_fd, 0, SEEK_CUR);
        if (end < static_cast<off_t>(written) || ftruncate(g_log_fd, end - static_cast<off_t>(written)) != 0)
            g_log_line_cut = true;
    }
    if (!g_log_write_failing)
        write_stderr_locked("Failed to write log file " + current_log_file + ": " + std::strerror(error) +
                            " (lines go to standard output only until writing works again)\n");
    g_log_write_failing = true;
}

void log_message(const std::string &text)
{
    const std::string path = std::string(log_dir) + "/temp_" + get_current_date() + ".log";
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (g_output_closed)
        return;
    const bool file_open = prepare_log_file_locked(path);
    if (!file_open)
        write_stderr_locked("Failed to open log file " + current_log_file + "\n");
    std::string line;
    line.reserve(text.size() + 24);
    line += '[';
    line += get_current_time();
    line += "] ";
    line += text;
    line += '\n';
    if (file_open)
        append_log_line_locked(line);
    write_stdout_locked(line);
}

void write_console_line(const std::string &line)
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (!g_output_closed)
        write_stdout_locked(line + "\n");
}

void close_log()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    close_log_file_locked();
    g_output_closed = true;
    std::fflush(stdout);
}

void reset_log_writer()
{
    std::lock_guard<std::mutex> lock(g_log_mutex);
    close_log_file_locked();
    current_log_file.clear();
    g_log_write_failing = false;
    g_output_closed = false;
}
