// The link's timing settings: file-static atomics, written by the entry
// points (each under the library lock) and read by every thread.
#include "link_settings.h"

#include <algorithm>
#include <atomic>

namespace standin {

namespace {

constexpr uint32_t kDefaultConnectWaitMs = 3000;
constexpr uint32_t kMaxConnectWaitMs = 75000;
constexpr uint32_t kMaxConnectTries = 16;
constexpr uint32_t kDefaultReconnectMs = 30000;
constexpr uint32_t kMinReconnectMs = 100;

// Atomics need no destruction, so threads still running at exit may read
// them.
std::atomic<uint32_t> g_connect_wait_ms{kDefaultConnectWaitMs};
std::atomic<uint32_t> g_connect_tries{1};
std::atomic<uint32_t> g_reconnect_ms{kDefaultReconnectMs};
std::atomic<bool> g_reconnect{true};

}  // namespace

void reset_link_settings() {
    g_connect_wait_ms = kDefaultConnectWaitMs;
    g_connect_tries = 1;
    g_reconnect_ms = kDefaultReconnectMs;
    g_reconnect = true;
}

void set_connect_time(uint32_t wait_ms, uint32_t tries) {
    g_connect_wait_ms = std::min(wait_ms, kMaxConnectWaitMs);
    g_connect_tries = std::min(tries, kMaxConnectTries);
}

void set_reconnect(uint32_t interval_ms, bool enable) {
    g_reconnect_ms = std::max(interval_ms, kMinReconnectMs);
    g_reconnect = enable;
}

uint32_t connect_wait_ms() {
    return g_connect_wait_ms.load();
}

uint32_t connect_tries() {
    return g_connect_tries.load();
}

uint32_t reconnect_interval_ms() {
    return g_reconnect_ms.load();
}

bool reconnect_enabled() {
    return g_reconnect.load();
}

std::chrono::milliseconds answer_wait() {
    return std::chrono::milliseconds(std::clamp<uint32_t>(g_connect_wait_ms.load(), 1000, 5000));
}

Clock::time_point answer_deadline() {
    return Clock::now() + answer_wait();
}

}  // namespace standin
