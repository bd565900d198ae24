#pragma once
// The GPU search that answers a pool's BLAKE3 challenge.
//
// A nonce answers the challenge (seed, difficulty) when the BLAKE3 hash of the
// 40 bytes seed || nonce (the nonce as 8 little-endian bytes) begins with
// `difficulty` zero bits, counted from the most significant bit of the first
// digest byte. `b3sum` over those 40 bytes shows such a digest as hex text
// starting with difficulty / 4 zero digits.
#include <cstdint>

#include "proof/challenge_search.h"

// The largest difficulty the solver searches for: every bit of the digest.
constexpr uint64_t kMaxChallengeDifficultyBits = 256;

// The error raised for a difficulty above kMaxChallengeDifficultyBits.
constexpr const char* kChallengeDifficultyTooHigh = "BLAKE3 challenge difficulty exceeds 256 bits";

// Raises std::runtime_error(kChallengeDifficultyTooHigh) unless the solver
// supports the difficulty. Takes the full 64-bit value so that callers test it
// before narrowing.
void check_challenge_difficulty(uint64_t difficulty);

// Searches nonces upwards from 0 on the calling thread's current device
// (default stream), one launch after another, and returns an answering nonce
// of the first launch that reports one. Blocks until then, or until the
// search gives up within `limit` (ChallengeSearchAbandoned). Raises
// std::runtime_error for an unsupported difficulty (before touching the GPU),
// an exhausted nonce space, or a failed CUDA step ("<step>: <CUDA error
// text>"); no device memory outlives the call.
uint64_t solve_blake3_challenge_gpu(const uint8_t seed[32], uint32_t difficulty,
                                    const ChallengeSearchLimit& limit = ChallengeSearchLimit::steady());
