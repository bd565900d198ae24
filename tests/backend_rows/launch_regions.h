#pragma once
// Regions of a mining launch and the checks that the launch reports a chosen
// region's candidate. The CPU replays every candidate once (LaunchCandidates);
// a check then takes the first digest key of a fixed numbered sequence under
// which the launch's smallest digest belongs to the region, and sets the
// target to that digest, so that this candidate alone meets it and the kernel
// must report exactly it. A pair of regions takes a key under which the two
// smallest digests lie one in each, the smaller in the candidate the election
// ranks later: the target lets both through and the election must choose the
// earlier one. The kernels take the digest key as an argument, so one replay
// serves every key.
#include <cstdint>
#include <string>

#include "launch_candidates.h"
#include "mining_attempt.h"

constexpr int kAnyTile = -1;

// Candidates of one tile (or of any tile) whose thread lies in [first, last].
struct Region {
  const char* name;
  int tile_m;
  int tile_n;
  int first_thread;
  int last_thread;

  bool holds(const LaunchCandidate& c) const {
    return (tile_m == kAnyTile || c.tile_m == uint32_t(tile_m)) &&
           (tile_n == kAnyTile || c.tile_n == uint32_t(tile_n)) && c.thread >= first_thread &&
           c.thread <= last_thread;
  }
};

// How the two candidates of a pair lie to each other.
enum class Together { other_tiles, same_tile, same_warp };

// The election's winner comes from `earlier`, the smaller digest from `later`.
struct RegionPair {
  const char* name;
  Region earlier;
  Region later;
  Together together;

  bool holds(const LaunchCandidate& winner, const LaunchCandidate& loser) const;
};

// Mines `attempt` through `row` with a key and target that only the region's
// candidate meets, and expects exactly that candidate. `what` names the check
// in failure messages ("region=<what>").
void expect_region_reported(const GpuBackendDescriptor& row, MiningAttempt& attempt,
                            const LaunchCandidates& candidates, const std::string& what, const Region& region);

// The same with a target both candidates of the pair meet: the earlier wins.
void expect_pair_elected(const GpuBackendDescriptor& row, MiningAttempt& attempt,
                         const LaunchCandidates& candidates, const std::string& what, const RegionPair& pair);

// Mines `attempt` with a key under which an all-zero transcript's digest lies
// below every candidate's, and that digest as the target: a block mining zero
// rows (past m, or a tensor copy's zero fill) would meet it, no real
// candidate does, so nothing may be reported.
void expect_zero_transcript_unreported(const GpuBackendDescriptor& row, MiningAttempt& attempt,
                                       const LaunchCandidates& candidates, const std::string& what);
