#pragma once
// The per-step fold of the 128 x 256 tile on eight warps (2 along m, 4 along
// n) of the 16 x 8 x 32 MMA, as the ada, sm120 and native kernels hold it.
// The thread in warp w, lane l holds, for e, h in {0, 1}, i < 4 and j < 8,
// accumulator ((e, h), i, j) at row 32·i + 16·(w mod 2) + l / 4 + 8·h and
// column 32·j + 8·(w / 2) + 2·(l mod 4) + e. Candidate c owns rows 64·g + o
// and 64·g + o + 32 and columns 64·q to 64·q + 63 (o = c mod 32,
// g = (c / 32) mod 2, q = c / 64), so a thread's cells of one candidate differ
// only in e, i mod 2 and j mod 2, and the four lanes of a quad share their
// candidates. Each thread XORs its 16 candidates' cells, the quad splits the
// sums among its lanes with four shuffles' worth of exchanges (lane_sums,
// registers only, so that it can run among the next step's MMAs), and each
// lane adds its 4 sums to the candidates' words in shared memory (add); the
// four warps of one m half meet there. No barrier inside: the caller puts one
// between add and take, and take (which clears the word) before the next add
// into the same words.
#include <cstdint>

#include <cute/tensor.hpp>

#include "core/gpu_platform.h"

namespace wide_tile_folds {

constexpr int kCandidates = 256;

template <class Accumulators>
__device__ void lane_sums(const Accumulators& acc, uint32_t (&lane)[2][2]) {
  using namespace cute;
  static_assert(decltype(size<0>(acc))::value == 4 && decltype(size<1>(acc))::value == 4 &&
                    decltype(size<2>(acc))::value == 8,
                "the fragment of the 2 x 4 warps' 16 x 8 x 32 MMA over a 128 x 256 tile");
  const int quad_lane = static_cast<int>(threadIdx.x) % 4;
  // sums[q][g][h]: this thread's cells of the candidate of column group q,
  // row group g and row half h.
  uint32_t sums[4][2][2];
  CUTE_UNROLL
  for (int q = 0; q < 4; ++q) {
    CUTE_UNROLL
    for (int g = 0; g < 2; ++g) {
      CUTE_UNROLL
      for (int h = 0; h < 2; ++h) {
        uint32_t sum = 0;
        CUTE_UNROLL
        for (int e = 0; e < 2; ++e) {
          CUTE_UNROLL
          for (int i = 0; i < 2; ++i) {
            CUTE_UNROLL
            for (int j = 0; j < 2; ++j) {
              sum ^= static_cast<uint32_t>(acc(2 * h + e, 2 * g + i, 2 * q + j));
            }
          }
        }
        sums[q][g][h] = sum;
      }
    }
  }
  // Lane pairs 2 apart: each keeps the column groups whose bit 1 is its own.
  const bool high = (quad_lane & 2) != 0;
  uint32_t kept[2][2][2];
  CUTE_UNROLL
  for (int t = 0; t < 2; ++t) {
    CUTE_UNROLL
    for (int g = 0; g < 2; ++g) {
      CUTE_UNROLL
      for (int h = 0; h < 2; ++h) {
        const uint32_t keep = high ? sums[2 + t][g][h] : sums[t][g][h];
        const uint32_t give = high ? sums[t][g][h] : sums[2 + t][g][h];
        kept[t][g][h] = keep ^ __shfl_xor_sync(0xffffffffu, give, 2);
      }
    }
  }
  // Lane pairs 1 apart: each keeps column group quad_lane.
  const bool odd = (quad_lane & 1) != 0;
  CUTE_UNROLL
  for (int g = 0; g < 2; ++g) {
    CUTE_UNROLL
    for (int h = 0; h < 2; ++h) {
      const uint32_t keep = odd ? kept[1][g][h] : kept[0][g][h];
      const uint32_t give = odd ? kept[0][g][h] : kept[1][g][h];
      lane[g][h] = keep ^ __shfl_xor_sync(0xffffffffu, give, 1);
    }
  }
}

// The lane's sums into their candidates' words.
__device__ inline void add(const uint32_t (&lane)[2][2], uint32_t* folds) {
  const int thread = static_cast<int>(threadIdx.x);
  const int row_in_group = 16 * ((thread / 32) % 2) + (thread % 32) / 4;
  const int quad_lane = thread % 4;
  CUTE_UNROLL
  for (int g = 0; g < 2; ++g) {
    CUTE_UNROLL
    for (int h = 0; h < 2; ++h) {
      atomicXor(&folds[64 * quad_lane + 32 * g + row_in_group + 8 * h], lane[g][h]);
    }
  }
}

// The fold of this thread's candidate; its word is left cleared.
__device__ inline uint32_t take(uint32_t* folds) {
  const int thread = static_cast<int>(threadIdx.x);
  const uint32_t fold = folds[thread];
  folds[thread] = 0u;
  return fold;
}

}  // namespace wide_tile_folds
