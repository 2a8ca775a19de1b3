// What happens to the log folder at local midnight while the program runs:
// the next day's file is opened (the damage done to the folder before shows
// then) and old files are swept. TZ puts that midnight a few seconds after
// start-up.
#include "e2e.h"

#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <ctime>

namespace e2e {
namespace {

// A POSIX TZ value whose local midnight falls on midnight (a time_t): the
// offset is midnight's time of day in UTC, so local time there is 00:00:00.
std::string zone_with_midnight_at(std::time_t midnight)
{
    const long offset_s = static_cast<long>(midnight % 86400);
    char zone[32];
    std::snprintf(zone, sizeof zone, "TST+%02ld:%02ld:%02ld", offset_s / 3600, offset_s / 60 % 60, offset_s % 60);
    return zone;
}

// The local date in that zone from midnight on, in the form format gives.
std::string date_after(std::time_t midnight, const char *format)
{
    std::tm utc{};
    gmtime_r(&midnight, &utc);
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, format, &utc));
}

// The program with its local midnight at midnight. The child takes TZ from
// this process's environment, which is set only for its start.
std::unique_ptr<Program> start_with_midnight_at(const CameraSim &sim, std::time_t midnight)
{
    const char *saved = getenv("TZ");
    const std::string saved_zone = saved ? saved : "";
    setenv("TZ", zone_with_midnight_at(midnight).c_str(), 1);
    auto program = std::make_unique<Program>(std::vector<std::string>{"-s", sim.url()});
    if (saved)
        setenv("TZ", saved_zone.c_str(), 1);
    else
        unsetenv("TZ");
    return program;
}

// Starts the program so that it is up and reading with at least two seconds
// left before its midnight; a slow build (an emulator) gets a longer lead.
std::unique_ptr<Program> start_before_midnight(const CameraSim &sim, std::time_t *midnight)
{
    for (std::time_t lead_s : {6, 12, 24, 48}) {
        *midnight = std::time(nullptr) + lead_s;
        std::unique_ptr<Program> program = start_with_midnight_at(sim, *midnight);
        if (program->wait_until_reading() && std::time(nullptr) + 2 < *midnight)
            return program;
    }
    return nullptr;
}

struct Damage {
    const char *name;
    const char *command;  // run in the working directory
    bool file_again;      // whether the next day's lines reach its file
};

class LogFolderDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(LogFolderDamage, LinesGoOnReachingStdoutAndWhereItCanTheNextDaysFile)
{
    CameraSim sim;
    std::time_t midnight = 0;
    std::unique_ptr<Program> program = start_before_midnight(sim, &midnight);
    ASSERT_TRUE(program) << "the program never came up in time";
    const std::string command = "cd '" + program->dir().path() + "' && " + GetParam().command;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_LT(std::time(nullptr), midnight) << "the damage came after midnight";

    const std::string stamp = "[" + date_after(midnight, "%Y-%m-%d") + " ";
    const Millis to_midnight = std::chrono::seconds(midnight - std::time(nullptr));
    ASSERT_TRUE(program->wait_for("\n" + stamp, to_midnight + kReadingTimeout, 3)) << program->out();
    ASSERT_TRUE(program->signal(SIGTERM));
    EXPECT_EQ(program->finish(kExitTimeout), ExitStatus::exit_code(0));

    // Standard output has the next day's lines, the shutdown's among them.
    std::string day_lines;
    std::vector<std::string> texts;
    for (const std::string &line : split_lines(program->out())) {
        std::string text;
        if (parse_log_line(line, &text))
            texts.push_back(text);
        if (line.compare(0, stamp.size(), stamp) == 0)
            day_lines += line + "\n";
    }
    EXPECT_TRUE(shuts_down(texts, SIGTERM));

    const std::string day_file = ".log/temp/temp_" + date_after(midnight, "%Y%m%d") + ".log";
    if (GetParam().file_again) {
        EXPECT_EQ(read_file(program->dir().file(day_file)), day_lines);
        EXPECT_EQ(program->err(), "");
    } else {
        EXPECT_FALSE(program->dir().exists(day_file));
        std::string expected;
        for (size_t lines = count_of(day_lines, "\n"); lines > 0; --lines)
            expected += "Failed to open log file " + day_file + "\n";
        EXPECT_EQ(program->err(), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, LogFolderDamage,
    ::testing::Values(Damage{"Removed", "rm -rf .log", true},
                      // Permission bits do not stop root; a file in the way stops everyone.
                      Damage{"ReplacedByAFile", "rm -rf .log/temp && touch .log/temp", false}),
    [](const ::testing::TestParamInfo<Damage> &info) { return info.param.name; });

// A day file that becomes older than seven days at midnight is removed then,
// by the running program.
TEST(LogSweep, FileOlderThanSevenDaysGoesAtMidnightWithoutARestart)
{
    CameraSim sim;
    std::time_t midnight = 0;
    std::unique_ptr<Program> program = start_before_midnight(sim, &midnight);
    ASSERT_TRUE(program) << "the program never came up in time";
    // Seven days before the coming day: six days and some hours old now.
    const std::string old_file = "temp_" + date_after(midnight - 7 * 86400, "%Y%m%d") + ".log";
    const std::string path = program->dir().file(".log/temp/" + old_file);
    ASSERT_EQ(std::system(("touch '" + path + "'").c_str()), 0);
    ASSERT_LT(std::time(nullptr), midnight) << "the file came after midnight";

    const Millis to_midnight = std::chrono::seconds(midnight - std::time(nullptr));
    EXPECT_TRUE(program->wait_for("] Cleaned up old log file: " + old_file + "\n", to_midnight + kReadingTimeout))
        << program->out();
    EXPECT_FALSE(program->dir().exists(".log/temp/" + old_file));
    ASSERT_TRUE(program->signal(SIGTERM));
    EXPECT_EQ(program->finish(kExitTimeout), ExitStatus::exit_code(0));
}

}  // namespace
}  // namespace e2e
