// The log writer (line format, day files, failures, concurrency) and the
// console lines.
#include "module_test.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <regex>
#include <thread>

namespace unit {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

using LogWriterTest = LogFolderTest;

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

// A damaged log folder: the line still reaches standard output, and reaches
// the day's file too when the folder could be created again.
struct FolderCase {
    const char *name;
    std::function<void()> damage;
    const char *err;  // what standard error says for the line
    bool in_file;
};

void PrintTo(const FolderCase &folder, std::ostream *out)
{
    *out << folder.name;
}

class LogFolderTest : public LogWriterTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(LogFolderTest, LineReachesStdoutAndTheFileOnceThereIsAFolder)
{
    GetParam().damage();
    const std::string line = std::string(kNoonStamp) + "damaged\n";
    Output output = capture_output([] { log_message("damaged"); });
    EXPECT_EQ(output.err, GetParam().err);
    EXPECT_EQ(output.out, line);
    EXPECT_EQ(read_file(kNoonLog), GetParam().in_file ? line : "");

    // Once the folder is usable again, lines go to the file again.
    std::remove(".log/temp");
    std::remove(".log");
    ASSERT_TRUE(create_log_directory());
    output = capture_output([] { log_message("back"); });
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(read_file(kNoonLog), (GetParam().in_file ? line : "") + kNoonStamp + "back\n");
}

INSTANTIATE_TEST_SUITE_P(
    Damage, LogFolderTest,
    ::testing::Values(FolderCase{"TempRemoved", [] { ASSERT_EQ(rmdir(".log/temp"), 0); }, "", true},
                      // Permission bits do not stop root; a file in the way stops everyone.
                      FolderCase{"TempIsAFile",
                                 [] {
                                     ASSERT_EQ(rmdir(".log/temp"), 0);
                                     write_file(".log/temp", "");
                                 },
                                 "Failed to open log file .log/temp/temp_20240615.log\n", false},
                      FolderCase{"RootIsADanglingLink",
                                 [] {
                                     ASSERT_EQ(rmdir(".log/temp"), 0);
                                     ASSERT_EQ(rmdir(".log"), 0);
                                     ASSERT_EQ(symlink("nowhere", ".log"), 0);
                                 },
                                 "Failed to create log directory .log/temp: No such file or directory\n"
                                 "Failed to open log file .log/temp/temp_20240615.log\n",
                                 false}),
    [](const ::testing::TestParamInfo<FolderCase> &info) { return info.param.name; });

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

// ---- failed writes ---------------------------------------------------------

std::string write_failed(const std::string &file, const std::string &reason)
{
    return "Failed to write log file " + file + ": " + reason +
           " (lines go to standard output only until writing works again)\n";
}

std::string works_again(const std::string &file)
{
    return "Writing log file " + file + " works again\n";
}

TEST_F(LogWriterTest, FullDiskIsReportedWhenItStartsAndWhenItEnds)
{
    ASSERT_EQ(symlink("/dev/full", kNoonLog), 0);
    Output output = capture_output([] {
        log_message("one");
        log_message("two");
    });
    EXPECT_EQ(output.err, write_failed(kNoonLog, "No space left on device"));
    EXPECT_EQ(output.out, std::string(kNoonStamp) + "one\n" + kNoonStamp + "two\n");

    use_clock(kNoon + 86400);  // the next day's file takes lines again
    output = capture_output([] {
        log_message("three");
        log_message("four");
    });
    EXPECT_EQ(output.err, works_again(".log/temp/temp_20240616.log"));
    EXPECT_EQ(read_file(".log/temp/temp_20240616.log"), "[2024-06-16 12:34:56] three\n[2024-06-16 12:34:56] four\n");
}

// A file size limit cuts a line short as a disk that fills up does, and
// unlike a full disk it can be lifted while the file stays open.
TEST_F(LogWriterTest, LineCutShortIsTakenBackOutAndTheRecoveryReported)
{
    std::string earlier;
    while (earlier.size() < 65536)  // far more than the captured output
        earlier += "[2024-06-15 08:00:00] from an earlier run\n";
    write_file(kNoonLog, earlier);
    struct rlimit saved_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    struct sigaction ignore {}, saved_action {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &saved_action), 0);
    struct rlimit limit = saved_limit;
    limit.rlim_cur = earlier.size() + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    Output output = capture_output([] {
        log_message("cut short");
        log_message("not written");
    });
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    sigaction(SIGXFSZ, &saved_action, nullptr);
    EXPECT_EQ(output.err, write_failed(kNoonLog, "File too large"));
    EXPECT_EQ(output.out, std::string(kNoonStamp) + "cut short\n" + kNoonStamp + "not written\n");
    EXPECT_EQ(read_file(kNoonLog), earlier);

    output = capture_output([] {
        log_message("back");
        log_message("more");
    });
    EXPECT_EQ(output.err, works_again(kNoonLog));
    EXPECT_EQ(read_file(kNoonLog), earlier + kNoonStamp + "back\n" + kNoonStamp + "more\n");
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

}  // namespace
}  // namespace unit
