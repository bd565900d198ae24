#pragma once
// Warp-wide int8 matrix multiply-accumulate on the tensor cores
// (mma.sync.aligned.*.row.col.s32.s8.s8.s32): D = A * B + C with A row-major
// (M x K), B column-major (K x N), 32-bit accumulators. Part of the
// instruction layer: include "core/device_instructions.h", not this header.
//
// Every lane of the warp must execute the same shape together. Fragments, with
// g = lane / 4 and t = lane % 4 (bytes of a register in little-endian order):
//   m8n8k16  (sm_75+): a0 byte i = A[g][4t + i]; b0 byte i = B[4t + i][g];
//                      c/d i = C[g][2t + i].
//   m16n8k32 (sm_80+): a[r] byte i = A[g + 8 (r & 1)][4t + i + 16 (r >> 1)];
//                      b[r] byte i = B[4t + i + 16 r][g];
//                      c/d[r] = C[g + 8 (r >> 1)][2t + (r & 1)].
// Sums wrap modulo 2^32 (no saturation). On the host device the warp
// exchanges its A and B fragments at one rendezvous and each lane computes its
// own accumulators, so the results are those of the GPU bit for bit.
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include "hostgpu/device_sync.h"
#endif

namespace device_instructions {

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_mma {

struct Fragments {
  uint32_t a[4];
  uint32_t b[2];
};

inline int32_t byte_of(uint32_t word, unsigned index) { return static_cast<int8_t>(word >> (8 * index)); }

// Exchanges this lane's fragments; returns the warp's, indexed by lane.
inline const Fragments* exchange(const char* instruction, const Fragments& mine) {
  return reinterpret_cast<const Fragments*>(
      hostgpu::detail::warp_exchange(instruction, 0xffffffffu, &mine, sizeof(Fragments)));
}

}  // namespace host_mma
#endif

KORVATH_DEVICE_INSTRUCTION void mma_m8n8k16_s8(uint32_t& d0, uint32_t& d1, uint32_t a0, uint32_t b0, uint32_t c0,
                                               uint32_t c1) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
  asm volatile("mma.sync.aligned.m8n8k16.row.col.s32.s8.s8.s32 {%0, %1}, {%2}, {%3}, {%4, %5};\n"
               : "=r"(d0), "=r"(d1)
               : "r"(a0), "r"(b0), "r"(c0), "r"(c1));
#else
  __trap();
#endif
#else
  const host_mma::Fragments mine{{a0, 0, 0, 0}, {b0, 0}};
  const host_mma::Fragments* warp = host_mma::exchange("mma.sync.m8n8k16.s8", mine);
  const unsigned lane = hostgpu::detail::lane_id();
  const unsigned row = lane / 4;
  const uint32_t c[2] = {c0, c1};
  uint32_t d[2];
  for (unsigned i = 0; i < 2; ++i) {
    const unsigned column = 2 * (lane % 4) + i;
    uint32_t sum = c[i];
    for (unsigned k = 0; k < 16; ++k) {
      const int32_t a = host_mma::byte_of(warp[4 * row + k / 4].a[0], k % 4);
      const int32_t b = host_mma::byte_of(warp[4 * column + k / 4].b[0], k % 4);
      sum += static_cast<uint32_t>(a * b);
    }
    d[i] = sum;
  }
  d0 = d[0];
  d1 = d[1];
#endif
}

KORVATH_DEVICE_INSTRUCTION void mma_m16n8k32_s8(uint32_t& d0, uint32_t& d1, uint32_t& d2, uint32_t& d3, uint32_t a0,
                                                uint32_t a1, uint32_t a2, uint32_t a3, uint32_t b0, uint32_t b1,
                                                uint32_t c0, uint32_t c1, uint32_t c2, uint32_t c3) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
  asm volatile(
      "mma.sync.aligned.m16n8k32.row.col.s32.s8.s8.s32 {%0, %1, %2, %3}, {%4, %5, %6, %7}, {%8, %9}, "
      "{%10, %11, %12, %13};\n"
      : "=r"(d0), "=r"(d1), "=r"(d2), "=r"(d3)
      : "r"(a0), "r"(a1), "r"(a2), "r"(a3), "r"(b0), "r"(b1), "r"(c0), "r"(c1), "r"(c2), "r"(c3));
#else
  __trap();
#endif
#else
  const host_mma::Fragments mine{{a0, a1, a2, a3}, {b0, b1}};
  const host_mma::Fragments* warp = host_mma::exchange("mma.sync.m16n8k32.s8", mine);
  const unsigned lane = hostgpu::detail::lane_id();
  const uint32_t c[4] = {c0, c1, c2, c3};
  uint32_t d[4];
  for (unsigned r = 0; r < 4; ++r) {
    const unsigned row = lane / 4 + 8 * (r >> 1);
    const unsigned column = 2 * (lane % 4) + (r & 1);
    uint32_t sum = c[r];
    for (unsigned k = 0; k < 32; ++k) {
      // The lane and register that hold A[row][k] and B[k][column].
      const unsigned a_lane = 4 * (row % 8) + (k % 16) / 4;
      const unsigned a_register = row / 8 + 2 * (k / 16);
      const unsigned b_lane = 4 * column + (k % 16) / 4;
      const int32_t a = host_mma::byte_of(warp[a_lane].a[a_register], k % 4);
      const int32_t b = host_mma::byte_of(warp[b_lane].b[k / 16], k % 4);
      sum += static_cast<uint32_t>(a * b);
    }
    d[r] = sum;
  }
  d0 = d[0];
  d1 = d[1];
  d2 = d[2];
  d3 = d[3];
#endif
}

}  // namespace device_instructions
