// camera-sim's command line: getopt_long cuts argv into options and values,
// the code below checks each value and fills Options. Main thread only.
#include "options.h"

#include "camera_wire.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sim {

const char kUsage[] =
    "usage: camera-sim [options]\n"
    "  --listen ADDR[:PORT]      address to listen on (default 127.0.0.1:8000; port 0 picks a free one)\n"
    "  --user NAME               accepted user name (default admin)\n"
    "  --password PASS           accepted password (default secret)\n"
    "  --channels LIST           comma-separated channel numbers it has (default 1,2)\n"
    "  --rate HZ                 data records per second while a stream runs (default 1; 0 = none; 0.001 to 100000)\n"
    "  --temp C                  constant temperature (default 36.5)\n"
    "  --ramp START:STEP         START, START+STEP, START+2*STEP, ...\n"
    "  --sine MID:AMPLITUDE:PERIOD_S\n"
    "  --temps LIST              comma-separated values sent in turn and then repeated; nan, inf, -inf allowed\n"
    "  --flag N                  byte 45 of every data record (default 1)\n"
    "  --status LIST             status records sent right after a stream starts, before the first data\n"
    "                            record: VALUE or VALUE:CODE items, comma-separated (e.g. 1000,1002:7,1001)\n"
    "  --refuse-logins N         refuse the first N logins with wrong-password (then accept)\n"
    "  --refuse-stream CODE      refuse every stream start with CODE\n"
    "  --refuse-stream-after N   with --refuse-stream: accept the first N stream starts (default 0)\n"
    "  --refuse-stream-count N   with --refuse-stream: refuse only N starts, then accept again\n"
    "                            (default: every one)\n"
    "  --fail-stop CODE          answer every stop with failure CODE\n"
    "  --fail-logout CODE        answer every logout with failure CODE\n"
    "  --drop-after-records N    close the connection after N data records of a stream\n"
    "  --drop-after-seconds T    close the connection T seconds (fractional ok) after a stream started\n"
    "  --away-seconds S          after such a drop, close the listener too and stay away S seconds\n"
    "                            (default 0), then listen again\n"
    "  --drops N                 how many times the drop happens in the simulator's life (default 1)\n"
    "  --freeze-after-records N  freeze after N data records of a stream\n"
    "  --freeze-after-seconds T  freeze T seconds (fractional ok) after a stream started\n"
    "  --freeze-seconds S        how long a freeze lasts (default 20): nothing is answered, sent or\n"
    "                            accepted, every connection is kept, then all carries on\n"
    "  --freezes N               how many times the freeze happens in the simulator's life (default 1)\n"
    "  --help                    prints this usage, exit 0\n"
    "Options take their value as the next argument or after '='.\n";

