#pragma once
// Tensor memory (compute capability 10): per block, 128 lanes by 512 columns
// of 32-bit cells, allocated in slices of 32 columns. An address is
// lane << 16 | column. Its contents are undefined when a block starts.
#include <cstdint>

namespace hostgpu {

struct TensorMemory {
  static constexpr int kLanes = 128;
  static constexpr int kColumns = 512;
  static constexpr int kSliceColumns = 32;

  uint32_t cells[kLanes][kColumns];
  uint32_t allocated_slices = 0;  // bit s: columns 32·s to 32·s + 31
  bool permit_relinquished = false;
};

inline uint32_t tensor_memory_lane(uint32_t address) { return address >> 16; }
inline uint32_t tensor_memory_column(uint32_t address) { return address & 0xffffu; }

namespace detail {
// The running block's tensor memory (faults outside a kernel).
TensorMemory& block_tensor_memory();
}  // namespace detail

}  // namespace hostgpu
