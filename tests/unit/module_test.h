// Common ground for the module's unit tests: each test runs in a fresh
// temporary working directory (the log writer writes below the working
// directory), in UTC, on the real clock unless it sets one, with the fake
// SDK reset and the camera link down.
#ifndef THERMOMETRY_TESTS_MODULE_TEST_H
#define THERMOMETRY_TESTS_MODULE_TEST_H

#include "fake_sdk.h"
#include "log_writer.h"
#include "thermometry.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace unit {

// A calendar clock that tests set by hand; install it with use_clock().
void use_clock(std::time_t now);

// 2024-06-15 12:34:56 UTC, the usual fixed time of these tests.
constexpr std::time_t kNoon = 1718454896;
constexpr const char *kNoonStamp = "[2024-06-15 12:34:56] ";
constexpr const char *kNoonLog = ".log/temp/temp_20240615.log";

std::string read_file(const std::string &path);  // "" when it cannot be read
void write_file(const std::string &path, const std::string &content);
bool path_exists(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);  // without the '\n'

// What a piece of code wrote to standard output and standard error.
struct Output {
    std::string out;
    std::string err;
};
Output capture_output(const std::function<void()> &code);

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The log lines of today's file (on the installed clock), text only,
    // with the "[time] " prefix removed.
    std::vector<std::string> logged_texts() const;

    std::string work_dir_;

private:
    std::string previous_dir_;
};

// A module test whose log folder exists from the start.
class LogFolderTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        ASSERT_TRUE(create_log_directory());
    }
};

}  // namespace unit

#endif  // THERMOMETRY_TESTS_MODULE_TEST_H
