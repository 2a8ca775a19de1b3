// A fresh working directory per test run of the program, and readers for the
// daily log files the program writes below it.
#ifndef THERMOMETRY_TESTS_WORKDIR_H
#define THERMOMETRY_TESTS_WORKDIR_H

#include <string>
#include <vector>

namespace testsupport {

// mkdtemp under /tmp; removed with everything in it when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &relative) const { return path_ + "/" + relative; }
    bool exists(const std::string &relative) const;

private:
    std::string path_;
};

// ".log/temp/temp_YYYYMMDD.log" for today's local date.
std::string todays_log_name();

// The contents of every temp_*.log below dir/.log/temp, oldest first, so a
// run that crosses midnight is read whole; "" when there is none.
std::string read_logs(const std::string &dir);

// A log line is "[YYYY-MM-DD HH:MM:SS] text". Returns whether line has that
// form, and its text.
bool parse_log_line(const std::string &line, std::string *text);

// The texts of the log lines in content, in order; lines of any other form
// come back as "<malformed: LINE>" so a comparison shows them.
std::vector<std::string> log_texts(const std::string &content);

// Index of the first element equal to text at or after from; npos if none.
size_t find_line(const std::vector<std::string> &lines, const std::string &text, size_t from = 0);
// The same for elements that start with prefix.
size_t find_prefixed(const std::vector<std::string> &lines, const std::string &prefix, size_t from = 0);
size_t count_prefixed(const std::vector<std::string> &lines, const std::string &prefix);

std::string read_file(const std::string &path);

}  // namespace testsupport

#endif  // THERMOMETRY_TESTS_WORKDIR_H
