// A camera that drops the link, freezes or refuses the stream, and comes
// back: the SDK reconnects and restarts the stream on its own (every ten
// seconds, as the program asks), and the program goes on with the same
// session instead of logging in again.
#include "e2e.h"

#include <signal.h>

namespace e2e {
namespace {

const std::string kReading = "] Updated temperature: ";
constexpr Millis kReconnectInterval = 10s;

// The first stdout line containing `text` that comes after the first line
// containing `after`, once it has arrived (bounded); nullopt when none came.
std::optional<Line> line_after(Program &program, const std::string &after, const std::string &text, Millis timeout)
{
    program.wait_for_after(after, text, timeout);
    bool seen = false;
    for (const Line &line : program.proc().out_lines()) {
        if (seen && line.text.find(text) != std::string::npos)
            return line;
        seen = seen || line.text.find(after) != std::string::npos;
    }
    return std::nullopt;
}

// SIGTERM ends the program in order, with one login in all.
void expect_orderly_end(Program &program)
{
    ASSERT_TRUE(program.signal(SIGTERM));
    EXPECT_EQ(program.finish(kExitTimeout), ExitStatus::exit_code(0));
    const std::vector<std::string> log = program.log();
    EXPECT_EQ(count_prefixed(log, "Login succeeded"), 1u) << program.raw_log();
    EXPECT_TRUE(shuts_down(log, SIGTERM));
    EXPECT_TRUE(stdout_echoes_log(program.out(), program.raw_log(), is_console_mode_line));
    EXPECT_EQ(program.err(), "");
}

TEST(CameraDrop, ReadingsResumeWithoutANewLogin)
{
    CameraSim sim({"--drop-after-seconds", "1", "--away-seconds", "2"});
    Program program({"-s", sim.url()});
    ASSERT_TRUE(program.wait_for(kLinkLost, kReadingTimeout)) << program.out();
    ASSERT_TRUE(program.wait_for_after(kLinkLost, kReading, kReturnTimeout))
        << program.out() << "\ncamera:\n"
        << sim.out();
    ASSERT_TRUE(program.proc().running()) << program.out();
    EXPECT_TRUE(sim.wait_for("listening again on", kLineTimeout)) << sim.out();

    expect_orderly_end(program);
    EXPECT_EQ(count_prefixed(program.log(), "NET_DVR_GET_MANUALTHERM_INFO failed, error code: 9"), 1u);

    // The readings after the loss are ones the camera sent after its return.
    const std::string camera = sim.out();
    const size_t back = camera.find("listening again on");
    ASSERT_NE(back, std::string::npos) << camera;
    EXPECT_NE(camera.find("record ", back), std::string::npos) << camera;
    EXPECT_EQ(count_of(camera, "stream started"), 2u) << camera;
}

// The camera stays connected but answers nothing, like a hung process whose
// TCP stack still acknowledges.
TEST(CameraDrop, AFrozenCameraIsNoticedAndReadingsResumeOnceItAnswersAgain)
{
    CameraSim sim({"--freeze-after-seconds", "2", "--freeze-seconds", "8"});
    Program program({"-s", sim.url()});
    ASSERT_TRUE(program.wait_until_reading()) << program.out();
    const std::optional<Line> frozen =
        sim.process().wait_for_line([](const std::string &l) { return l.rfind("freezing after", 0) == 0; },
                                    kReadingTimeout);
    ASSERT_TRUE(frozen) << sim.out();
    const std::string lost_text = "] NET_DVR_GET_MANUALTHERM_INFO failed, error code: 10";
    const std::optional<Line> lost = program.proc().wait_for_line(
        [&](const std::string &l) { return l.find(lost_text) != std::string::npos; }, 20s);
    ASSERT_TRUE(lost) << program.out();
    EXPECT_LT(lost->when - frozen->when, 15s);

    const std::optional<Line> back = sim.process().wait_for_line(
        [](const std::string &l) { return l.rfind("answering again", 0) == 0; }, 20s);
    ASSERT_TRUE(back) << sim.out();
    const std::optional<Line> resumed = line_after(program, lost_text, kReading, kReturnTimeout);
    ASSERT_TRUE(resumed) << program.out() << "\ncamera:\n" << sim.out();
    EXPECT_LE(resumed->when - back->when, kReconnectInterval + 1s);

    expect_orderly_end(program);
    EXPECT_EQ(count_prefixed(program.log(), "NET_DVR_GET_MANUALTHERM_INFO failed, error code: "), 1u)
        << program.raw_log();
    EXPECT_EQ(count_of(sim.out(), "stream started"), 2u) << sim.out();
}

// After a drop the camera takes the login but refuses the stream once; the
// SDK asks again on the same login, and the camera then streams.
TEST(CameraDrop, AStreamRefusedAfterADropIsAskedForAgainUntilReadingsResume)
{
    CameraSim sim({"--drop-after-seconds", "1", "--away-seconds", "1", "--refuse-stream", "23",
                   "--refuse-stream-after", "1", "--refuse-stream-count", "1"});
    Program program({"-s", sim.url()});
    const std::string refused = "] NET_DVR_GET_MANUALTHERM_INFO failed, error code: 23";
    ASSERT_TRUE(program.wait_for(kLinkLost, kReadingTimeout)) << program.out();
    ASSERT_TRUE(program.wait_for(refused, kReturnTimeout)) << program.out() << "\ncamera:\n" << sim.out();
    ASSERT_TRUE(line_after(program, refused, kReading, kReturnTimeout))
        << program.out() << "\ncamera:\n"
        << sim.out();

    expect_orderly_end(program);
    EXPECT_EQ(count_prefixed(program.log(), "NET_DVR_GET_MANUALTHERM_INFO failed, error code: 23"), 1u);
    const std::string camera = sim.out();
    EXPECT_EQ(count_of(camera, "stream refused: code 23"), 1u) << camera;
    EXPECT_EQ(count_of(camera, "stream started"), 2u) << camera;
    EXPECT_EQ(count_of(camera, "user=admin: accepted"), 2u) << camera;  // asked again without a new login
}

}  // namespace
}  // namespace e2e
