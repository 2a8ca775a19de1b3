// The retention sweep of old day files.
#include "log_retention.h"
#include "module_test.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <cstdio>

namespace unit {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

class LogRetentionTest : public LogFolderTest {
protected:
    static void touch(const std::string &name) { write_file(".log/temp/" + name, ""); }

    // The sweep's log lines; it logs into today's file, which it must keep.
    std::vector<std::string> sweep()
    {
        capture_output([] { cleanup_old_logs(); });
        return logged_texts();
    }
};

TEST_F(LogRetentionTest, KeepsExactlySevenDaysToTheSecond)
{
    touch("temp_20240608.log");
    use_clock(1718409600);  // 2024-06-15 00:00:00, 604800 s after the file's day began
    EXPECT_THAT(sweep(), IsEmpty());
    EXPECT_TRUE(path_exists(".log/temp/temp_20240608.log"));

    use_clock(1718409601);
    EXPECT_THAT(sweep(), ElementsAre("Cleaned up old log file: temp_20240608.log"));
    EXPECT_FALSE(path_exists(".log/temp/temp_20240608.log"));
}

TEST_F(LogRetentionTest, RemovesOnlyDayFilesOlderThanSevenDays)
{
    const std::vector<std::pair<std::string, bool>> files = {
        {"temp_20240615.log", true},  {"temp_20240612.log", true},      {"temp_20240609.log", true},
        {"temp_20240608.log", false}, {"temp_20240101.log", false},     {"temp_19991231.log", false},
        {"temp_20240616.log", true},  {"temp_20300101.log", true},      {"temp_abcdefgh.log", true},
        {"temp_20241301.log", true},  {"temp_20200101.txt", true},      {"temp_20200101.log.bak", true},
        {"xtemp_2020010.log", true},  {"notes.txt", true},
    };
    std::vector<std::string> removed;
    for (const auto &file : files) {
        touch(file.first);
        if (!file.second)
            removed.push_back("Cleaned up old log file: " + file.first);
    }
    EXPECT_THAT(sweep(), UnorderedElementsAreArray(removed));
    for (const auto &file : files)
        EXPECT_EQ(path_exists(".log/temp/" + file.first), file.second) << file.first;
}

TEST_F(LogRetentionTest, RunningProgramSweepsAgainOnceTheNextDaysFileIsOlderThanSevenDays)
{
    touch("temp_20240609.log");  // six days and 12:34:56 old at the usual noon
    EXPECT_THAT(sweep(), IsEmpty());
    const auto due_sweep = [this] {
        capture_output([] { sweep_old_logs_when_due(); });
        return logged_texts();
    };
    use_clock(1718496000);  // 2024-06-16 00:00:00: exactly seven days old
    EXPECT_THAT(due_sweep(), IsEmpty());
    use_clock(1718496001);
    EXPECT_THAT(due_sweep(), ElementsAre("Cleaned up old log file: temp_20240609.log"));
    touch("temp_20240609.log");  // not due again until the next day: no second line
    EXPECT_THAT(due_sweep(), ElementsAre("Cleaned up old log file: temp_20240609.log"));
    EXPECT_TRUE(path_exists(".log/temp/temp_20240609.log"));
}

TEST_F(LogRetentionTest, EntryThatCannotGoIsReportedAndTheRestStillGo)
{
    // Root may remove any file, but no one removes a non-empty directory.
    ASSERT_EQ(mkdir(".log/temp/temp_20200101.log", 0755), 0);
    touch("temp_20200101.log/inside");
    touch("temp_20200102.log");
    touch("temp_20200103.log");
    EXPECT_THAT(sweep(), UnorderedElementsAreArray(
                             {"Failed to clean up log file: temp_20200101.log - Directory not empty",
                              "Cleaned up old log file: temp_20200102.log", "Cleaned up old log file: temp_20200103.log"}));
    EXPECT_TRUE(path_exists(".log/temp/temp_20200101.log/inside"));
    EXPECT_FALSE(path_exists(".log/temp/temp_20200102.log"));
    EXPECT_FALSE(path_exists(".log/temp/temp_20200103.log"));
}

TEST_F(LogRetentionTest, MissingDirectoryIsReported)
{
    // With today's file already open, the report still reaches the console.
    capture_output([] { log_message("started"); });
    ASSERT_EQ(rename(".log/temp", ".log/moved"), 0);
    const Output output = capture_output([] { cleanup_old_logs(); });
    EXPECT_EQ(output.out, std::string(kNoonStamp) + "Failed to open log directory for cleanup: .log/temp\n");
    EXPECT_EQ(output.err, "");
}

}  // namespace
}  // namespace unit
