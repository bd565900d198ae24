#pragma once
// The transcript fold of one consumer warp group after a rank step, without
// block barriers or atomics.
//
// Candidate c (0..255, the consumer thread that owns it) opens rows
// 64 ((c / 32) mod 2) + c mod 32 and that row + 32, and columns 64 (c / 64)
// to 64 (c / 64) + 63. Warp group G multiplies columns 128 G .. 128 G + 127,
// so it holds and owns candidates 128 G .. 128 G + 127 entirely.
//
// 1. In-fragment: each thread XORs its 128 accumulators into 8 partials, one
//    per (half h, row offset r = (v / 2) mod 2, column block b = v / 32).
// 2. Shuffles: the four lanes of a quad (same rows, interleaved columns)
//    reduce the 8 partials in two halving exchanges; lane e of the quad ends
//    with the full row folds of partials (h, e / 2, e mod 2) for h = 0, 1.
// 3. Slots: each thread stores its two row folds into its row pair's slot
//    (warps 0, 1 hold the candidates' first rows, warps 2, 3 the rows 32
//    below), arrives on the group's fold barrier, and after the phase
//    completes the owner XORs its two slots. Slots and barriers alternate
//    between two sets: a set is written again only after every thread has
//    passed the next fold, so after it has read this one.
#include <cstdint>

#include "core/device_instructions.h"
#include "gemm/hopper_tile_math.h"

namespace vexal::hopper_detail {

struct FoldExchange {
  uint32_t slots[2][2][128];  // [set][row pair][candidate within the group]
  uint64_t barriers[2];       // [set], 128 arrivals each
};

// Partial p = 4 h + 2 r + b.
__device__ __forceinline__ void fold_fragment(const GroupAccumulators& a, uint32_t (&partial)[8]) {
#pragma unroll
  for (int p = 0; p < 8; ++p) partial[p] = 0;
#pragma unroll
  for (int h = 0; h < 2; ++h) {
#pragma unroll
    for (int v = 0; v < 64; ++v) partial[4 * h + 2 * ((v / 2) % 2) + v / 32] ^= a.acc[h][v];
  }
}

// Returns the quad-wide folds of partials 4 h + (lane mod 4), h = 0, 1.
__device__ __forceinline__ void reduce_quad(const uint32_t (&partial)[8], int lane, uint32_t (&out)[2]) {
  const bool odd = (lane & 1) != 0;
  uint32_t pairs[4];
#pragma unroll
  for (int j = 0; j < 4; ++j) {
    const uint32_t keep = odd ? partial[2 * j + 1] : partial[2 * j];
    const uint32_t give = odd ? partial[2 * j] : partial[2 * j + 1];
    pairs[j] = keep ^ __shfl_xor_sync(0xffffffffu, give, 1);
  }
  const bool high = (lane & 2) != 0;
#pragma unroll
  for (int j = 0; j < 2; ++j) {
    const uint32_t keep = high ? pairs[2 * j + 1] : pairs[2 * j];
    const uint32_t give = high ? pairs[2 * j] : pairs[2 * j + 1];
    out[j] = keep ^ __shfl_xor_sync(0xffffffffu, give, 2);
  }
}

// Thread t of the group (warp w, lane l): the candidate within the group whose
// row fold its quad reduction left in out[h].
__device__ __forceinline__ int fold_candidate(int t, int h) {
  const int warp = t / 32;
  const int lane = t % 32;
  const int e = lane % 4;
  const int row = 16 * (warp % 2) + lane / 4 + 8 * (e / 2);  // within the 32-row block
  return 64 * (e % 2) + 32 * h + row;
}

// Folds the group's accumulators; returns the fold of thread t's own candidate.
__device__ __forceinline__ uint32_t fold_group(const GroupAccumulators& a, FoldExchange& exchange,
                                               int t, int fold_index) {
  uint32_t partial[8];
  fold_fragment(a, partial);
  uint32_t rows[2];
  reduce_quad(partial, t % 32, rows);
  const int set = fold_index & 1;
  const int pair = (t / 32) / 2;
#pragma unroll
  for (int h = 0; h < 2; ++h) exchange.slots[set][pair][fold_candidate(t, h)] = rows[h];
  device_instructions::mbarrier_arrive(&exchange.barriers[set]);
  device_instructions::mbarrier_wait_parity(&exchange.barriers[set],
                                            static_cast<uint32_t>((fold_index >> 1) & 1));
  return exchange.slots[set][0][t] ^ exchange.slots[set][1][t];
}

}  // namespace vexal::hopper_detail