namespace {

// getopt_long's answers for the long options; clear of any character it
// may return ('h', '?', ':').
enum OptionId {
    kListen = 256,
    kUser,
    kPassword,
    kChannels,
    kRate,
    kTemp,
    kRamp,
    kSine,
    kTemps,
    kFlag,
    kStatus,
    kRefuseLogins,
    kRefuseStream,
    kFailStop,
    kFailLogout,
    kDropAfterRecords,
    kDropAfterSeconds,
    kAwaySeconds,
    kDrops,
    kRefuseStreamAfter,
    kRefuseStreamCount,
    kFreezeAfterRecords,
    kFreezeAfterSeconds,
    kFreezeSeconds,
    kFreezes,
    kHelp,
};

const option kLongOptions[] = {
    {"listen", required_argument, nullptr, kListen},
    {"user", required_argument, nullptr, kUser},
    {"password", required_argument, nullptr, kPassword},
    {"channels", required_argument, nullptr, kChannels},
    {"rate", required_argument, nullptr, kRate},
    {"temp", required_argument, nullptr, kTemp},
    {"ramp", required_argument, nullptr, kRamp},
    {"sine", required_argument, nullptr, kSine},
    {"temps", required_argument, nullptr, kTemps},
    {"flag", required_argument, nullptr, kFlag},
    {"status", required_argument, nullptr, kStatus},
    {"refuse-logins", required_argument, nullptr, kRefuseLogins},
    {"refuse-stream", required_argument, nullptr, kRefuseStream},
    {"fail-stop", required_argument, nullptr, kFailStop},
    {"fail-logout", required_argument, nullptr, kFailLogout},
    {"drop-after-records", required_argument, nullptr, kDropAfterRecords},
    {"drop-after-seconds", required_argument, nullptr, kDropAfterSeconds},
    {"away-seconds", required_argument, nullptr, kAwaySeconds},
    {"drops", required_argument, nullptr, kDrops},
    {"refuse-stream-after", required_argument, nullptr, kRefuseStreamAfter},
    {"refuse-stream-count", required_argument, nullptr, kRefuseStreamCount},
    {"freeze-after-records", required_argument, nullptr, kFreezeAfterRecords},
    {"freeze-after-seconds", required_argument, nullptr, kFreezeAfterSeconds},
    {"freeze-seconds", required_argument, nullptr, kFreezeSeconds},
    {"freezes", required_argument, nullptr, kFreezes},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// '+': stop at the first argument that is not an option, which is then an
// error, rather than move it to the end; ':': tell a missing value apart.
constexpr char kShortOptions[] = "+:h";

// The option argument `arg` (NAME or NAME=VALUE) names exactly, as typed.
bool names_exactly(const std::string &arg, const option &o) {
    return arg.compare(0, arg.find('='), std::string("--") + o.name) == 0;
}

// Why the argument getopt_long stopped at, or took as an abbreviation, is
// wrong: not an option, an option we do not have, or one missing its value.
UsageError bad_argument(const std::string &arg) {
    if (arg.compare(0, 2, "--") != 0) return {"unexpected argument '" + arg + "'"};
    std::string name = arg.substr(0, arg.find('='));
    for (const option *o = kLongOptions; o->name; ++o) {
        if (o->has_arg == required_argument && names_exactly(arg, *o)) return {name + ": missing value"};
    }
    return {"unknown option '" + name + "'"};
}

std::vector<std::string> split(const std::string &text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(sep, start);
        out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

double parse_double(const std::string &option, const std::string &text, bool finite_only) {
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || (finite_only && !std::isfinite(v)))
        throw UsageError{option + ": not a number: '" + text + "'"};
    return v;
}

long long parse_integer(const std::string &option, const std::string &text, long long lo, long long hi) {
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError{option + ": not a whole number: '" + text + "'"};
    if (v < lo || v > hi)
        throw UsageError{option + ": " + text + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi)};
    return v;
}

uint32_t parse_code(const std::string &option, const std::string &text) {
    return static_cast<uint32_t>(parse_integer(option, text, 0, UINT32_MAX));
}

uint64_t parse_count(const std::string &option, const std::string &text, long long lo) {
    return static_cast<uint64_t>(parse_integer(option, text, lo, INT64_MAX));
}

void set_shape(Options &o, bool &shape_given, const std::string &option, Shape shape) {
    if (shape_given) throw UsageError{option + ": only one of --temp, --ramp, --sine, --temps may be given"};
    shape_given = true;
    o.shape = shape;
}

void set_listen(Options &o, const std::string &name, const std::string &value) {
    std::string host = value;
    size_t colon = value.rfind(':');
    if (colon != std::string::npos) {
        host = value.substr(0, colon);
        o.listen_port = static_cast<uint16_t>(parse_integer(name, value.substr(colon + 1), 0, 65535));
    }
    if (host.empty()) throw UsageError{name + ": missing address"};
    o.listen_host = host;
}

void set_statuses(Options &o, const std::string &name, const std::string &value) {
    o.statuses.clear();
    for (const std::string &item : split(value, ',')) {
        auto parts = split(item, ':');
        if (parts.size() > 2) throw UsageError{name + ": expected VALUE or VALUE:CODE, got '" + item + "'"};
        StatusItem s{static_cast<int32_t>(parse_integer(name, parts[0], INT32_MIN, INT32_MAX)), 0};
        if (parts.size() == 2) s.code = parse_code(name, parts[1]);
        o.statuses.push_back(s);
    }
}

// Finite numbers separated by ':', as many as `form` (e.g. "START:STEP")
// has fields.
std::vector<double> parse_finite_fields(const std::string &name, const std::string &value, const std::string &form) {
    std::vector<std::string> parts = split(value, ':');
    if (parts.size() != split(form, ':').size()) throw UsageError{name + ": expected " + form};
    std::vector<double> out;
    for (const std::string &part : parts) out.push_back(parse_double(name, part, true));
    return out;
}

// A temperature shape: --temp, --ramp, --sine or --temps.
void set_temperatures(Options &o, bool &shape_given, int id, const std::string &name, const std::string &value) {
    if (id == kTemp) {
        set_shape(o, shape_given, name, Shape::kConstant);
        o.temp = parse_double(name, value, false);
    } else if (id == kRamp) {
        set_shape(o, shape_given, name, Shape::kRamp);
        std::vector<double> v = parse_finite_fields(name, value, "START:STEP");
        o.ramp_start = v[0];
        o.ramp_step = v[1];
    } else if (id == kSine) {
        set_shape(o, shape_given, name, Shape::kSine);
        std::vector<double> v = parse_finite_fields(name, value, "MID:AMPLITUDE:PERIOD_S");
        o.sine_mid = v[0];
        o.sine_amplitude = v[1];
        o.sine_period = v[2];
        if (o.sine_period <= 0) throw UsageError{name + ": the period must be positive"};
    } else {
        set_shape(o, shape_given, name, Shape::kList);
        o.temps.clear();
        for (const std::string &item : split(value, ',')) o.temps.push_back(parse_double(name, item, false));
    }
}

// A length of time in seconds: positive (zero too where allowed), at most
// 1e6 s.
double parse_seconds(const std::string &name, const std::string &value, bool zero_ok) {
    double v = parse_double(name, value, true);
    if (zero_ok ? (v < 0 || v > 1e6) : (v <= 0 || v > 1e6))
        throw UsageError{name + (zero_ok ? ": must not be negative" : ": must be positive")};
    return v;
}

void set_option(Options &o, bool &shape_given, int id, const std::string &name, const std::string &value) {
    switch (id) {
    case kListen: set_listen(o, name, value); break;
    case kUser:
    case kPassword:
        if (value.size() > camwire::kMaxNameLength)
            throw UsageError{name + ": longer than " + std::to_string(camwire::kMaxNameLength) + " bytes"};
        (id == kUser ? o.user : o.password) = value;
        break;
    case kChannels:
        o.channels.clear();
        for (const std::string &item : split(value, ','))
            o.channels.push_back(static_cast<int32_t>(parse_integer(name, item, INT32_MIN, INT32_MAX)));
        break;
    case kRate:
        o.rate = parse_double(name, value, true);
        // A rate just above 0 would put the next record beyond what the
        // schedule's clock can hold.
        if (o.rate != 0 && (o.rate < 0.001 || o.rate > 100000))
            throw UsageError{name + ": must be 0 or between 0.001 and 100000"};
        break;
    case kTemp:
    case kRamp:
    case kSine:
    case kTemps: set_temperatures(o, shape_given, id, name, value); break;
    case kFlag: o.flag = static_cast<uint8_t>(parse_integer(name, value, 0, 255)); break;
    case kStatus: set_statuses(o, name, value); break;
    case kRefuseLogins: o.refuse_logins = parse_count(name, value, 0); break;
    case kRefuseStream: o.refuse_stream = parse_code(name, value); break;
    case kFailStop: o.fail_stop = parse_code(name, value); break;
    case kFailLogout: o.fail_logout = parse_code(name, value); break;
    case kDropAfterRecords: o.drop_after_records = parse_count(name, value, 1); break;
    case kDropAfterSeconds: o.drop_after_seconds = parse_seconds(name, value, false); break;
    case kAwaySeconds: o.away_seconds = parse_seconds(name, value, true); break;
    case kDrops: o.drops = parse_count(name, value, 0); break;
    case kRefuseStreamAfter: o.refuse_stream_after = parse_count(name, value, 0); break;
    case kRefuseStreamCount: o.refuse_stream_count = parse_count(name, value, 1); break;
    case kFreezeAfterRecords: o.freeze_after_records = parse_count(name, value, 1); break;
    case kFreezeAfterSeconds: o.freeze_after_seconds = parse_seconds(name, value, false); break;
    case kFreezeSeconds: o.freeze_seconds = parse_seconds(name, value, false); break;
    case kFreezes: o.freezes = parse_count(name, value, 0); break;
    }
}

}  // namespace

