// Console mode's output: the latest reading on standard output once a
// cycle, and the service manager told of it. Main thread only.
#include "camera_link.h"
#include "reading_format.h"
#include "service_notify.h"
#include "shutdown.h"
#include "thermometry.h"

static constexpr const char *console_status = "Console mode";

void notify_console_ready()
{
    const auto work = lock_main_work();
    notify_ready(console_status);
}

void print_console_temperature()
{
    const auto work = lock_main_work();
    write_console_line(format_console_temperature(get_latest_temperature()));
    notify_cycle(console_status);
}
