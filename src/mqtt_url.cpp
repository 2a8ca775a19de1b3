// The MQTT broker's URL: parsing it and keeping its password out of sight.
// No state; any thread.
#include "mqtt_url.h"

#include "thermometry.h"

#include <cstdlib>

static constexpr const char *masked_password = "******";

// Where the authority (user, password, host, port) of url ends.
static size_t authority_end(const std::string &url, size_t start)
{
    const size_t end = url.find_first_of("/?", start);
    return end == std::string::npos ? url.size() : end;
}

// The camera URL's rule, kept to the authority: a '@' in the topic is no
// end of a password.
bool find_mqtt_password(const std::string &url, size_t *begin, size_t *length)
{
    const size_t scheme_end = url.find("://");
    return scheme_end != std::string::npos &&
           find_url_password(url.substr(0, authority_end(url, scheme_end + 3)), begin, length);
}

std::string mask_mqtt_url(const std::string &url)
{
    size_t begin = 0;
    size_t length = 0;
    if (!find_mqtt_password(url, &begin, &length))
        return url;
    return url.substr(0, begin) + masked_password + url.substr(begin + length);
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// text with its %XX escapes decoded; false when one is broken.
static bool decode(const std::string &text, std::string *decoded)
{
    decoded->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *decoded += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
        if (low < 0)
            return false;
        *decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// "" when topic is a topic (or prefix) to publish under: no wildcard, no
// empty level, no NUL.
static std::string check_topic(const std::string &topic, const std::string &what)
{
    if (topic.find_first_of("+#") != std::string::npos)
        return what + " holds a wildcard ('+' or '#')";
    if (topic.find('\0') != std::string::npos)
        return what + " holds a NUL character";
    if (topic.empty() || topic.front() == '/' || topic.back() == '/' || topic.find("//") != std::string::npos)
        return what + " has an empty level";
    return "";
}

static std::string parse_port(const std::string &text, int *port)
{
    // The text is not shown: a password with a raw '/' or '?' ends up here.
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return "the port is not a number from 1 to 65535";
    *port = std::atoi(text.c_str());
    if (*port < 1 || *port > 65535)
        return "the port is not a number from 1 to 65535";
    return "";
}

static std::string parse_authority(const std::string &authority, mqtt_settings *s)
{
    std::string host_port = authority;
    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string userinfo = authority.substr(0, at);
        host_port = authority.substr(at + 1);
        const size_t colon = userinfo.find(':');
        s->has_password = colon != std::string::npos;
        if (!decode(userinfo.substr(0, colon), &s->user) ||
            (s->has_password && !decode(userinfo.substr(colon + 1), &s->password)))
            return "a broken %-escape in the user or password";
        if (s->user.empty())
            return "the user name is empty";
    }
    std::string port_text;
    if (!host_port.empty() && host_port.front() == '[') {
        const size_t close = host_port.find(']');
        if (close == std::string::npos)
            return "the IPv6 address has no closing ']'";
        s->host = host_port.substr(1, close - 1);
        const std::string rest = host_port.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return "something other than a port follows the IPv6 address";
        if (!rest.empty())
            port_text = rest.substr(1);
        else
            s->port = s->tls ? 8883 : 1883;
    } else {
        const size_t colon = host_port.find(':');
        s->host = host_port.substr(0, colon);
        if (colon != std::string::npos)
            port_text = host_port.substr(colon + 1);
        else
            s->port = s->tls ? 8883 : 1883;
    }
    if (s->host.empty())
        return "the host is empty";
    if (s->port == 0) {
        const std::string problem = parse_port(port_text, &s->port);
        if (!problem.empty())
            return problem;
    }
    return "";
}

static std::string parse_query(const std::string &query, mqtt_settings *s)
{
    size_t start = 0;
    while (start <= query.size()) {
        const size_t end = std::min(query.find('&', start), query.size());
        const std::string pair = query.substr(start, end - start);
        start = end + 1;
        if (pair.empty())
            continue;
        const size_t equals = pair.find('=');
        const std::string key = pair.substr(0, equals);
        std::string value;
        if (equals == std::string::npos || !decode(pair.substr(equals + 1), &value))
            return "a query item is not KEY=VALUE";
        if (key == "cafile") {
            if (!s->tls)
                return "cafile is for mqtts:// only";
            if (value.empty())
                return "cafile is empty";
            s->cafile = value;
        } else if (key == "discovery") {
            s->discovery = value != "off";
            if (s->discovery) {
                const std::string problem = check_topic(value, "the discovery prefix");
                if (!problem.empty())
                    return problem;
                s->discovery_prefix = value;
            }
        } else {
            return "unknown key '" + key + "' (known: cafile, discovery)";
        }
    }
    return "";
}

std::string parse_mqtt_url(const std::string &url, mqtt_settings *settings)
{
    mqtt_settings s;
    size_t start = 0;
    if (url.compare(0, 7, "mqtt://") == 0) {
        start = 7;
    } else if (url.compare(0, 8, "mqtts://") == 0) {
        s.tls = true;
        start = 8;
    } else {
        return "the scheme is not mqtt:// or mqtts://";
    }
    const size_t query_at = url.find('?', start);
    const std::string before_query = url.substr(0, query_at);
    const size_t end = authority_end(before_query, start);
    std::string problem = parse_authority(before_query.substr(start, end - start), &s);
    if (problem.empty() && end < before_query.size()) {
        if (!decode(before_query.substr(end + 1), &s.base_topic))
            problem = "a broken %-escape in the base topic";
        else
            problem = check_topic(s.base_topic, "the base topic");
    }
    if (problem.empty() && query_at != std::string::npos)
        problem = parse_query(url.substr(query_at + 1), &s);
    if (problem.empty())
        *settings = s;
    return problem;
}
