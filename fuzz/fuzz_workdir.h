// Start-up shared by the libFuzzer targets: the log writer writes below the
// working directory and echoes to standard output, so each run works in a
// fresh temporary directory (removed at exit) with standard output sent to
// /dev/null, on a fixed clock so that the day's log file never changes.
#ifndef THERMOMETRY_FUZZ_WORKDIR_H
#define THERMOMETRY_FUZZ_WORKDIR_H

#include "log_writer.h"

#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz_workdir {

inline std::string &directory()
{
    static std::string path;
    return path;
}

inline std::time_t fixed_clock()
{
    return 1718454896;
}

inline void remove_directory()
{
    if (!directory().empty())
        nftw(directory().c_str(), [](const char *p, const struct stat *, int, FTW *) { return std::remove(p); }, 16,
             FTW_DEPTH | FTW_PHYS);
}

// Paths on the command line (corpus directories, artifact prefixes) were
// given relative to the directory the fuzzer was started in; make them
// absolute before leaving it.
inline void make_paths_absolute(int *argc, char ***argv)
{
    static std::vector<std::string> kept;
    static std::vector<char *> args;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        std::abort();
    kept.reserve(static_cast<size_t>(*argc));
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        const char *options[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict=", "-seed_inputs="};
        if (i > 0 && !arg.empty() && arg[0] != '-' && arg[0] != '/') {
            arg = std::string(cwd) + "/" + arg;
        } else {
            for (const char *option : options) {
                const size_t n = std::strlen(option);
                if (arg.compare(0, n, option) == 0 && arg.size() > n && arg[n] != '/')
                    arg = option + (std::string(cwd) + "/" + arg.substr(n));
            }
        }
        kept.push_back(arg);
    }
    for (std::string &arg : kept)
        args.push_back(&arg[0]);
    args.push_back(nullptr);
    *argv = args.data();
}

// Returns the path of the log file the module writes to.
inline std::string enter(int *argc, char ***argv, const char *name)
{
    make_paths_absolute(argc, argv);
    std::string dir = std::string("/tmp/") + name + "-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr || chdir(dir.c_str()) != 0 || !create_log_directory())
        std::abort();
    directory() = dir;
    std::atexit(remove_directory);
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0 || dup2(null_fd, 1) < 0)
        std::abort();
    close(null_fd);
    set_time_source(fixed_clock);
    return ".log/temp/temp_" + get_current_date() + ".log";
}

}  // namespace fuzz_workdir

#endif  // THERMOMETRY_FUZZ_WORKDIR_H
