// How long connecting and answers may take and whether a lost link is
// reconnected: set by the entry points (NET_DVR_Init, SetConnectTime,
// SetReconnect), read by any thread. Each setting is an atomic of its own,
// ordered against nothing else; the entry points serialise the setters.
#ifndef STANDIN_LINK_SETTINGS_H
#define STANDIN_LINK_SETTINGS_H

#include "deadline.h"

#include <chrono>
#include <cstdint>

namespace standin {

// Back to the defaults, as NET_DVR_Init sets them.
void reset_link_settings();
// Clamps both to what the library allows; the caller has refused 0.
void set_connect_time(uint32_t wait_ms, uint32_t tries);
// Clamps the interval to what the library allows.
void set_reconnect(uint32_t interval_ms, bool enable);

uint32_t connect_wait_ms();
uint32_t connect_tries();
uint32_t reconnect_interval_ms();
bool reconnect_enabled();

// How long a request waits for the camera's answer, and the deadline of one
// sent now.
std::chrono::milliseconds answer_wait();
Clock::time_point answer_deadline();

}  // namespace standin

#endif  // STANDIN_LINK_SETTINGS_H
