// A camera that drops the link and comes back: the SDK reconnects on its own
// (every ten seconds, as the program asks), and the program goes on with the
// same session instead of logging in again.
#include "e2e.h"

#include <signal.h>

namespace e2e {
namespace {

TEST(CameraDrop, ReadingsResumeWithoutANewLogin)
{
    CameraSim sim({"--drop-after-seconds", "1", "--away-seconds", "2"});
    Program program({"-s", sim.url()});
    ASSERT_TRUE(program.wait_for(kLinkLost, kReadingTimeout)) << program.out();
    ASSERT_TRUE(program.wait_for_after(kLinkLost, "] Updated temperature: ", kReturnTimeout))
        << program.out() << "\ncamera:\n"
        << sim.out();
    ASSERT_TRUE(program.proc().running()) << program.out();
    EXPECT_TRUE(sim.wait_for("listening again on", kLineTimeout)) << sim.out();

    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    const std::vector<std::string> log = program.log();
    EXPECT_EQ(count_prefixed(log, "Login succeeded"), 1u) << program.raw_log();
    EXPECT_EQ(count_prefixed(log, "NET_DVR_GET_MANUALTHERM_INFO failed, error code: 9"), 1u);
    EXPECT_TRUE(shuts_down(log, SIGTERM));
    EXPECT_TRUE(stdout_echoes_log(program.out(), program.raw_log(), is_console_mode_line));
    EXPECT_EQ(program.err(), "");

    // The readings after the loss are ones the camera sent after its return.
    const std::string camera = sim.out();
    const size_t back = camera.find("listening again on");
    ASSERT_NE(back, std::string::npos) << camera;
    EXPECT_NE(camera.find("record ", back), std::string::npos) << camera;
    EXPECT_EQ(count_of(camera, "stream started"), 2u) << camera;
}

}  // namespace
}  // namespace e2e
