// The MQTT broker's URL of -m: where to connect, as whom, under which topics,
// and its password kept out of every text that is shown. Pure; any thread.
//
//   mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/BASE/TOPIC][?KEY=VALUE&...]
//
// USER, PASSWORD, the topic and the values may hold %XX escapes (a '/', '?',
// '#' or '%' in a password is written %2F, %3F, %23, %25). HOST may be an
// IPv6 address in brackets. Keys: cafile=PATH (mqtts only) and discovery=off
// or discovery=PREFIX.
#ifndef THERMOMETRY_MQTT_URL_H
#define THERMOMETRY_MQTT_URL_H

#include <cstddef>
#include <string>

struct mqtt_settings {
    bool tls = false;
    std::string user;  // empty: no login
    std::string password;
    bool has_password = false;
    std::string host;  // without brackets
    int port = 0;
    std::string base_topic;  // empty: the default one of the camera
    std::string cafile;      // empty: the system's CAs (mqtts)
    bool discovery = true;
    std::string discovery_prefix = "homeassistant";
};

// Reads url into *settings. Returns "" or what is wrong with it, in words
// that never show the password.
std::string parse_mqtt_url(const std::string &url, mqtt_settings *settings);

// The URL as the log shows it: the password, if any, as "******".
std::string mask_mqtt_url(const std::string &url);

#endif  // THERMOMETRY_MQTT_URL_H
