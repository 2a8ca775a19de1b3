// Arbitrary bytes as an -m URL: the parser must not fail in any way, the
// password masking must cover exactly the password's place, and neither a
// refusal nor an accepted URL may show the password.
#include "fuzz_mask.h"
#include "mqtt_url.h"
#include "thermometry.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void violated(const char *what, const std::string &url, const std::string &detail)
{
    std::fprintf(stderr, "invariant violated: %s\nurl (%zu bytes): %s\n%s\n", what, url.size(), url.c_str(),
                 detail.c_str());
    std::abort();
}

bool is_topic(const std::string &topic)
{
    return !topic.empty() && topic.find_first_of("+#") == std::string::npos && topic.front() != '/' &&
           topic.back() != '/' && topic.find("//") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string url(reinterpret_cast<const char *>(data), size);
    size_t begin = 0;
    size_t length = 0;
    const bool has_span = fuzz_mask::check(url, find_mqtt_password, mask_mqtt_url, violated, &begin, &length);

    mqtt_settings settings;
    const std::string problem = parse_mqtt_url(url, &settings);
    if (problem != check_mqtt_url(url))
        violated("check_mqtt_url disagrees with parse_mqtt_url", url, problem);
    // The words of a refusal owe nothing to the password: another password
    // of the same shape (letters and digits alone, so that the URL's
    // structure stays) gets the same words.
    if (has_span && length > 0) {
        const std::string password = url.substr(begin, length);
        bool plain = true;
        for (unsigned char c : password)
            plain = plain && std::isalnum(c);
        std::string other = url;
        other.replace(begin, length, std::string(length, password[0] == 'x' ? 'y' : 'x'));
        if (plain && check_mqtt_url(other) != problem)
            violated("the refusal depends on the password", url, problem + " / " + check_mqtt_url(other));
    }
    if (!problem.empty())
        return 0;
    if (settings.host.empty() || settings.port < 1 || settings.port > 65535)
        violated("accepted without a host or with a bad port", url, settings.host);
    if (settings.has_password && !has_span)
        violated("a password the mask does not find", url, "");
    if ((!settings.base_topic.empty() && !is_topic(settings.base_topic)) ||
        (settings.discovery && !is_topic(settings.discovery_prefix)))
        violated("accepted a topic that cannot be published to", url, settings.base_topic);
    if (!settings.tls && !settings.cafile.empty())
        violated("a CA file for a plain connection", url, settings.cafile);
    return 0;
}
