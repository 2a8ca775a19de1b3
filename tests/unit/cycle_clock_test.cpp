// Where the main loop's next cycle falls: on its deadline, late, or past
// cycles it skips.
#include "cycle_clock.h"

#include <gtest/gtest.h>

namespace unit {
namespace {

constexpr int64_t kPeriod = 1000;

struct PlaceCase {
    const char *name;
    int64_t now;           // the deadline is 10000
    int64_t deadline;      // where the cycle is placed
    int64_t skipped;
};

class PlaceCycleTest : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(PlaceCycleTest, KeepsTheGridAndSkipsOnlyWholeMissedCycles)
{
    const cycle_slot slot = place_cycle(10000, GetParam().now, kPeriod);
    EXPECT_EQ(slot.deadline_ns, GetParam().deadline);
    EXPECT_EQ(slot.skipped, GetParam().skipped);
}

INSTANTIATE_TEST_SUITE_P(
    Times, PlaceCycleTest,
    ::testing::Values(PlaceCase{"Early", 9400, 10000, 0}, PlaceCase{"OnTime", 10000, 10000, 0},
                      PlaceCase{"LateWithinAPeriod", 10999, 10000, 0}, PlaceCase{"OnePeriodLate", 11000, 11000, 1},
                      PlaceCase{"PausedForSeconds", 13500, 13000, 3}),
    [](const ::testing::TestParamInfo<PlaceCase> &info) { return info.param.name; });

}  // namespace
}  // namespace unit
