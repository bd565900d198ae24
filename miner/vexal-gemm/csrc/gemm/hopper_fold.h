#pragma once
// The transcript fold of one consumer warp group after a rank step, without
// block barriers, atomics or shuffles.
//
// Candidate c (0..255, the consumer thread that owns it) opens rows
// 64 ((c / 32) mod 2) + c mod 32 and that row + 32, and columns 64 (c / 64)
// to 64 (c / 64) + 63. Warp group G multiplies columns 128 G .. 128 G + 127,
// so it holds and owns candidates 128 G .. 128 G + 127 entirely.
//
// 1. In-thread: each thread XORs its 128 accumulators into 8 partials, one
//    per (half h, row offset r = (v / 2) mod 2, column block b = v / 32),
//    each a tree of 16 values.
// 2. Exchange: a candidate's 128 cells are the partials of 8 threads: the
//    four lanes of one quad in warp w (its first row) and in warp w + 2 (the
//    row 32 below). Each thread stores its 8 partials, one into the row of
//    each candidate they belong to, at column 4 (w / 2) + lane mod 4; once
//    the group's fold barrier completes, the owner reads its 8-word row back
//    in two 16-byte loads and XORs it. Rows and barriers alternate between
//    two sets: a set is written again only after every thread has passed the
//    next fold's barrier, so after it has read this one.
//
// Banks: a row's two 16-byte halves swap places on every other group of four
// candidates (column ^ 4), so each store of a warp and each quarter-warp of
// the owners' loads touch 32 different banks.
#include <cstdint>

#include "core/device_instructions.h"
#include "gemm/hopper_tile_math.h"

namespace vexal::hopper_detail {

constexpr int kFoldSources = 8;  // threads whose partials make one candidate's fold

struct FoldExchange {
  alignas(16) uint32_t rows[2][128][kFoldSources];  // [set][candidate within the group][column]
  uint64_t barriers[2];                             // [set], 128 arrivals each
};

// One thread sets up the group's exchange before the block's first barrier:
// each set's barrier completes when all 128 threads of the group have stored.
__device__ __forceinline__ void init_fold_exchange(FoldExchange& exchange) {
  for (uint64_t& barrier : exchange.barriers) device_instructions::mbarrier_init(&barrier, 128);
}

// The XOR of 16 values as a tree of three-input XORs (one LOP3 each): eight
// instructions, three deep.
template <typename Value>
__device__ __forceinline__ uint32_t xor_tree16(const Value& value) {
  uint32_t three[5];
#pragma unroll
  for (int i = 0; i < 5; ++i) three[i] = value(3 * i) ^ value(3 * i + 1) ^ value(3 * i + 2);
  const uint32_t left = three[0] ^ three[1] ^ three[2];
  const uint32_t right = three[3] ^ three[4] ^ value(15);
  return left ^ right;
}

// Partial p = 4 h + 2 r + b: the 16 values v of half h with (v / 2) mod 2 = r
// and v / 32 = b, that is v = 32 b + 4 j + 2 r + e for j < 8, e < 2.
__device__ __forceinline__ void fold_fragment(const GroupAccumulators& a, uint32_t (&partial)[8]) {
#pragma unroll
  for (int h = 0; h < 2; ++h) {
#pragma unroll
    for (int r = 0; r < 2; ++r) {
#pragma unroll
      for (int b = 0; b < 2; ++b) {
        partial[4 * h + 2 * r + b] =
            xor_tree16([&](int i) { return a.acc[h][32 * b + 4 * (i / 2) + 2 * r + i % 2]; });
      }
    }
  }
}

// The candidate within the group whose row partial p of thread t belongs to.
__host__ __device__ constexpr int fold_candidate(int t, int p) {
  return 64 * (p % 2) + 32 * (p / 4) + 16 * ((t / 32) % 2) + (t % 32) / 4 + 8 * ((p / 2) % 2);
}

// The column of thread t's partials in its candidates' rows.
__host__ __device__ constexpr int fold_source(int t) { return 4 * (t / 64) + t % 4; }

// Where a candidate's column lands in its row.
__host__ __device__ constexpr int fold_column(int candidate, int source) {
  return source ^ (4 * ((candidate / 4) % 2));
}

// Folds the group's accumulators; returns the fold of thread t's own candidate.
__device__ __forceinline__ uint32_t fold_group(const GroupAccumulators& a, FoldExchange& exchange,
                                               int t, int fold_index) {
  uint32_t partial[8];
  fold_fragment(a, partial);
  const int set = fold_index & 1;
  // Every candidate of this thread's partials lies in the same group of four
  // (they differ by multiples of 8), so one swizzled column serves all eight.
  const int column = fold_column(fold_candidate(t, 0), fold_source(t));
#pragma unroll
  for (int p = 0; p < 8; ++p) exchange.rows[set][fold_candidate(t, p)][column] = partial[p];
  device_instructions::mbarrier_arrive(&exchange.barriers[set]);
  device_instructions::mbarrier_wait_parity(&exchange.barriers[set],
                                            static_cast<uint32_t>((fold_index >> 1) & 1));
  // The half the swizzle put first is read first, so that the eight owners of
  // a quarter-warp read 32 different banks.
  const uint4* row = reinterpret_cast<const uint4*>(exchange.rows[set][t]);
  const int first = (t / 4) % 2;
  const uint4 x = row[first];
  const uint4 y = row[first ^ 1];
  return (x.x ^ x.y) ^ (x.z ^ x.w) ^ ((y.x ^ y.y) ^ (y.z ^ y.w));
}

}  // namespace vexal::hopper_detail
