// The log writer (line format, day files, failures, concurrency), the
// console lines and the retention sweep of old day files.
#include "module_test.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <map>
#include <regex>
#include <thread>

namespace unit {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

class LogWriterTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        ASSERT_TRUE(create_log_directory());
    }
};

class LogLineTest : public LogWriterTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(LogLineTest, WritesOneStampedLineToFileAndStdout)
{
    const Output output = capture_output([] { log_message(GetParam()); });
    const std::string line = std::string(kNoonStamp) + GetParam() + "\n";
    EXPECT_EQ(read_file(kNoonLog), line);
    EXPECT_EQ(output.out, line);
    EXPECT_EQ(output.err, "");
}

// Embedded newlines are written as they are, under the one time stamp.
INSTANTIATE_TEST_SUITE_P(Texts, LogLineTest, ::testing::Values("Thermometry cleaned up", "", "first\nsecond\n"));

TEST_F(LogWriterTest, AppendsToTheFileOfAnEarlierRun)
{
    const std::string earlier = "[2024-06-15 08:00:00] from an earlier run\n";
    write_file(kNoonLog, earlier);
    capture_output([] { log_message("again"); });
    EXPECT_EQ(read_file(kNoonLog), earlier + kNoonStamp + "again\n");
}

TEST_F(LogWriterTest, MidnightStartsTheNextDaysFile)
{
    capture_output([] {
        use_clock(1718495999);  // 2024-06-15 23:59:59
        log_message("before");
        use_clock(1718496000);
        log_message("after");
    });
    EXPECT_EQ(read_file(".log/temp/temp_20240615.log"), "[2024-06-15 23:59:59] before\n");
    EXPECT_EQ(read_file(".log/temp/temp_20240616.log"), "[2024-06-16 00:00:00] after\n");
}

TEST_F(LogWriterTest, MissingDirectoryDropsTheLineUntilItIsBack)
{
    ASSERT_EQ(rmdir(".log/temp"), 0);
    Output output = capture_output([] { log_message("lost"); });
    EXPECT_EQ(output.err, "Failed to open log file .log/temp/temp_20240615.log\n");
    EXPECT_EQ(output.out, "");
    EXPECT_FALSE(path_exists(kNoonLog));

    ASSERT_EQ(mkdir(".log/temp", 0755), 0);
    output = capture_output([] { log_message("back"); });
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(output.out, std::string(kNoonStamp) + "back\n");
    EXPECT_EQ(read_file(kNoonLog), std::string(kNoonStamp) + "back\n");
}

TEST_F(LogWriterTest, DeletedDayFileIsNotRecreated)
{
    capture_output([] { log_message("one"); });
    const int reader = open(kNoonLog, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(unlink(kNoonLog), 0);
    capture_output([] { log_message("two"); });
    EXPECT_FALSE(path_exists(kNoonLog));

    // The line went to the file the writer still holds open.
    char buffer[256];
    const ssize_t count = pread(reader, buffer, sizeof buffer, 0);
    close(reader);
    EXPECT_EQ(std::string(buffer, count > 0 ? count : 0),
              std::string(kNoonStamp) + "one\n" + kNoonStamp + "two\n");
}

TEST_F(LogWriterTest, ConcurrentLinesStayWholeAndInTheSameOrderEverywhere)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    const Output output = capture_output([] {
        std::vector<std::thread> writers;
        for (int t = 0; t < kThreads; ++t)
            writers.emplace_back([t] {
                for (int n = 0; n < kLines; ++n)
                    log_message("writer " + std::to_string(t) + " line " + std::to_string(n) + " " +
                                std::string(100, char('a' + t)));
            });
        for (std::thread &writer : writers)
            writer.join();
    });

    const std::string file = read_file(kNoonLog);
    EXPECT_EQ(output.out, file);
    const std::vector<std::string> lines = split_lines(file);
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    const std::regex shape(R"(\[2024-06-15 12:34:56\] writer ([0-7]) line (\d+) ([a-h])\3{99})");
    std::map<int, int> next;  // each writer's lines must come in its own order
    for (const std::string &line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        const int writer = std::stoi(match[1]);
        ASSERT_EQ(match[3].str()[0], char('a' + writer)) << line;
        ASSERT_EQ(std::stoi(match[2]), next[writer]++) << line;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next[t], kLines) << "writer " << t;
}

TEST_F(LogWriterTest, ConsoleLinesGoToStdoutOnly)
{
    const Output output = capture_output([] { write_console_line("Temperature: 36.5\xC2\xB0""C"); });
    EXPECT_EQ(output.out, "Temperature: 36.5\xC2\xB0""C\n");
    EXPECT_FALSE(path_exists(kNoonLog));
}

TEST_F(LogWriterTest, NothingIsWrittenAfterClose)
{
    const Output output = capture_output([] {
        log_message("open");
        close_log();
        log_message("closed");
        write_console_line("closed");
    });
    const std::string line = std::string(kNoonStamp) + "open\n";
    EXPECT_EQ(output.out, line);
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(read_file(kNoonLog), line);
}

// ---- create_log_directory --------------------------------------------------

class LogDirectoryTest : public ModuleTest {};

TEST_F(LogDirectoryTest, CreatesBothLevelsAndAcceptsThemExisting)
{
    const mode_t saved_umask = umask(0);
    const bool created = create_log_directory();
    umask(saved_umask);
    EXPECT_TRUE(created);
    for (const char *dir : {".log", ".log/temp"}) {
        struct stat info;
        ASSERT_EQ(stat(dir, &info), 0) << dir;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << dir;
        EXPECT_EQ(info.st_mode & 07777, 0755u) << dir;
    }
    const Output output = capture_output([] { EXPECT_TRUE(create_log_directory()); });
    EXPECT_EQ(output.err, "");
}

TEST_F(LogDirectoryTest, RegularFileInTheWayFails)
{
    write_file(".log", "not a directory");
    bool created = true;
    const Output output = capture_output([&] { created = create_log_directory(); });
    EXPECT_FALSE(created);
    EXPECT_EQ(output.err, "Failed to create log directory .log/temp: Not a directory\n");
    EXPECT_EQ(output.out, "");
}

// ---- console and client formats --------------------------------------------

TEST(ReadingFormatTest, ConsoleUsesStreamDefaultNotation)
{
    EXPECT_EQ(format_console_temperature(36.5f), "Temperature: 36.5\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(36.6f), "Temperature: 36.6\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(0.0f), "Temperature: 0\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(-5.25f), "Temperature: -5.25\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(1e6f), "Temperature: 1e+06\xC2\xB0""C");
}

TEST(ReadingFormatTest, ClientLineIsFixedNotationOrNull)
{
    EXPECT_EQ(format_temperature_line(36.5f), "{\"tmp\":36.500000}\n");
    EXPECT_EQ(format_temperature_line(-5.25f), "{\"tmp\":-5.250000}\n");
    EXPECT_EQ(format_temperature_line(std::numeric_limits<float>::quiet_NaN()), "{\"tmp\":null}\n");
    EXPECT_EQ(format_temperature_line(INFINITY), "{\"tmp\":null}\n");
    EXPECT_EQ(format_temperature_line(-INFINITY), "{\"tmp\":null}\n");
}

// ---- cleanup_old_logs ------------------------------------------------------

class LogRetentionTest : public LogWriterTest {
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
