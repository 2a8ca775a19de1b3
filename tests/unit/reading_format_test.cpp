// How a reading is written for the console, the TCP clients and the MQTT
// broker, and the MQTT output's names.
#include "mqtt_messages.h"
#include "reading_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace unit {
namespace {

TEST(ReadingFormatTest, ConsoleUsesStreamDefaultNotation)
{
    EXPECT_EQ(format_console_temperature(36.5f), "Temperature: 36.5\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(36.6f), "Temperature: 36.6\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(0.0f), "Temperature: 0\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(-5.25f), "Temperature: -5.25\xC2\xB0""C");
    EXPECT_EQ(format_console_temperature(1e6f), "Temperature: 1e+06\xC2\xB0""C");
}

TEST(ReadingFormatTest, ClientLineIsFixedNotationOrNull)
{
    EXPECT_EQ(format_temperature_line(36.5f), "{\"tmp\":36.500000}\n");
    EXPECT_EQ(format_temperature_line(-5.25f), "{\"tmp\":-5.250000}\n");
    EXPECT_EQ(format_temperature_line(std::numeric_limits<float>::quiet_NaN()), "{\"tmp\":null}\n");
    EXPECT_EQ(format_temperature_line(INFINITY), "{\"tmp\":null}\n");
    EXPECT_EQ(format_temperature_line(-INFINITY), "{\"tmp\":null}\n");
}

struct LineCase {
    float celsius;
    const char *line;
};

class TemperatureLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(TemperatureLineTest, IsOneJsonObjectPerLine)
{
    EXPECT_EQ(format_temperature_line(GetParam().celsius), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TemperatureLineTest,
    ::testing::Values(LineCase{36.5f, "{\"tmp\":36.500000}\n"}, LineCase{0.0f, "{\"tmp\":0.000000}\n"},
                      LineCase{-4.25f, "{\"tmp\":-4.250000}\n"},
                      LineCase{std::numeric_limits<float>::quiet_NaN(), "{\"tmp\":null}\n"},
                      LineCase{std::numeric_limits<float>::infinity(), "{\"tmp\":null}\n"},
                      LineCase{-std::numeric_limits<float>::infinity(), "{\"tmp\":null}\n"}));

TEST(TemperatureLine, UsualReadingIsEighteenBytes)
{
    EXPECT_EQ(format_temperature_line(36.5f).size(), 18u);
}

TEST(MqttMessagesTest, ReadingIsTheClientLinesNumberWithoutTrailingZerosAndItsUtcTime)
{
    constexpr int64_t kTime = 1781013600123;  // 2026-06-09 14:00:00.123 UTC
    EXPECT_EQ(temperature_payload(36.5f, kTime), "{\"tmp\":36.5,\"time\":\"2026-06-09T14:00:00.123Z\"}");
    EXPECT_EQ(temperature_payload(36.6f, kTime), "{\"tmp\":36.599998,\"time\":\"2026-06-09T14:00:00.123Z\"}");
    EXPECT_EQ(temperature_payload(0.0f, kTime - 123), "{\"tmp\":0,\"time\":\"2026-06-09T14:00:00.000Z\"}");
    EXPECT_EQ(temperature_payload(-0.0f, kTime), "{\"tmp\":0,\"time\":\"2026-06-09T14:00:00.123Z\"}");
    EXPECT_EQ(temperature_payload(-4.25f, kTime), "{\"tmp\":-4.25,\"time\":\"2026-06-09T14:00:00.123Z\"}");
    EXPECT_EQ(temperature_payload(NAN, kTime), "{\"tmp\":null,\"time\":\"2026-06-09T14:00:00.123Z\"}");
    EXPECT_EQ(temperature_payload(1e6f, kTime), "{\"tmp\":1000000,\"time\":\"2026-06-09T14:00:00.123Z\"}");
}

TEST(MqttMessagesTest, NamesAreStablePerBaseTopicAndDistinctAcrossThem)
{
    EXPECT_EQ(default_base_topic("192.0.2.10", 2), "thermometry/192.0.2.10/2");
    EXPECT_EQ(default_base_topic("cam#1+x/y", 3), "thermometry/cam_1_x_y/3");
    const std::string id = mqtt_client_id("thermometry/192.0.2.10/2");
    EXPECT_EQ(id.size(), 23u);
    EXPECT_EQ(id, mqtt_client_id("thermometry/192.0.2.10/2"));
    EXPECT_NE(id, mqtt_client_id("thermometry/192.0.2.10/3"));
    EXPECT_EQ(mqtt_unique_id("thermometry/192.0.2.10/2"), "thermometry_" + id.substr(11));
    EXPECT_EQ(discovery_topic("homeassistant", "thermometry/192.0.2.10/2"),
              "homeassistant/sensor/" + mqtt_unique_id("thermometry/192.0.2.10/2") + "/config");
}

}  // namespace
}  // namespace unit
