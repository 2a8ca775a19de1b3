#include "workdir.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir()
{
    std::string pattern = "/tmp/thermometry-e2e-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

bool TempDir::exists(const std::string &relative) const
{
    std::error_code ignored;
    return fs::exists(file(relative), ignored);
}

std::string todays_log_name()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    return std::string(".log/temp/temp_") + date + ".log";
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string read_logs(const std::string &dir)
{
    static const std::regex name(R"(temp_\d{8}\.log)");
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(dir + "/.log/temp", error), end; !error && it != end; it.increment(error))
        if (std::regex_match(it->path().filename().string(), name))
            files.push_back(it->path());
    std::sort(files.begin(), files.end());
    std::string content;
    for (const fs::path &file : files)
        content += read_file(file.string());
    return content;
}

bool parse_log_line(const std::string &line, std::string *text)
{
    static const std::regex stamped(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] (.*))");
    std::smatch match;
    if (!std::regex_match(line, match, stamped))
        return false;
    *text = match[1].str();
    return true;
}

std::vector<std::string> log_texts(const std::string &content)
{
    std::vector<std::string> texts;
    std::istringstream in(content);
    for (std::string line; std::getline(in, line);) {
        std::string text;
        texts.push_back(parse_log_line(line, &text) ? text : "<malformed: " + line + ">");
    }
    return texts;
}

size_t find_line(const std::vector<std::string> &lines, const std::string &text, size_t from)
{
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i] == text)
            return i;
    return std::string::npos;
}

size_t find_prefixed(const std::vector<std::string> &lines, const std::string &prefix, size_t from)
{
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].compare(0, prefix.size(), prefix) == 0)
            return i;
    return std::string::npos;
}

size_t count_prefixed(const std::vector<std::string> &lines, const std::string &prefix)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    }));
}

}  // namespace testsupport
