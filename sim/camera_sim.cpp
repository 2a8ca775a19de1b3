// camera-sim: a thermal camera on the network, as far as the stand-in SDK can
// tell. It serves the protocol of sdk/PROTOCOL.md and can be told to
// misbehave (refuse, fail, drop, go away, freeze) so the SDK and the program
// can be tested against every answer a camera may give.
//
// This file holds main: the command line, the signals and the exit status.
// One thread, the main one, runs it all.
#include "camera.h"
#include "options.h"
#include "signals.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool help = false;
    sim::Options options;
    try {
        options = sim::parse_options(argc, argv, help);
    } catch (const sim::UsageError &e) {
        std::fprintf(stderr, "camera-sim: %s\n(camera-sim --help shows the options)\n", e.message.c_str());
        return 2;
    }
    if (help) {
        std::fputs(sim::kUsage, stdout);
        return 0;
    }

    if (!sim::install_signal_handlers()) {
        std::fprintf(stderr, "camera-sim: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    sim::Camera camera(std::move(options));
    return camera.run();
}
