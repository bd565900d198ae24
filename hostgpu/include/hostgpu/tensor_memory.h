#pragma once
// Tensor memory (compute capability 10): per SM, 128 lanes by 512 columns of
// 32-bit cells, shared by the blocks resident on the SM and allocated to them
// in slices of 32 columns. An address is lane << 16 | column. Its contents
// are undefined when a block allocates it.
#include <cstdint>

namespace hostgpu {

struct TensorMemory {
  static constexpr int kLanes = 128;
  static constexpr int kColumns = 512;
  static constexpr int kSliceColumns = 32;

  uint32_t cells[kLanes][kColumns];
  uint32_t allocated_slices = 0;  // bit s: columns 32·s to 32·s + 31 are held by a block
};

inline uint32_t tensor_memory_lane(uint32_t address) { return address >> 16; }
inline uint32_t tensor_memory_column(uint32_t address) { return address & 0xffffu; }

namespace detail {
// The tensor memory of the running block's SM (faults outside a kernel).
TensorMemory& block_tensor_memory();

// tcgen05.alloc.cta_group::2 by the running block: `columns` columns (a
// power of two from 32 to 512) at the first run aligned to its size that is
// free on the SMs of both CTAs of the pair (ranks differing in bit 0; a block
// without a peer allocates alone), granted to both once both have asked;
// returns the address of its first column in lane 0. While the SMs' other
// blocks hold too much it waits for them to free columns; a wait that no
// block can end fails the launch, naming the blocks, and under
// HOSTGPU_STRICT_TENSOR_MEMORY so does any alloc that would wait. Faults
// (naming the instruction) on a bad count, on peers asking for different
// counts, or after the block relinquished its permit.
uint32_t tensor_memory_alloc(uint32_t columns);

// tcgen05.dealloc: frees columns the running block holds (faults on any other range).
void tensor_memory_dealloc(uint32_t address, uint32_t columns);

// tcgen05.relinquish_alloc_permit: the running block allocates no more.
void tensor_memory_relinquish();

// Whether the running block holds every column of [column, column + count).
bool tensor_memory_held(uint32_t column, uint32_t count);
}  // namespace detail

}  // namespace hostgpu
