// camera-sim's command line: what the simulated camera accepts, what it
// sends and how it misbehaves. Parsing is pure (argv in, Options out) and
// runs on the main thread before anything else starts.
#ifndef CAMERA_SIM_OPTIONS_H
#define CAMERA_SIM_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

extern const char kUsage[];

enum class Shape { kConstant, kRamp, kSine, kList };

struct StatusItem {
    int32_t value;
    uint32_t code;
};

struct Options {
    std::string listen_host = "127.0.0.1";
    uint16_t listen_port = 8000;
    std::string user = "admin";
    std::string password = "secret";
    std::vector<int32_t> channels = {1, 2};
    double rate = 1;
    Shape shape = Shape::kConstant;
    double temp = 36.5;
    double ramp_start = 0, ramp_step = 0;
    double sine_mid = 0, sine_amplitude = 0, sine_period = 1;
    std::vector<double> temps;
    uint8_t flag = 1;
    std::vector<StatusItem> statuses;
    uint64_t refuse_logins = 0;
    std::optional<uint32_t> refuse_stream, fail_stop, fail_logout;
    uint64_t refuse_stream_after = 0;
    std::optional<uint64_t> refuse_stream_count;  // unset: every start after those accepted
    uint64_t drop_after_records = 0;  // 0: off
    double drop_after_seconds = 0;    // 0: off
    double away_seconds = 0;
    uint64_t drops = 1;
    uint64_t freeze_after_records = 0;  // 0: off
    double freeze_after_seconds = 0;    // 0: off
    double freeze_seconds = 20;
    uint64_t freezes = 1;
};

// What is wrong with the command line, for one line on stderr.
struct UsageError {
    std::string message;
};

// Reads argv as given, options in order; the first bad one throws
// UsageError. Sets help when --help or -h comes before any bad option (the
// rest is then not read). Long options are matched by their whole name only,
// never abbreviated. Uses getopt_long's global state, so call it from one
// thread at a time; each call starts afresh.
Options parse_options(int argc, char **argv, bool &help);

}  // namespace sim

#endif  // CAMERA_SIM_OPTIONS_H
