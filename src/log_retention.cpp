// The retention sweep over the log writer's folder. It runs on the main
// thread and keeps the local date of its last run.
#include "log_retention.h"

#include "log_writer.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

static constexpr std::time_t log_retention_s = 604800;  // seven days

// The local date ("%Y%m%d") of the last sweep. Main thread only.
static std::string g_swept_date;

// True for the names the log writer gives its files, "temp_YYYYMMDD.log";
// *day receives the file's date at 00:00:00 local standard time.
static bool read_log_file_date(const std::string &name, std::time_t *day)
{
    if (name.size() != 17 || name.compare(0, 5, "temp_") != 0 || name.compare(13, 4, ".log") != 0)
        return false;
    const std::string date = name.substr(5, 8);
    std::tm broken{};
    if (strptime(date.c_str(), "%Y%m%d", &broken) == nullptr)
        return false;
    broken.tm_isdst = 0;
    *day = std::mktime(&broken);
    return true;
}

void cleanup_old_logs()
{
    g_swept_date = get_current_date();
    DIR *dir = opendir(log_dir);
    if (dir == nullptr) {
        log_message(std::string("Failed to open log directory for cleanup: ") + log_dir);
        return;
    }
    const std::time_t limit = current_calendar_time() - log_retention_s;
    while (struct dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        std::time_t day = 0;
        if (!read_log_file_date(name, &day) || !(day < limit))
            continue;
        const std::string path = std::string(log_dir) + "/" + name;
        if (std::remove(path.c_str()) == 0) {
            log_message("Cleaned up old log file: " + name);
        } else {
            int error = errno;
            log_message("Failed to clean up log file: " + name + " - " + std::strerror(error));
        }
    }
    closedir(dir);
}

void sweep_logs_at_day_change()
{
    if (get_current_date() != g_swept_date)
        cleanup_old_logs();
}
