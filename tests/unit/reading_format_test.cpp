// How a reading is written for the console and for the TCP clients.
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

}  // namespace
}  // namespace unit
