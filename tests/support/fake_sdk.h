// A scripted stand-in for the camera SDK, linked into unit test binaries in
// place of libhcnetsdk.so. Each test scripts the results it wants, runs the
// module, then reads back every SDK call the module made, in order.
//
// Like the real library, every function but NET_DVR_Init fails with
// NET_DVR_NOINIT while the SDK is not initialised, and NET_DVR_GetLastError
// returns the calling thread's code of its last failure.
#ifndef THERMOMETRY_TESTS_FAKE_SDK_H
#define THERMOMETRY_TESTS_FAKE_SDK_H

#include "hcnetsdk.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake_sdk {

// One login's outcome: id >= 0 succeeds, otherwise it fails with error.
struct LoginResult {
    int32_t id;
    uint32_t error;
};

struct Script {
    bool init_ok = true;
    // Consumed one per login; when empty, a login succeeds with user id 0.
    std::deque<LoginResult> logins;
    int32_t stream_handle = 0;  // negative: the stream start fails with stream_error
    uint32_t stream_error = 0;
    bool stop_ok = true;
    uint32_t stop_error = 0;
    // Run once, on the calling thread, inside the next NET_DVR_StopRemoteConfig
    // (after it is recorded): lets a test act in the middle of a shutdown.
    std::function<void()> on_stop;
    bool logout_ok = true;
    uint32_t logout_error = 0;
};

// One call as the module made it. GetLastError is a query and not recorded.
struct Call {
    std::string name;                   // e.g. "NET_DVR_Login_V30"
    std::string summary;                // e.g. "NET_DVR_SetConnectTime(2000, 1)"
    std::vector<int64_t> numbers;       // integer arguments, in order
    std::vector<std::string> texts;     // string arguments, in order
    std::vector<uint8_t> condition;     // StartRemoteConfig: the condition bytes
    NET_DVR_RemoteConfigCallback callback = nullptr;
    void *user_data = nullptr;
};

// Forgets every call, restores the default script and leaves the SDK
// uninitialised. Call between tests.
void reset();

// The script the next calls follow; change it before running the module.
Script &script();

// Copies of the calls made since the last reset.
std::vector<Call> calls();

// The calls' summaries: each argument in order, strings as they are,
// integers in decimal; the condition record as its length in bytes and the
// pointers (callback, user data, device info) left out.
std::vector<std::string> call_log();

}  // namespace fake_sdk

#endif  // THERMOMETRY_TESTS_FAKE_SDK_H
