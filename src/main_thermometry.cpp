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
               "  -m <mqtt_url>   : MQTT broker to publish readings to (optional)\n"
               "\n"
               "If -t is provided: runs as TCP server, sending temperature data to clients\n"
               "If -t is omitted: runs in console mode, printing temperature to stdout\n",
               stderr);
    std::fflush(stderr);
}

// Overwrites the password inside an -s or -m argument in argv's own memory,
// so that ps and /proc/PID/cmdline no longer show it.
static void scrub_password(char *argument, bool (*find)(const std::string &, size_t *, size_t *))
{
    size_t begin = 0;
    size_t length = 0;
    if (find(argument, &begin, &length))
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

// "-s @FILE", "-m @FILE": the URL is the file's first line. The file keeps
// the password off the command line, which every user of the machine can
// read. An empty first line is refused for the camera and stands for "no
// broker" for MQTT.
static bool read_url_argument(std::string *url, const char *what, bool empty_allowed, const char *program)
{
    const std::string path = url->substr(1);
    std::string reason;
    if (empty_allowed ? read_first_line(path, url, &reason) : read_url_file(path, url, &reason))
        return true;
    std::fprintf(stderr, "Failed to read the %s URL from %s: %s\n", what, path.c_str(), reason.c_str());
    print_usage_line(program);
    std::fflush(stderr);
    return false;
}

// An -m URL that is good to use; otherwise the problem and the usage line.
static bool check_mqtt_argument(const std::string &url, const char *program)
{
    const std::string problem = check_mqtt_url(url);
    if (problem.empty())
        return true;
    std::fprintf(stderr, "Invalid MQTT URL: %s\n", problem.c_str());
    print_usage_line(program);
    std::fflush(stderr);
    return false;
}

// Ends the program after a failure (already logged) once the camera link is
// up: a failure that a service manager must see. Returns main's status.
static int end_after_failure()
{
    claim_exit();
    stop_outputs();
    cleanup_thermometry();
    close_log();
    return -1;
}

int main(int argc, char *argv[])
{
    std::string url;
    int32_t channel = 2;
    int32_t port = -1;
    std::vector<char *> url_arguments;
    std::string mqtt_url;
    bool mqtt_given = false;
    std::vector<char *> mqtt_arguments;

    int option;
    while ((option = getopt(argc, argv, "s:c:t:m:")) != -1) {
        switch (option) {
        case 's':
            url = optarg;
            url_arguments.push_back(optarg);
            break;
        case 'm':
            mqtt_url = optarg;
            mqtt_given = true;
            mqtt_arguments.push_back(optarg);
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
        scrub_password(argument, find_url_password);
    for (char *argument : mqtt_arguments)
        scrub_password(argument, find_mqtt_password);

    if (url.empty()) {
        std::fputs("Missing required argument: -s <rtsp_url>\n", stderr);
        print_usage_line(argv[0]);
        std::fflush(stderr);
        return -1;
    }
    if (url[0] == '@' && !read_url_argument(&url, "camera", false, argv[0]))
        return -1;
    if (mqtt_given && !mqtt_url.empty() && mqtt_url[0] == '@' && !read_url_argument(&mqtt_url, "MQTT", true, argv[0]))
        return -1;
    if (!mqtt_url.empty() && !check_mqtt_argument(mqtt_url, argv[0]))
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

    if (mqtt_given && !start_mqtt_output(mqtt_url, channel))
        return end_after_failure();

    if (port < 1)
        run_console_mode();

    write_console_line("Starting TCP server on port " + std::to_string(port));
    write_console_line("Temperature data will be sent to TCP clients");
    start_tcp_server(port);
    // The server returns only when it could not be set up.
    return end_after_failure();
}
