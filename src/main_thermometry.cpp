// The program's entry: the command line, the choice of mode and the exit
// status. Main thread.
#include "thermometry.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static void print_usage_line(const char *program)
{
    std::fprintf(stderr, "Usage: %s -s <rtsp_url> [-c <channel>] [-t <tcp_port>]\n", program);
}

static void print_usage(const char *program)
{
    print_usage_line(program);
    std::fputs("  -s <rtsp_url>   : RTSP URL (required)\n"
               "  -c <channel>    : Channel number (default: 2)\n"
               "  -t <tcp_port>   : TCP port for server mode (optional)\n"
               "\n"
               "If -t is provided: runs as TCP server, sending temperature data to clients\n"
               "If -t is omitted: runs in console mode, printing temperature to stdout\n",
               stderr);
    std::fflush(stderr);
}

// Overwrites the password inside an -s argument in argv's own memory, so
// that ps and /proc/PID/cmdline no longer show it.
static void scrub_password(char *argument)
{
    size_t begin = 0;
    size_t length = 0;
    if (find_url_password(argument, &begin, &length))
        std::memset(argument + begin, '*', length);
}

static bool read_int_option(char option, const char *text, int32_t *value, const char *program)
{
    if (parse_int_option(text, value))
        return true;
    std::fprintf(stderr, "Invalid value for -%c: %s\n", option, text);
    print_usage_line(program);
    std::fflush(stderr);
    return false;
}

// "-s @FILE": the URL is the file's first line. The file keeps the password
// off the command line, which every user of the machine can read.
static bool read_url_argument(std::string *url, const char *program)
{
    const std::string path = url->substr(1);
    std::string reason;
    if (read_url_file(path, url, &reason))
        return true;
    std::fprintf(stderr, "Failed to read the camera URL from %s: %s\n", path.c_str(), reason.c_str());
    print_usage_line(program);
    std::fflush(stderr);
    return false;
}

int main(int argc, char *argv[])
{
    std::string url;
    int32_t channel = 2;
    int32_t port = -1;
    std::vector<char *> url_arguments;

    int option;
    while ((option = getopt(argc, argv, "s:c:t:")) != -1) {
        switch (option) {
        case 's':
            url = optarg;
            url_arguments.push_back(optarg);
            break;
        case 'c':
            if (!read_int_option('c', optarg, &channel, argv[0]))
                return -1;
            break;
        case 't':
            if (!read_int_option('t', optarg, &port, argv[0]))
                return -1;
            break;
        default:
            print_usage(argv[0]);
            return -1;
        }
    }
    for (char *argument : url_arguments)
        scrub_password(argument);

    if (url.empty()) {
        std::fputs("Missing required argument: -s <rtsp_url>\n", stderr);
        print_usage_line(argv[0]);
        std::fflush(stderr);
        return -1;
    }
    if (url[0] == '@' && !read_url_argument(&url, argv[0]))
        return -1;

    take_passed_sockets();
    if (!install_signal_handler())
        return -1;

    if (init_thermometry(url, channel) != 0) {
        claim_exit();
        std::fputs("Failed to initialize thermometry\n", stderr);
        std::fflush(stderr);
        return -1;
    }

    if (port < 1)
        run_console_mode();

    write_console_line("Starting TCP server on port " + std::to_string(port));
    write_console_line("Temperature data will be sent to TCP clients");
    start_tcp_server(port);
    // The server returns only when it could not be set up: a failure that a
    // service manager must see.
    claim_exit();
    cleanup_thermometry();
    close_log();
    return -1;
}
