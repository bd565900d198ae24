#include "launch_regions.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

bool RegionPair::holds(const LaunchCandidate& winner, const LaunchCandidate& loser) const {
  if (!earlier.holds(winner) || !later.holds(loser)) return false;
  const bool same_tile = winner.tile_m == loser.tile_m && winner.tile_n == loser.tile_n;
  switch (together) {
    case Together::other_tiles: return !same_tile;
    case Together::same_tile: return same_tile;
    case Together::same_warp: return same_tile && winner.thread / 32 == loser.thread / 32;
  }
  return false;
}

namespace {

constexpr uint32_t kKeyLimit = 1u << 16;

// The first numbered key whose digests satisfy `wanted`, or none.
template <typename Wanted>
std::optional<uint32_t> first_key(Wanted&& wanted) {
  for (uint32_t index = 0; index < kKeyLimit; ++index) {
    if (wanted(numbered_digest_key(index))) return index;
  }
  return std::nullopt;
}

}  // namespace

void expect_region_reported(const GpuBackendDescriptor& row, MiningAttempt& attempt,
                            const LaunchCandidates& candidates, const std::string& what, const Region& region) {
  SCOPED_TRACE("region=" + what);
  size_t chosen = 0;
  std::vector<Digest> digests;
  const auto key = first_key([&](const std::vector<uint8_t>& k) {
    digests = candidates.digests(k);
    chosen = smallest_two(digests).first;
    return region.holds(candidates[chosen]);
  });
  ASSERT_TRUE(key) << "no key puts the smallest digest in the region";
  ASSERT_EQ(attempt.mine(row, target_at(digests[chosen]), numbered_digest_key(*key)), cudaSuccess);
  expect_reported(attempt.header(), candidates[chosen], digests[chosen], candidates.tile_width());
}

void expect_pair_elected(const GpuBackendDescriptor& row, MiningAttempt& attempt,
                         const LaunchCandidates& candidates, const std::string& what, const RegionPair& pair) {
  SCOPED_TRACE("region=" + what);
  SmallestTwo two{};
  std::vector<Digest> digests;
  const auto key = first_key([&](const std::vector<uint8_t>& k) {
    digests = candidates.digests(k);
    two = smallest_two(digests);
    // Ranks are the election order: the second smallest digest must rank first.
    return two.second < two.first && pair.holds(candidates[two.second], candidates[two.first]);
  });
  ASSERT_TRUE(key) << "no key puts the two smallest digests in the pair's regions";
  ASSERT_EQ(attempt.mine(row, target_at(digests[two.second]), numbered_digest_key(*key)), cudaSuccess);
  expect_reported(attempt.header(), candidates[two.second], digests[two.second], candidates.tile_width());
}

void expect_zero_transcript_unreported(const GpuBackendDescriptor& row, MiningAttempt& attempt,
                                       const LaunchCandidates& candidates, const std::string& what) {
  SCOPED_TRACE("region=" + what);
  Digest zero{};
  const auto key = first_key([&](const std::vector<uint8_t>& k) {
    const std::vector<Digest> digests = candidates.digests(k);
    zero = zero_transcript_digest(k);
    return zero < digests[smallest_two(digests).first];
  });
  ASSERT_TRUE(key) << "no key puts the zero transcript's digest below every candidate's";
  ASSERT_EQ(attempt.mine(row, target_at(zero), numbered_digest_key(*key)), cudaSuccess);
  const HostSignalHeader& h = attempt.header();
  EXPECT_EQ(h.status, 0u) << "tile (" << h.tile_m_index << ", " << h.tile_n_index << ") thread "
                          << h.candidate_thread << " reported";
}