Options parse_options(int argc, char **argv, bool &help) {
    Options o;
    bool shape_given = false;
    help = false;
    optind = 0;  // glibc: start afresh, forgetting any earlier parse
    opterr = 0;  // the errors are ours to word
    int at;      // the argument getopt_long reads next
    for (;;) {
        at = std::max(optind, 1);
        int index = -1;
        int id = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
        if (id == -1) break;
        std::string arg = argv[at];
        // getopt_long takes "-hx" as -h -x and "--rat" as --rate; neither is
        // an option here.
        bool exact = id == 'h' ? arg == "-h" : id >= kListen && index >= 0 && names_exactly(arg, kLongOptions[index]);
        if (!exact) throw bad_argument(arg);
        if (id == 'h' || id == kHelp) {
            help = true;
            return o;
        }
        set_option(o, shape_given, id, arg.substr(0, arg.find('=')), optarg);
    }
    // getopt_long ends at the end, at the first plain argument or at "--"
    // (which it skips): the last two are errors here.
    if (at < argc) throw bad_argument(argv[at]);
    if (!o.refuse_stream && (o.refuse_stream_after > 0 || o.refuse_stream_count))
        throw UsageError{"--refuse-stream-after and --refuse-stream-count need --refuse-stream"};
    return o;
}

}  // namespace sim
