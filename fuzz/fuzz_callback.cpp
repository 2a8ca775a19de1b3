// Arbitrary records to the stream's callback: the first four bytes are the
// record type, the rest is the buffer with its exact length (the SDK's length
// is trusted, so the harness never lies about it). The buffer is allocated to
// exactly that size, so any read past it is caught.
#include "fuzz_workdir.h"
#include "camera_link.h"
#include "log_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::string log_path;
unsigned long runs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    log_path = fuzz_workdir::enter(argc, argv, "fuzz_callback");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t type = 0;
    std::memcpy(&type, data, sizeof type);
    const size_t length = size - 4;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length]);
    if (length > 0)
        std::memcpy(buffer.get(), data + 4, length);

    const float before = get_latest_temperature();
    GetThermInfoCallback(type, buffer.get(), static_cast<uint32_t>(length), nullptr);
    const float after = get_latest_temperature();

    // Only a whole data record flagged as a reading sets the temperature,
    // to exactly the float it carries.
    const bool reading = type == 2 && length >= 440 && (data[4 + 45] == 1 || data[4 + 45] == 2);
    const float expected_value = [&] {
        float value = before;
        if (reading)
            std::memcpy(&value, data + 4 + 180, sizeof value);
        return value;
    }();
    if (std::memcmp(&after, &expected_value, sizeof after) != 0) {
        std::fprintf(stderr, "invariant violated: type %u, %zu bytes: temperature %g, expected %g\n", type, length,
                     static_cast<double>(after), static_cast<double>(expected_value));
        std::abort();
    }

    // Keep the log file small over millions of runs.
    if (++runs % 4096 == 0) {
        reset_log_writer();
        std::remove(log_path.c_str());
    }
    return 0;
}
