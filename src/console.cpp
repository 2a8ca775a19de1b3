// Console mode: the latest reading on standard output once a second, the
// service manager told of it, the logs swept each day. Main thread only.
#include "camera_link.h"
#include "cycle_clock.h"
#include "log_retention.h"
#include "log_writer.h"
#include "reading_format.h"
#include "service_notify.h"
#include "shutdown.h"
#include "socket_activation.h"
#include "thermometry.h"

static constexpr const char *console_status = "Console mode";

// Writes the console line of the latest temperature, unless a signal's
// shutdown has begun (it then waits for the end of the process).
static void print_console_temperature()
{
    const auto work = lock_main_work();
    write_console_line(format_console_temperature(get_latest_temperature()));
    notify_cycle(console_status);
}

void run_console_mode()
{
    write_console_line("Starting console mode");
    write_console_line("Press Ctrl+C to stop");
    write_console_line("Current temperature:");
    const size_t passed = service_manager_sockets().fds.size();
    if (passed > 0)
        log_message("Console mode serves no TCP clients: the " + std::to_string(passed) +
                    " listening sockets passed by the service manager stay unused");
    {
        const auto work = lock_main_work();
        notify_ready(console_status);
    }
    cycle_clock clock;
    for (;;) {
        print_console_temperature();
        sweep_old_logs_when_due();
        clock.wait_for_next_cycle();
    }
}
