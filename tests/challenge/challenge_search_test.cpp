// How a challenge search gives up: launches stand in for the device, and a
// clock the launches move stands in for its speed.
#include "proof/challenge_search.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

constexpr int64_t kSecondNs = 1000LL * 1000 * 1000;

struct SearchCase {
  const char* name;
  uint32_t difficulty;
  uint64_t per_launch;
  int64_t launch_ns;                  // clock time each launch takes
  std::optional<uint64_t> finder;     // the first nonce that answers, if any
  // Expected: a nonce, or the reason the search gave up after `launches`.
  std::optional<uint64_t> nonce;
  std::optional<ChallengeGiveUp> gave_up;
  uint64_t launches;
};

TEST(ChallengeSearchTest, GivesUpAtTheLimitOrWhenTheFirstLaunchShowsTheWorkOutOfReach) {
  const SearchCase cases[] = {
      {"found in the first launch", 8, 1024, kSecondNs, 700, 700, std::nullopt, 1},
      {"found in a later launch", 15, 1024, kSecondNs, 40000, 40000, std::nullopt, 40},
      // 2^16 expected nonces at 1024 per second: 64 s, beyond the 60 s limit.
      {"difficulty beyond the device", 16, 1024, kSecondNs, std::nullopt, std::nullopt,
       ChallengeGiveUp::BeyondDevice, 1},
      {"difficulty 64", 64, 8388608, kSecondNs, std::nullopt, std::nullopt, ChallengeGiveUp::BeyondDevice, 1},
      // 2^15 expected nonces: 32 s, within reach, but this seed is unlucky.
      {"within reach but unlucky", 15, 1024, kSecondNs, std::nullopt, std::nullopt, ChallengeGiveUp::TimeLimit,
       60},
      {"found just before the limit", 15, 1024, kSecondNs, 59 * 1024 + 3, 59 * 1024 + 3, std::nullopt, 60},
      {"a launch of no measurable time gives no estimate", 64, 1024, 0, 2100, 2100, std::nullopt, 3},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t now = 7 * kSecondNs;
    ChallengeSearchLimit limit{[&now] { return now; }, kChallengeSearchLimitNs};
    uint64_t launches = 0;
    uint64_t next_base = 0;
    const ChallengeLaunch launch = [&](uint64_t base, uint64_t& nonce) {
      EXPECT_EQ(base, next_base);
      next_base = base + c.per_launch;
      ++launches;
      now += c.launch_ns;
      if (c.finder && *c.finder >= base && *c.finder < base + c.per_launch) {
        nonce = *c.finder;
        return true;
      }
      return false;
    };
    try {
      const uint64_t nonce = search_challenge_nonces(c.difficulty, c.per_launch, limit, launch);
      EXPECT_EQ(std::optional<uint64_t>(nonce), c.nonce);
    } catch (const ChallengeSearchAbandoned& abandoned) {
      ASSERT_TRUE(c.gave_up.has_value()) << abandoned.what();
      EXPECT_EQ(abandoned.reason, *c.gave_up);
      EXPECT_EQ(abandoned.difficulty, c.difficulty);
      EXPECT_EQ(abandoned.elapsed_ns, static_cast<int64_t>(launches) * c.launch_ns);
    }
    EXPECT_EQ(launches, c.launches);
  }
}

TEST(ChallengeSearchTest, TheNonceSpaceEndsTheSearchWhenTheClockStandsStill) {
  ChallengeSearchLimit limit{[] { return int64_t{0}; }, kChallengeSearchLimitNs};
  uint64_t launches = 0;
  try {
    search_challenge_nonces(1, uint64_t{1} << 62, limit, [&launches](uint64_t, uint64_t&) {
      ++launches;
      return false;
    });
    ADD_FAILURE() << "no error";
  } catch (const ChallengeSearchAbandoned& abandoned) {
    ADD_FAILURE() << abandoned.what();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "BLAKE3 challenge nonce space exhausted");
  }
  EXPECT_EQ(launches, 4u);
}

}  // namespace
