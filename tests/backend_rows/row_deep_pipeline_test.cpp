// Every pipelined mining kernel driven through at least four rounds of its
// shared-memory stages (k at least 4 x stages x the K tile), so that each
// stage is refilled several times and its barriers' phase parity returns to
// where it started, with a count of rank steps that the stage count does not
// divide (so the steps and the stages fall out of step) and above 16 (so
// transcript words are taken twice). A candidate of the launch's first and
// of its last region must each be reported exactly (launch_regions.h); the
// harness runs every test again under the hostile schedule.
#include <ostream>
#include <string>
#include <vector>

#include "launch_candidates.h"
#include "launch_regions.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

struct DeepRow {
  const char* name;
  const char* force;
  const char* device;
  AttemptShape shape;
  int tile_width;  // columns of a reported tile
  int stages;
  int k_tile;  // elements of k per stage
  std::vector<Region> regions;
};

void PrintTo(const DeepRow& r, std::ostream* os) { *os << r.name; }

using RowDeepPipelineTest = RowDeviceTest<DeepRow>;

TEST_P(RowDeepPipelineTest, FirstAndLastRegionsAreReportedAfterManyRoundsOfTheStages) {
  const DeepRow& r = GetParam();
  const int steps = r.shape.k / r.shape.rank;
  ASSERT_GE(r.shape.k, 4 * r.stages * r.k_tile) << "fewer than four rounds of the stages";
  ASSERT_NE(steps % r.stages, 0) << "the steps would stay in step with the stages";
  on_fresh_thread([&r] {
    const GpuBackendDescriptor& row = forced_row(r.force);
    MiningAttempt attempt(r.shape);
    const LaunchCandidates candidates(attempt, r.tile_width);
    for (const Region& region : r.regions) {
      expect_region_reported(row, attempt, candidates, std::string(r.name) + "/deep/" + region.name, region);
    }
  });
}

// One tile of 128 x 128: its two column halves.
std::vector<Region> square_halves() { return {{"columns_0_63", 0, 0, 0, 63}, {"columns_64_127", 0, 0, 64, 127}}; }
// One tile of 128 x 256: its two sub-tiles.
std::vector<Region> wide_halves() { return {{"sub_tile_0", 0, 0, 0, 127}, {"sub_tile_1", 0, 0, 128, 255}}; }

INSTANTIATE_TEST_SUITE_P(
    Rows, RowDeepPipelineTest,
    ::testing::Values(
        // 13 steps of one K tile through 3 stages.
        DeepRow{"ampere", "ampere", kAmpereDevice, {128, 128, 832, 64}, 128, 3, 64, square_halves()},
        // 9 steps of one K tile through 2 stages.
        DeepRow{"cmp170hx", "cmp170hx", kCmp170hxDevice, {128, 128, 1152, 128}, 128, 2, 128, square_halves()},
        DeepRow{"ada", "ada", kAdaDevice, {128, 256, 1152, 128}, 256, 2, 128, wide_halves()},
        DeepRow{"blackwell", "blackwell", kRtx5090Device, {128, 256, 1152, 128}, 256, 2, 128, wide_halves()},
        // Bulk tensor copies on two stage barriers.
        DeepRow{"native", "blackwell-native", kRtx5090Device, {128, 256, 1152, 128}, 256, 2, 128, wide_halves()},
        // 17 steps through 4 stages, full and empty barriers of a 1 x 8 cluster.
        DeepRow{"hopper", "hopper", "9.0,Host H100,4096,8", {128, 256, 2176, 128}, 256, 4, 128, wide_halves()},
        // One 2 x 2 cluster: 9 steps through 2 stages; the even CTA's first
        // sub-tile and the odd CTA's last, in the second pair.
        DeepRow{"b200", "blackwell-b200", "10.0,Host B200,4096,148", {256, 512, 1152, 128}, 128, 2, 128,
                {{"even_cta_first_tile", 0, 0, 0, 127}, {"odd_cta_last_tile", 1, 3, 0, 127}}},
        // bfloat16 K tiles of 64: 10 tiles through 2 stages, 5 steps.
        DeepRow{"b300", "blackwell-b300", "10.3,Host B300,4096,148", {256, 256, 640, 128}, 128, 2, 64,
                {{"even_cta_first_tile", 0, 0, 0, 127}, {"odd_cta_last_tile", 1, 1, 0, 127}}}),
    [](const ::testing::TestParamInfo<DeepRow>& info) { return std::string(info.param.name); });

}  // namespace
