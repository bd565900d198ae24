// Every region of a launch, on every mining row: a fault that corrupts only
// one tile, one sub-tile, one CTA of a pair or one cluster must change what
// the launch reports (launch_regions.h: a key and target per region, so that
// only that region's candidate meets it; a pair of regions both meeting it,
// where the election must choose). The CPU replays the launch's candidates
// once per row. Padded grids also get a key under which an all-zero
// transcript (what a surplus block would fold from the zero rows past m, or
// from the tensor copies' zero fill) beats every real candidate: the launch
// must report nothing.
#include <ostream>
#include <string>
#include <vector>

#include "launch_candidates.h"
#include "launch_regions.h"
#include "mining_attempt.h"
#include "row_device_test.h"

namespace {

constexpr const char* kHopperDevice = "9.0,Host H100,4096,8";
constexpr const char* kB200Device = "10.0,Host B200,4096,148";
constexpr const char* kB300Device = "10.3,Host B300,4096,148";
constexpr int kAny = kAnyTile;

struct RegionRow {
  const char* name;
  const char* force;
  const char* device;
  AttemptShape shape;
  int tile_width;  // columns of a reported tile
  std::vector<Region> regions;
  std::vector<RegionPair> pairs;
};

void PrintTo(const RegionRow& r, std::ostream* os) { *os << r.name; }

using RowRegionTest = RowDeviceTest<RegionRow>;

TEST_P(RowRegionTest, EachRegionsOwnCandidateIsReportedAndTheElectionPicksTheEarlierOfTwo) {
  on_fresh_thread([this] {
    const RegionRow& r = GetParam();
    const GpuBackendDescriptor& row = forced_row(r.force);
    MiningAttempt attempt(r.shape);
    const LaunchCandidates candidates(attempt, r.tile_width);
    for (const Region& region : r.regions) {
      expect_region_reported(row, attempt, candidates, std::string(r.name) + "/" + region.name, region);
    }
    for (const RegionPair& pair : r.pairs) {
      expect_pair_elected(row, attempt, candidates, std::string(r.name) + "/" + pair.name, pair);
    }
  });
}

// Regions of 128 x 128 tiles over a 2 x 2 tile launch.
std::vector<Region> square_regions() {
  return {{"first_tile", 0, 0, 0, 127}, {"m_tile_1", 1, 0, 0, 63}, {"last_tile", 1, 1, 64, 127}};
}

// Pairs every row has: two lanes of one warp, two tiles.
std::vector<RegionPair> common_pairs() {
  const Region any{"any", kAny, kAny, 0, 255};
  return {{"one_warp", any, any, Together::same_warp}, {"two_tiles", any, any, Together::other_tiles}};
}

// Wide 128 x 256 tiles over a 2 x 2 tile launch: the first tile, M tile 1,
// the second 128-column sub-tile, the last tile.
std::vector<Region> wide_regions() {
  return {{"first_tile", 0, 0, 0, 127},
          {"m_tile_1", 1, 0, 0, 127},
          {"sub_tile_1", 0, 0, 128, 255},
          {"last_tile", 1, 1, 128, 255}};
}

std::vector<RegionPair> wide_pairs() {
  std::vector<RegionPair> pairs = common_pairs();
  pairs.push_back({"two_sub_tiles", {"sub_tile_0", kAny, kAny, 0, 127}, {"sub_tile_1", kAny, kAny, 128, 255},
                   Together::same_tile});
  return pairs;
}

RegionRow square_row(const char* name, const char* force, const char* device, AttemptShape shape) {
  return {name, force, device, shape, 128, square_regions(), common_pairs()};
}

RegionRow wide_row(const char* name, const char* force, const char* device, AttemptShape shape) {
  return {name, force, device, shape, 256, wide_regions(), wide_pairs()};
}

// The two-SM rows report 128 x 128 sub-tiles. The grid is (2 x M pairs of
// CTAs, N tiles of a pair) in 2 x 2 clusters: CTA x takes M tile x, cluster
// ranks 2 and 3 the second N tile of the cluster; B200 pairs span two
// sub-tiles (N tile 2y + j), B300 pairs one.
RegionRow b200_row() {
  return {"b200",
          "blackwell-b200",
          kB200Device,
          {512, 512, 256, 128},
          128,
          {{"first_tile", 0, 0, 0, 127},
           {"odd_cta", 1, 0, 0, 127},
           {"sub_tile_1", 0, 1, 0, 127},
           {"cluster_ranks_2_3", 0, 2, 0, 127},
           {"second_cluster", 2, 0, 0, 127},
           {"last_tile", 3, 3, 64, 127}},
          {common_pairs()[0],
           common_pairs()[1],
           {"cta_pair", {"even_cta", 0, 0, 0, 127}, {"odd_cta", 1, 0, 0, 127}, Together::other_tiles},
           {"two_sub_tiles", {"sub_tile_0", 0, 0, 0, 127}, {"sub_tile_1", 0, 1, 0, 127}, Together::other_tiles}}};
}

RegionRow b300_row() {
  return {"b300",
          "blackwell-b300",
          kB300Device,
          {512, 256, 256, 128},
          128,
          {{"first_tile", 0, 0, 0, 127},
           {"odd_cta", 1, 0, 0, 127},
           {"cluster_ranks_2_3", 0, 1, 0, 127},
           {"second_cluster", 2, 0, 0, 127},
           {"last_tile", 3, 1, 64, 127}},
          {common_pairs()[0],
           common_pairs()[1],
           {"cta_pair", {"even_cta", 0, 0, 0, 127}, {"odd_cta", 1, 0, 0, 127}, Together::other_tiles}}};
}

// Hopper: (1, 8) clusters along n, so M tile 1 is the second cluster and N
// tile 1 cluster rank 1; the second consumer warp group takes sub-tile 1.
// Its launches (and the native row's) are the slowest on the host device, so
// they take one step of k here; the deep pipeline table takes many.
RegionRow hopper_row() {
  RegionRow r = wide_row("hopper", "hopper", kHopperDevice, {256, 512, 128, 128});
  r.regions.push_back({"cluster_rank_1", 0, 1, 0, 127});
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowRegionTest,
    ::testing::Values(square_row("dp2a", "cmp170hx-dp2a", kCmp170hxDevice, {256, 256, 128, 64}),
                      square_row("scalar", "cmp170hx-scalar", kCmp170hxDevice, {256, 256, 128, 64}),
                      square_row("volta", "volta", kCmp170hxDevice, {256, 256, 128, 64}),
                      square_row("turing", "turing", kTuringDevice, {256, 256, 128, 64}),
                      // Nine M tiles: the ninth is the first of the second group of eight.
                      RegionRow{"turing_groups", "turing", kTuringDevice, {1152, 128, 128, 64}, 128,
                                {{"second_group", 8, 0, 0, 127}}, {}},
                      square_row("ampere", "ampere", kAmpereDevice, {256, 256, 128, 64}),
                      square_row("cmp170hx", "cmp170hx", kCmp170hxDevice, {256, 256, 256, 128}),
                      wide_row("ada", "ada", kAdaDevice, {256, 512, 256, 128}), hopper_row(),
                      wide_row("blackwell", "blackwell", kRtx5090Device, {256, 512, 256, 128}),
                      wide_row("native", "blackwell-native", kRtx5090Device, {256, 512, 128, 128}), b200_row(),
                      b300_row()),
    [](const ::testing::TestParamInfo<RegionRow>& info) { return std::string(info.param.name); });

// A one-tile launch of a padded grid, with zero rows past m for every M tile
// the grid pads to (8, 16, 64 or 128 tiles), which its surplus blocks would
// read were they to mine; the hopper grid pads along n, past which the
// tensor copies fill zeros.
struct SurplusRow {
  const char* name;
  const char* force;
  const char* device;
  AttemptShape shape;
  int tile_width;
  int spare_a_rows;
};

void PrintTo(const SurplusRow& r, std::ostream* os) { *os << r.name; }

using RowSurplusTest = RowDeviceTest<SurplusRow>;

TEST_P(RowSurplusTest, SurplusBlocksReportNothingWhereTheirZeroTranscriptWouldWin) {
  on_fresh_thread([this] {
    const SurplusRow& r = GetParam();
    MiningAttempt attempt(r.shape, r.spare_a_rows);
    const LaunchCandidates candidates(attempt, r.tile_width);
    expect_zero_transcript_unreported(forced_row(r.force), attempt, candidates, std::string(r.name) + "/surplus");
  });
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RowSurplusTest,
    ::testing::Values(SurplusRow{"turing", "turing", kTuringDevice, {128, 128, 128, 64}, 128, 7 * 128},
                      SurplusRow{"ampere", "ampere", kAmpereDevice, {128, 128, 128, 64}, 128, 7 * 128},
                      SurplusRow{"cmp170hx", "cmp170hx", kCmp170hxDevice, {128, 128, 128, 128}, 128, 15 * 128},
                      SurplusRow{"ada", "ada", kAdaDevice, {128, 256, 128, 128}, 256, 63 * 128},
                      SurplusRow{"hopper", "hopper", kHopperDevice, {128, 256, 128, 128}, 256, 0},
                      SurplusRow{"blackwell", "blackwell", kRtx5090Device, {128, 256, 128, 128}, 256, 127 * 128},
                      SurplusRow{"native", "blackwell-native", kRtx5090Device, {128, 256, 128, 128}, 256,
                                 127 * 128}),
    [](const ::testing::TestParamInfo<SurplusRow>& info) { return std::string(info.param.name); });

}  // namespace
