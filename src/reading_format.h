// How a reading is written for each reader: the console line, the TCP
// clients' JSON line and the log's fixed notation. Pure; any thread.
#ifndef THERMOMETRY_READING_FORMAT_H
#define THERMOMETRY_READING_FORMAT_H

#include <string>

// The value in "%f" notation: 36.500000, -4.250000, nan, -inf.
std::string format_fixed(double value);

// The console line for a reading: "Temperature: " + the value in an output
// stream's default notation (36.6, 0, 1e+06) + "°C".
std::string format_console_temperature(float celsius);

// The JSON line sent to clients: {"tmp":<%f>}\n, or {"tmp":null}\n when the
// value is not finite.
std::string format_temperature_line(float celsius);

#endif  // THERMOMETRY_READING_FORMAT_H
