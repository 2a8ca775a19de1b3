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

// The latest reading with its arrival and the link's latest failure, for
// the outputs that tell a fresh reading from a stale one.
struct reading_record {
    uint64_t readings = 0;  // readings so far; 0 before the first
    float celsius = 0.0f;
    int64_t utc_ms = 0;     // when the latest arrived: calendar clock, ms
    int64_t steady_ms = 0;  // and steady clock, ms (steady_now_ms)
    uint64_t failures = 0;  // failures the link reported so far (status 1002)
    int64_t failure_steady_ms = 0;
};

// A copy of the record. Any thread; it waits at most for another copy.
reading_record latest_reading_record();

// observer is called on the SDK's thread after each change of the record;
// it must return at once (it may wake a thread, never wait for one). One
// observer at a time; nullptr removes it.
void set_reading_observer(void (*observer)());

// The camera's address as its URL gives it; "" before start-up parsed it.
// Main thread.
const std::string &camera_address();

// The stream's callback: type 0 status records, type 2 data records. Only the
// SDK calls it, on its own thread. Short or null buffers are ignored.
void GetThermInfoCallback(uint32_t type, void *buffer, uint32_t length, void *user_data);

#endif  // THERMOMETRY_CAMERA_LINK_H
