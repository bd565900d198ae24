#pragma once
// The fifth-generation tensor-core instructions (tcgen05) as the host device
// executes them: what the instruction layer calls for tensor-memory
// allocation, loads and stores, and the two-CTA matrix multiply.
// Everything outside what the mining kernels use faults with its name.
#include <cstdint>

#include "hostgpu/tensor_memory.h"

namespace hostgpu::tcgen05 {

// The 64-bit shared-memory matrix descriptor, field by field.
struct SharedDescriptor {
  uint32_t start_address;        // bytes, in the shared window
  uint32_t leading_byte_offset;  // bytes
  uint32_t stride_byte_offset;   // bytes
  uint32_t fixed_constant;       // bits 46-48, 0b001
  uint32_t base_offset;
  uint32_t leading_mode;         // 0 relative, 1 absolute
  uint32_t swizzle;              // 0 none, 1 128B/32B atom, 2 128B, 4 64B, 6 32B
};
SharedDescriptor decode_shared_descriptor(uint64_t descriptor);

// The 32-bit instruction descriptor of the dense kinds (f16, i8, ...).
struct InstructionDescriptor {
  uint32_t sparsity_selector, sparse, saturate, d_type, a_type, b_type;
  uint32_t negate_a, negate_b, transpose_a, transpose_b;
  uint32_t n, m;  // decoded: n = field << 3, m = field << 4
  uint32_t max_shift;
};
InstructionDescriptor decode_instruction_descriptor(uint32_t descriptor);

enum class MmaKind { i8, f16 };

// One CTA of the pair: its shared window (byte 0 of the descriptors'
// addresses) and its tensor memory.
struct PairHalf {
  const unsigned char* shared;
  uint32_t shared_bytes;
  TensorMemory* tensor_memory;
};

// tcgen05.mma.cta_group::2 with both operands in shared memory: D (M x N) =
// A (M x K) · B (N x K)ᵀ (+ D when accumulate), K = 32 bytes of elements.
// The even CTA holds A's rows 0 to M/2 - 1 and B's rows 0 to N/2 - 1, the odd
// one the rest, at the same descriptors; each CTA's tensor memory holds its
// M/2 rows of D (lane = row) over all N columns from d's column on.
// Faults (naming what) on anything the kernels do not use or the ISA forbids.
void mma_pair(MmaKind kind, const PairHalf& even, const PairHalf& odd, uint32_t d, uint64_t a_descriptor,
              uint64_t b_descriptor, uint32_t instruction_descriptor, bool accumulate);

// Byte offset in the shared window of element byte `k_byte` of row `row` of
// a K-major operand with the 128-byte swizzle (32-byte K extent per MMA).
uint32_t k_major_swizzled_offset(const SharedDescriptor& d, uint32_t row, uint32_t k_byte);

namespace detail {
// The running block's cluster rank and the cluster's size, and the shared
// window and tensor memory of the cluster's block of the given rank (false
// when the cluster has no such block). A block launched without a cluster is
// a cluster of one.
unsigned cluster_rank();
unsigned cluster_block_count();
bool cluster_block_view(unsigned rank, PairHalf* view);
}  // namespace detail

}  // namespace hostgpu::tcgen05
