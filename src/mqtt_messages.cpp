// What the MQTT output publishes. No state; any thread.
#include "mqtt_messages.h"

#include "reading_format.h"

#include <cmath>
#include <cstdio>
#include <ctime>

std::string default_base_topic(const std::string &camera_address, int32_t channel)
{
    std::string address = camera_address;
    for (char &c : address) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        if (!plain)
            c = '_';
    }
    return "thermometry/" + address + "/" + std::to_string(channel);
}

// FNV-1a, 64 bits: stable across builds and machines, unlike std::hash.
static std::string topic_hash(const std::string &base_topic)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : base_topic) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(text, 12);
}

std::string mqtt_client_id(const std::string &base_topic)
{
    return "thermometry" + topic_hash(base_topic);
}

std::string mqtt_unique_id(const std::string &base_topic)
{
    return "thermometry_" + topic_hash(base_topic);
}

// The number of the TCP line, "%f", without the zeros after the point that
// add nothing: 36.500000 becomes 36.5, 0.000000 becomes 0.
static std::string json_number(float celsius)
{
    if (!std::isfinite(celsius))
        return "null";
    std::string text = format_fixed(celsius);
    const size_t point = text.find('.');
    if (point != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.')
            text.pop_back();
    }
    return text == "-0" ? "0" : text;
}

static std::string utc_text(int64_t utc_ms)
{
    const std::time_t seconds = static_cast<std::time_t>(utc_ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(utc_ms % 1000));
    return text;
}

std::string temperature_payload(float celsius, int64_t utc_ms)
{
    return "{\"tmp\":" + json_number(celsius) + ",\"time\":\"" + utc_text(utc_ms) + "\"}";
}

std::string discovery_topic(const std::string &prefix, const std::string &base_topic)
{
    return prefix + "/sensor/" + mqtt_unique_id(base_topic) + "/config";
}

// text as a JSON string, quotes included.
static std::string json_string(const std::string &text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string discovery_payload(const std::string &base_topic, const std::string &device_name,
                              const std::string &version)
{
    const std::string id = json_string(mqtt_unique_id(base_topic));
    return "{\"name\":\"Temperature\",\"unique_id\":" + id +
           ",\"state_topic\":" + json_string(base_topic + "/temperature") +
           ",\"value_template\":\"{{ value_json.tmp }}\",\"device_class\":\"temperature\","
           "\"unit_of_measurement\":\"\xC2\xB0" "C\",\"state_class\":\"measurement\","
           "\"availability\":[{\"topic\":" + json_string(base_topic + "/status") + "},{\"topic\":" +
           json_string(base_topic + "/camera") + "}],\"availability_mode\":\"all\",\"expire_after\":30,"
           "\"device\":{\"identifiers\":[" + id + "],\"name\":" + json_string(device_name) +
           ",\"model\":\"thermometry\",\"sw_version\":" + json_string(version) +
           "},\"origin\":{\"name\":\"thermometry\",\"sw_version\":" + json_string(version) + "}}";
}
