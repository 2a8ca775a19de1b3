// The retention sweep over the log writer's folder. It runs on the main
// thread and keeps the time at which its next run is due.
#include "log_retention.h"

#include "log_writer.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

static constexpr std::time_t log_retention_s = 604800;  // seven days

// When the next day's file comes of age and the sweep is due again.
// Main thread only.
static std::time_t g_next_sweep_s = 0;

// The moment a day begins, as the files' dates count it: 00:00:00 local
// standard time.
static std::time_t day_start(std::tm date)
{
    date.tm_hour = 0;
    date.tm_min = 0;
    date.tm_sec = 0;
    date.tm_isdst = 0;
    return std::mktime(&date);
}

// The first moment after limit's sweep at which one more day's file is
// older than the limit: the start of the day after limit's day, plus the
// age limit and the second that makes it "older".
static std::time_t next_sweep_time(std::time_t limit)
{
    std::tm date{};
    if (localtime_r(&limit, &date) == nullptr)
        return limit + log_retention_s + 86400;
    std::tm day = date;
    if (day_start(day) > limit)  // in the summer-time hour after midnight
        --day.tm_mday;
    ++day.tm_mday;
    return day_start(day) + log_retention_s + 1;
}

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
    *day = day_start(broken);
    return true;
}

void cleanup_old_logs()
{
    const std::time_t limit = current_calendar_time() - log_retention_s;
    g_next_sweep_s = next_sweep_time(limit);
    DIR *dir = opendir(log_dir);
    if (dir == nullptr) {
        log_message(std::string("Failed to open log directory for cleanup: ") + log_dir);
        return;
    }
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

void sweep_old_logs_when_due()
{
    if (current_calendar_time() >= g_next_sweep_s)
        cleanup_old_logs();
}
