// The camera link: start-up through the SDK, the stream's callback, the
// latest reading, and the link's shutdown. The readers of the reading (the
// console, the TCP server, the service status) go through this interface.
#ifndef THERMOMETRY_CAMERA_LINK_H
#define THERMOMETRY_CAMERA_LINK_H

#include <cstdint>
#include <string>

// Latest temperature in degrees Celsius; 0 before the first reading and after
// shutdown. Any thread, never blocks.
float get_latest_temperature();

// The latest reading for the service manager's status line: its console
// text and its age, "Temperature: 36.5°C (3 s ago)", or "No reading yet".
// Any thread.
std::string describe_latest_reading();

// The stream's callback: type 0 status records, type 2 data records. Only the
// SDK calls it, on its own thread. Short or null buffers are ignored.
void GetThermInfoCallback(uint32_t type, void *buffer, uint32_t length, void *user_data);

#endif  // THERMOMETRY_CAMERA_LINK_H
