#pragma once
// The multiply of one consumer warp group: 128 rows of A by its 128 rows of
// B over one 128-byte K stage, into two 64 x 128 halves of int32
// accumulators, acc[h][v] in the warp-group MMA's register layout: thread t
// of the group holds in acc[h][v] row 64 h + 16 (t / 32) + (t % 32) / 4 +
// 8 ((v / 2) % 2) and column 8 (v / 4) + 2 (t % 4) + v % 2 of its half.
//
// Devices with warp-group MMA issue eight m64n128k32 instructions straight
// from the swizzled stage. The others (the sm_120 image) issue m16n8k32
// MMAs, warp w taking the 16-row slabs 16 w of both halves: an m16n8 tile's
// registers lie exactly where the warp-group layout puts them, so the fold
// after the multiply is the same.
//
// A stage holds rows of 128 bytes as the tensor maps' 128-byte swizzle
// writes them: byte k of row r at r * 128 + (k XOR 16 (r mod 8)) from the
// stage's 1024-aligned start.
#include <cstdint>

#include "core/device_instructions.h"

namespace vexal::hopper_detail {

constexpr int kRowBytes = 128;
constexpr int kGroupRows = 128;  // B rows of one consumer warp group

struct GroupAccumulators {
  uint32_t acc[2][64];
};

__device__ __forceinline__ void clear(GroupAccumulators& a) {
#pragma unroll
  for (int h = 0; h < 2; ++h) {
#pragma unroll
    for (int v = 0; v < 64; ++v) a.acc[h][v] = 0;
  }
}

// The descriptor of a stage's A rows, or of a group's B rows, at K byte 0.
__device__ __forceinline__ uint64_t stage_descriptor(const int8_t* rows) {
  return device_instructions::gmma_descriptor_k_sw128(device_instructions::shared_address(rows),
                                                      8 * kRowBytes);
}

// A descriptor moved on by `bytes`: only the start address in the low word
// changes (it counts 16-byte units, and shared addresses stay far below its
// 18-bit reach), so the high word stays a constant.
__device__ __forceinline__ uint64_t advanced(uint64_t descriptor, int bytes) {
  const uint32_t low = static_cast<uint32_t>(descriptor) + static_cast<uint32_t>(bytes / 16);
  return (descriptor & 0xffffffff00000000ull) | low;
}

// Warp-group MMA: A rows 64 h .. 64 h + 63 of the stage by the group's B rows,
// issued as one group. The accumulators may be read only after
// wgmma_wait_group has retired it; the fence orders the fold's reads of them
// (and the clear before the first stage) before the MMAs write them again.
__device__ __forceinline__ void issue_stage_wgmma(GroupAccumulators& a, uint64_t stage_a,
                                                  uint64_t group_b) {
  device_instructions::wgmma_fence();
#pragma unroll
  for (int kb = 0; kb < 4; ++kb) {
#pragma unroll
    for (int h = 0; h < 2; ++h) {
      device_instructions::wgmma_m64n128k32_s8(a.acc[h], advanced(stage_a, h * 64 * kRowBytes + 32 * kb),
                                               advanced(group_b, 32 * kb), true);
    }
  }
  device_instructions::wgmma_commit_group();
}

// The swizzled address of byte `k` (a multiple of 16) of row `row`.
__device__ __forceinline__ const int8_t* swizzled(const int8_t* stage, int row, int k) {
  return stage + row * kRowBytes + (k ^ (16 * (row % 8)));
}

// Warp-level MMAs with the same register layout, operands through ldmatrix.
__device__ __forceinline__ void multiply_stage_mma_sync(GroupAccumulators& a, const int8_t* stage_a,
                                                        const int8_t* stage_b, int group, int warp,
                                                        int lane) {
  const int8_t* b_rows = stage_b + group * kGroupRows * kRowBytes;
#pragma unroll
  for (int kb = 0; kb < 4; ++kb) {
    uint32_t fa[2][4];
#pragma unroll
    for (int h = 0; h < 2; ++h) {
      // Matrices: rows 0-7 / 8-15 of the slab, bytes 0-15 / 16-31 of the K step.
      const int row = 64 * h + 16 * warp + lane % 8 + 8 * ((lane / 8) % 2);
      device_instructions::ldmatrix_x4(fa[h][0], fa[h][1], fa[h][2], fa[h][3],
                                       swizzled(stage_a, row, 32 * kb + 16 * (lane / 16)));
    }
#pragma unroll
    for (int j = 0; j < 16; j += 2) {
      // Matrices: column groups j and j + 1, bytes 0-15 and 16-31 of each.
      uint32_t fb[4];
      const int row = 8 * (j + lane / 16) + lane % 8;
      device_instructions::ldmatrix_x4(fb[0], fb[1], fb[2], fb[3],
                                       swizzled(b_rows, row, 32 * kb + 16 * ((lane / 8) % 2)));
#pragma unroll
      for (int h = 0; h < 2; ++h) {
#pragma unroll
        for (int jj = 0; jj < 2; ++jj) {
          uint32_t* c = &a.acc[h][4 * (j + jj)];
          device_instructions::mma_m16n8k32_s8(c[0], c[1], c[2], c[3], fa[h][0], fa[h][1], fa[h][2],
                                               fa[h][3], fb[2 * jj], fb[2 * jj + 1], c[0], c[1], c[2],
                                               c[3]);
        }
      }
    }
  }
}

}  // namespace vexal::hopper_detail
