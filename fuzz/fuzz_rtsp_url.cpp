// Arbitrary bytes as a camera URL: parse_rtsp_url and the password masking
// must agree, and no password may reach the log.
#include "fuzz_mask.h"
#include "fuzz_workdir.h"
#include "camera_url.h"
#include "log_writer.h"
#include "thermometry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string log_path;

std::string take_log()
{
    reset_log_writer();  // closes the file, so what was written is complete
    std::ifstream in(log_path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    std::remove(log_path.c_str());
    return content.str();
}

[[noreturn]] void violated(const char *what, const std::string &url, const std::string &log)
{
    std::fprintf(stderr, "invariant violated: %s\nurl (%zu bytes): %s\nlog: %s\n", what, url.size(), url.c_str(),
                 log.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    log_path = fuzz_workdir::enter(argc, argv, "fuzz_rtsp_url");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string url(reinterpret_cast<const char *>(data), size);

    size_t begin = 0;
    size_t length = 0;
    const bool has_password = fuzz_mask::check(url, find_url_password, mask_url_password, violated, &begin, &length);
    const std::string masked = mask_url_password(url);

    const RTSPParams params = parse_rtsp_url(url);
    const std::string log = take_log();
    const size_t stamp = log.find("] ");
    const std::string line = stamp == std::string::npos ? log : log.substr(stamp + 2);
    if (!params.ip.empty() || params.port != 0) {
        if (params.username.empty() || params.password.empty() || params.ip.empty() || params.port != 8000)
            violated("accepted URL with an empty part or another port", url, log);
        // Exactly this line: the password has no place in it.
        const std::string expected = "Parsed RTSP URL: IP=" + params.ip + ", Port=8000, User=" + params.username +
                                     ", Password=******\n";
        if (line != expected)
            violated("unexpected log line for an accepted URL", url, log);
        // The password shown on the command line is covered by the mask.
        if (!has_password || url.compare(begin, params.password.size(), params.password) != 0 ||
            length < params.password.size())
            violated("the mask does not cover the parsed password", url, log);
    } else {
        if (!params.username.empty() || !params.password.empty() || !params.ip.empty() || params.port != 0)
            violated("refused URL with parts left set", url, log);
        if (line != "Invalid RTSP URL format: " + masked + "\n")
            violated("unexpected log line for a refused URL", url, log);
    }
    return 0;
}
