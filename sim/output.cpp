// camera-sim's stdout: the event lines and how addresses appear in them.
// Main thread only.
#include "output.h"

#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace sim {

__attribute__((format(printf, 1, 2))) void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    // Whoever started us and read our output is gone (crashed, most likely):
    // no one can stop us any more, so leave rather than linger as an orphan.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) std::_Exit(0);
}

std::string endpoint(const sockaddr_in &a) {
    char ip[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

}  // namespace sim
