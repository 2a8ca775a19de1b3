#include "module_test.h"

#include <ftw.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace unit {
namespace {

std::atomic<std::time_t> g_now{0};

std::time_t fixed_clock()
{
    return g_now.load();
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    std::remove(path);
    return 0;
}

}  // namespace

void use_clock(std::time_t now)
{
    g_now.store(now);
    set_time_source(fixed_clock);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

bool path_exists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

Output capture_output(const std::function<void()> &code)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    code();
    Output output;
    output.err = testing::internal::GetCapturedStderr();
    output.out = testing::internal::GetCapturedStdout();
    return output;
}

void ModuleTest::SetUp()
{
    setenv("TZ", "UTC", 1);
    tzset();
    use_clock(kNoon);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previous_dir_ = cwd;
    std::string pattern = testing::TempDir() + "thermometry-unit-XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    work_dir_ = pattern;
    ASSERT_EQ(chdir(work_dir_.c_str()), 0);
    reset_log_writer();
    fake_sdk::reset();
}

void ModuleTest::TearDown()
{
    // Leave the link down and the log file closed for the next test, even
    // when this one failed half-way.
    capture_output([] { cleanup_thermometry(); });
    reset_log_writer();
    set_time_source(nullptr);
    if (!previous_dir_.empty()) {
        EXPECT_EQ(chdir(previous_dir_.c_str()), 0);
    }
    if (!work_dir_.empty())
        nftw(work_dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> ModuleTest::logged_texts() const
{
    std::vector<std::string> texts;
    for (const std::string &line : split_lines(read_file(".log/temp/temp_" + get_current_date() + ".log"))) {
        const size_t end = line.find("] ");
        texts.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return texts;
}

}  // namespace unit
