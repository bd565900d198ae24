#pragma once
// The bound on a BLAKE3 challenge search: the connection it answers for is
// held for the whole search, so it gives up rather than search for ever.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

// The longest a pool waits for any reply; no search runs longer.
inline constexpr int64_t kChallengeSearchLimitNs = 60LL * 1000 * 1000 * 1000;

struct ChallengeSearchLimit {
  std::function<int64_t()> now_ns;  // steady-clock nanoseconds
  int64_t limit_ns = kChallengeSearchLimitNs;
  // The steady clock and the 60 s limit.
  static ChallengeSearchLimit steady() {
    return {[] {
              return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
            },
            kChallengeSearchLimitNs};
  }
};

// Why a search gave up.
enum class ChallengeGiveUp {
  TimeLimit,     // it ran for the whole limit
  BeyondDevice,  // after the first launch: 2^difficulty expected nonces are
                 // more than the device covers in the limit at that launch's rate
};

// Raised by a search that gives up; the pool connection it serves is
// abandoned like any other that fails.
struct ChallengeSearchAbandoned : std::runtime_error {
  ChallengeSearchAbandoned(uint32_t difficulty_bits, int64_t searched_ns, ChallengeGiveUp why)
      : std::runtime_error("BLAKE3 challenge search abandoned difficulty=" + std::to_string(difficulty_bits) +
                           (why == ChallengeGiveUp::TimeLimit ? " reason=time_limit" : " reason=beyond_device")),
        difficulty(difficulty_bits),
        elapsed_ns(searched_ns),
        reason(why) {}
  uint32_t difficulty;
  int64_t elapsed_ns;
  ChallengeGiveUp reason;
};

// One launch: searches the nonces base .. base + per_launch - 1 and returns
// whether one answers, storing it in `nonce`.
using ChallengeLaunch = std::function<bool(uint64_t base, uint64_t& nonce)>;

namespace challenge_search_detail {

// Whether 2^difficulty nonces, the expected number to try, take longer than
// the limit at the rate of a first launch that covered `per_launch` nonces in
// `launch_ns`.
inline bool beyond_device(uint32_t difficulty, uint64_t per_launch, int64_t launch_ns, int64_t limit_ns) {
  if (launch_ns <= 0) return false;  // no measurable time: no estimate
  const double expected_nonces = std::ldexp(1.0, static_cast<int>(difficulty));
  const double reachable_nonces =
      static_cast<double>(per_launch) * static_cast<double>(limit_ns) / static_cast<double>(launch_ns);
  return expected_nonces > reachable_nonces;
}

}  // namespace challenge_search_detail

// Runs launches over consecutive blocks of `per_launch` nonces from 0 until
// one finds a nonce, and returns it. Raises ChallengeSearchAbandoned once the
// limit has passed, or after a first launch whose rate shows the difficulty
// out of reach within the limit; std::runtime_error "BLAKE3 challenge nonce
// space exhausted" when the nonces run out. Launch failures pass through.
inline uint64_t search_challenge_nonces(uint32_t difficulty, uint64_t per_launch,
                                        const ChallengeSearchLimit& limit, const ChallengeLaunch& launch) {
  const int64_t started = limit.now_ns();
  uint64_t base = 0;
  for (bool first = true;; first = false) {
    uint64_t nonce = 0;
    if (launch(base, nonce)) return nonce;
    const int64_t elapsed = limit.now_ns() - started;
    if (elapsed >= limit.limit_ns) {
      throw ChallengeSearchAbandoned(difficulty, elapsed, ChallengeGiveUp::TimeLimit);
    }
    if (first && challenge_search_detail::beyond_device(difficulty, per_launch, elapsed, limit.limit_ns)) {
      throw ChallengeSearchAbandoned(difficulty, elapsed, ChallengeGiveUp::BeyondDevice);
    }
    base += per_launch;
    if (base < per_launch) throw std::runtime_error("BLAKE3 challenge nonce space exhausted");
  }
}
