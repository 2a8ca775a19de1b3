// How a reading is written for each reader. No state; any thread.
#include "reading_format.h"

#include <cmath>
#include <cstdio>
#include <sstream>

std::string format_fixed(double value)
{
    char text[64];  // %f of the largest float is 46 characters
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

std::string format_console_temperature(float celsius)
{
    std::ostringstream line;
    line << "Temperature: " << static_cast<double>(celsius) << "\xC2\xB0"
         << "C";
    return line.str();
}

std::string format_temperature_line(float celsius)
{
    if (!std::isfinite(celsius))
        return "{\"tmp\":null}\n";
    return "{\"tmp\":" + format_fixed(celsius) + "}\n";
}
