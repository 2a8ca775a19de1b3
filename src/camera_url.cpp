// The camera URL: parsing it for the login (main thread, at start-up) and
// masking its password (any thread). No state; the parser logs its outcome.
#include "camera_url.h"

#include "log_writer.h"
#include "thermometry.h"

#include <regex>

static constexpr const char *masked_password = "******";
static constexpr int32_t sdk_login_port = 8000;

bool find_url_password(const std::string &url, size_t *begin, size_t *length)
{
    const size_t scheme_end = url.find("://");
    if (scheme_end == std::string::npos)
        return false;
    const size_t at = url.rfind('@');
    if (at == std::string::npos || at < scheme_end + 3)
        return false;
    const size_t colon = url.find(':', scheme_end + 3);
    if (colon == std::string::npos || colon >= at)
        return false;
    *begin = colon + 1;
    *length = at - *begin;
    return true;
}

std::string mask_password(const std::string &url, bool (*find)(const std::string &, size_t *, size_t *))
{
    size_t begin = 0;
    size_t length = 0;
    if (!find(url, &begin, &length))
        return url;
    return url.substr(0, begin) + masked_password + url.substr(begin + length);
}

std::string mask_url_password(const std::string &url)
{
    return mask_password(url, find_url_password);
}

std::string describe_rtsp_params(const RTSPParams &params)
{
    return "Parsed RTSP URL: IP=" + params.ip + ", Port=" + std::to_string(params.port) +
           ", User=" + params.username + ", Password=" + masked_password;
}

// libstdc++ matches a regular expression recursively, one stack frame per
// character, so a huge argument could overflow the stack. No camera URL is
// anywhere near this long.
static constexpr size_t max_url_length = 2048;

RTSPParams parse_rtsp_url(const std::string &url)
{
    RTSPParams params;
    // The password may hold '@' and ':' and runs to the '@' before the
    // address, which holds neither. Of several such '@' the first one for
    // which the rest reads as address, port and path wins: a password that
    // holds no '@' ends where it always did, and a '@' in the path is never
    // taken for the end of the password.
    const std::regex pattern(R"(rtsp://([^:]+):([\s\S]+?)@([^:@]+):(\d+)(?:/.*)?)", std::regex::ECMAScript);
    std::smatch match;
    if (url.size() <= max_url_length && std::regex_match(url, match, pattern)) {
        params.username = match[1].str();
        params.password = match[2].str();
        params.ip = match[3].str();
        params.port = sdk_login_port;
        log_message(describe_rtsp_params(params));
    } else {
        log_message("Invalid RTSP URL format: " + mask_url_password(url));
        params.ip.clear();
        params.port = 0;
    }
    return params;
}
