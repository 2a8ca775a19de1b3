// Google Benchmarks of the module's hot paths: the log writer and the data
// callback, which logs every record. They run in a fresh directory on the
// local disk (a tmpfs would flatter the file writes) with standard output
// sent to /dev/null, as a service's would be; the results go to the
// terminal the bench was started from.
#include "camera_link.h"
#include "log_writer.h"
#include "reading_format.h"
#include "thermometry.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <ftw.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

// A typical event line: 60 bytes.
const std::string kLine = " Send buffer full for client FD=17, try again next cycle ...";
static_assert(sizeof(" Send buffer full for client FD=17, try again next cycle ...") - 1 == 60, "60-byte line");

void BM_LogMessage(benchmark::State &state)
{
    reset_log_writer();
    for (auto _ : state)
        log_message(kLine);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kLine.size() + 22));
}
BENCHMARK(BM_LogMessage)->MinTime(2.0)->UseRealTime();

void BM_DataCallback(benchmark::State &state)
{
    reset_log_writer();
    unsigned char record[440] = {};
    record[45] = 1;
    float celsius = 36.5f;
    for (auto _ : state) {
        std::memcpy(record + 180, &celsius, sizeof celsius);
        GetThermInfoCallback(2, record, sizeof record, nullptr);
        celsius += 0.01f;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["target_records_per_s"] = 100000;
}
BENCHMARK(BM_DataCallback)->MinTime(2.0)->UseRealTime();

// A record whose flag says "not a reading": the callback's cost without the log.
void BM_IgnoredRecord(benchmark::State &state)
{
    unsigned char record[440] = {};
    record[45] = 0;
    for (auto _ : state) {
        GetThermInfoCallback(2, record, sizeof record, nullptr);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IgnoredRecord);

void BM_TemperatureLine(benchmark::State &state)
{
    float celsius = 36.5f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_temperature_line(celsius));
        celsius += 0.01f;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TemperatureLine);

int remove_entry(const char *path, const struct stat *, int, FTW *)
{
    return std::remove(path);
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // Where to write: $THERMOMETRY_BENCH_DIR, else /var/tmp (a disk on
    // Debian, unlike /tmp on many systems).
    const char *base = std::getenv("THERMOMETRY_BENCH_DIR");
    std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/var/tmp") + "/thermometry-bench-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) {
        std::fprintf(stderr, "cannot create a directory under %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    struct statfs fs {};
    if (statfs(dir.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC)
        std::fprintf(stderr, "warning: %s is on a tmpfs; the log figures will not be a disk's\n", dir.c_str());
    if (chdir(dir.c_str()) != 0 || !create_log_directory()) {
        std::fprintf(stderr, "cannot prepare %s\n", dir.c_str());
        return 1;
    }

    // The module echoes every line to standard output: send that to
    // /dev/null, and the results to where standard output was.
    std::fflush(stdout);
    const int results_fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (results_fd < 0 || null_fd < 0 || dup2(null_fd, 1) < 0) {
        std::fprintf(stderr, "cannot redirect standard output: %s\n", std::strerror(errno));
        return 1;
    }
    close(null_fd);
    std::ofstream results("/proc/self/fd/" + std::to_string(results_fd), std::ios::out | std::ios::app);
    benchmark::ConsoleReporter reporter(isatty(results_fd) ? benchmark::ConsoleReporter::OO_Color
                                                           : benchmark::ConsoleReporter::OO_None);
    reporter.SetOutputStream(&results);
    reporter.SetErrorStream(&std::cerr);
    std::fprintf(stderr, "log directory: %s/.log/temp\n", dir.c_str());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    results.flush();

    close_log();
    if (chdir("/") == 0)
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
