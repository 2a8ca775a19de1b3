// What the MQTT output publishes, and where: its topics, the client id, the
// readings' payload and Home Assistant's discovery record. Pure; any thread.
#ifndef THERMOMETRY_MQTT_MESSAGES_H
#define THERMOMETRY_MQTT_MESSAGES_H

#include <cstdint>
#include <string>

// The base topic when the URL names none, one per camera and channel that
// stays the same across restarts: "thermometry/ADDRESS/CHANNEL", with every
// character of the address but letters, digits, '.', '-' and '_' as '_'.
std::string default_base_topic(const std::string &camera_address, int32_t channel);

// "thermometry" and twelve hex digits of a hash of the base topic: 23
// characters, which every MQTT 3.1.1 broker takes, the same for the same
// base topic and different for different ones.
std::string mqtt_client_id(const std::string &base_topic);

// Home Assistant's id of the sensor and its device: "thermometry_" and the
// same twelve hex digits.
std::string mqtt_unique_id(const std::string &base_topic);

// {"tmp":36.5,"time":"2026-12-09T14:00:00.123Z"}: the value as on the TCP
// line without its trailing zeros (null where the TCP line has null), and
// when the reading arrived, UTC, to the millisecond.
std::string temperature_payload(float celsius, int64_t utc_ms);

// Home Assistant's discovery record of the sensor under base_topic; topic
// and payload.
std::string discovery_topic(const std::string &prefix, const std::string &base_topic);
std::string discovery_payload(const std::string &base_topic, const std::string &device_name,
                              const std::string &version);

#endif  // THERMOMETRY_MQTT_MESSAGES_H
