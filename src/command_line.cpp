// The readers of command-line values: integer options and the first line of
// a URL file. Pure but for reading the file; any thread.
#include "thermometry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

bool parse_int_option(const char *text, int32_t *value)
{
    if (text == nullptr)
        return false;
    errno = 0;
    char *end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
        return false;
    *value = static_cast<int32_t>(number);
    return true;
}

// Files named by "-s @FILE" and "-m @FILE" hold at most this many bytes.
static constexpr size_t max_url_file_size = 4096;

bool read_first_line(const std::string &path, std::string *line, std::string *reason)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    // One byte more than allowed tells a file that is too large.
    std::string content;
    char buffer[max_url_file_size + 1];
    int error = 0;
    while (content.size() <= max_url_file_size) {
        const ssize_t count = read(fd, buffer, sizeof buffer - content.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            error = errno;
        if (count <= 0)
            break;
        content.append(buffer, static_cast<size_t>(count));
    }
    close(fd);
    if (error != 0) {
        *reason = std::strerror(error);
        return false;
    }
    if (content.size() > max_url_file_size) {
        *reason = "the file is larger than " + std::to_string(max_url_file_size) + " bytes";
        return false;
    }
    *line = content.substr(0, content.find('\n'));
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

bool read_url_file(const std::string &path, std::string *url, std::string *reason)
{
    std::string line;
    if (!read_first_line(path, &line, reason))
        return false;
    if (line.empty()) {
        *reason = "the first line is empty";
        return false;
    }
    *url = line;
    return true;
}
