#pragma once
// Warp-wide loads of 8 x 8 matrices of 16-bit elements from shared memory
// (ldmatrix.sync.aligned.m8n8.x1/.x2/.x4[.trans].shared.b16, sm_75+). Part of
// the instruction layer: include "core/device_instructions.h", not this header.
//
// Lane 8j + r gives the 16-byte aligned address of row r of matrix j (lanes
// beyond the matrices loaded give addresses that are not used). Register j of
// lane l then holds, of matrix j, with g = l / 4 and t = l % 4:
//   plain:  elements (g, 2t) and (g, 2t + 1), the lower in the low half;
//   .trans: elements (2t, g) and (2t + 1, g), the lower in the low half.
// For int8 data each 16-bit element is two adjacent bytes of the row.
// Every lane of the warp must execute the same form together. On the host
// device the rows are read when the last lane arrives, as one instruction.
#include <cstdint>

#if defined(KORVATH_FLAVOUR_HOST)
#include <cstdio>
#include <cstring>

#include "hostgpu/device_sync.h"
#endif

namespace device_instructions {

#if defined(KORVATH_FLAVOUR_HOST)
namespace host_ldmatrix {

template <unsigned Matrices, bool Transposed>
void load(const char* instruction, const void* row_address, uint32_t* d) {
  const unsigned lane = hostgpu::detail::lane_id();
  const bool gives_row = lane < 8 * Matrices;
  if (gives_row && reinterpret_cast<uintptr_t>(row_address) % 16 != 0) {
    char reason[128];
    std::snprintf(reason, sizeof(reason), "%s: row address %p of lane %u is not 16-byte aligned", instruction,
                  row_address, lane);
    hostgpu::detail::fault(reason);
  }
  const unsigned char* rows =
      hostgpu::detail::warp_exchange(instruction, 0xffffffffu, gives_row ? row_address : nullptr, 16);
  const unsigned g = lane / 4;
  const unsigned t = lane % 4;
  for (unsigned j = 0; j < Matrices; ++j) {
    const unsigned char* matrix = rows + 16 * 8 * j;
    if (Transposed) {
      uint16_t low;
      uint16_t high;
      std::memcpy(&low, matrix + 16 * (2 * t) + 2 * g, 2);
      std::memcpy(&high, matrix + 16 * (2 * t + 1) + 2 * g, 2);
      d[j] = uint32_t{low} | uint32_t{high} << 16;
    } else {
      std::memcpy(&d[j], matrix + 16 * g + 4 * t, 4);
    }
  }
}

}  // namespace host_ldmatrix
#endif

KORVATH_DEVICE_INSTRUCTION void ldmatrix_x1(uint32_t& d0, const void* row_address) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(row_address));
  asm volatile("ldmatrix.sync.aligned.m8n8.x1.shared.b16 {%0}, [%1];\n" : "=r"(d0) : "r"(address));
#else
  __trap();
#endif
#else
  uint32_t d[1];
  host_ldmatrix::load<1, false>("ldmatrix.x1", row_address, d);
  d0 = d[0];
#endif
}

KORVATH_DEVICE_INSTRUCTION void ldmatrix_x2(uint32_t& d0, uint32_t& d1, const void* row_address) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(row_address));
  asm volatile("ldmatrix.sync.aligned.m8n8.x2.shared.b16 {%0, %1}, [%2];\n" : "=r"(d0), "=r"(d1) : "r"(address));
#else
  __trap();
#endif
#else
  uint32_t d[2];
  host_ldmatrix::load<2, false>("ldmatrix.x2", row_address, d);
  d0 = d[0];
  d1 = d[1];
#endif
}

KORVATH_DEVICE_INSTRUCTION void ldmatrix_x4(uint32_t& d0, uint32_t& d1, uint32_t& d2, uint32_t& d3,
                                            const void* row_address) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(row_address));
  asm volatile("ldmatrix.sync.aligned.m8n8.x4.shared.b16 {%0, %1, %2, %3}, [%4];\n"
               : "=r"(d0), "=r"(d1), "=r"(d2), "=r"(d3)
               : "r"(address));
#else
  __trap();
#endif
#else
  uint32_t d[4];
  host_ldmatrix::load<4, false>("ldmatrix.x4", row_address, d);
  d0 = d[0];
  d1 = d[1];
  d2 = d[2];
  d3 = d[3];
#endif
}

KORVATH_DEVICE_INSTRUCTION void ldmatrix_x1_trans(uint32_t& d0, const void* row_address) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(row_address));
  asm volatile("ldmatrix.sync.aligned.m8n8.x1.trans.shared.b16 {%0}, [%1];\n" : "=r"(d0) : "r"(address));
#else
  __trap();
#endif
#else
  uint32_t d[1];
  host_ldmatrix::load<1, true>("ldmatrix.x1.trans", row_address, d);
  d0 = d[0];
#endif
}

KORVATH_DEVICE_INSTRUCTION void ldmatrix_x2_trans(uint32_t& d0, uint32_t& d1, const void* row_address) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(row_address));
  asm volatile("ldmatrix.sync.aligned.m8n8.x2.trans.shared.b16 {%0, %1}, [%2];\n"
               : "=r"(d0), "=r"(d1)
               : "r"(address));
#else
  __trap();
#endif
#else
  uint32_t d[2];
  host_ldmatrix::load<2, true>("ldmatrix.x2.trans", row_address, d);
  d0 = d[0];
  d1 = d[1];
#endif
}

KORVATH_DEVICE_INSTRUCTION void ldmatrix_x4_trans(uint32_t& d0, uint32_t& d1, uint32_t& d2, uint32_t& d3,
                                                  const void* row_address) {
#if defined(KORVATH_FLAVOUR_CUDA)
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
  const uint32_t address = static_cast<uint32_t>(__cvta_generic_to_shared(row_address));
  asm volatile("ldmatrix.sync.aligned.m8n8.x4.trans.shared.b16 {%0, %1, %2, %3}, [%4];\n"
               : "=r"(d0), "=r"(d1), "=r"(d2), "=r"(d3)
               : "r"(address));
#else
  __trap();
#endif
#else
  uint32_t d[4];
  host_ldmatrix::load<4, true>("ldmatrix.x4.trans", row_address, d);
  d0 = d[0];
  d1 = d[1];
  d2 = d[2];
  d3 = d[3];
#endif
}

}  // namespace device_instructions
