// The descriptor budget of the TCP server. No state of its own: the limit is
// the kernel's. Main thread.
#include "descriptor_budget.h"

#include "log_writer.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

static constexpr long descriptor_reserve = 64;

descriptor_budget current_descriptor_budget()
{
    rlimit limit{};
    long soft = INT_MAX;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(INT_MAX))
        soft = static_cast<long>(limit.rlim_cur);
    // Half the limit when it is small, so that some clients can still come.
    return {soft, std::min(descriptor_reserve, soft / 2)};
}

// Lets the server have as many clients as the hard limit allows; nothing in
// the process uses select(), so descriptors past 1023 are fine.
void raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        const int error = errno;
        log_message("Failed to read the open file limit: " + std::string(std::strerror(error)));
        return;
    }
    if (limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t soft = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        const int error = errno;
        log_message("Failed to raise the open file limit from " + std::to_string(soft) + " to " +
                    std::to_string(limit.rlim_max) + ": " + std::strerror(error));
    }
}
